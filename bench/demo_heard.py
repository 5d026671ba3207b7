#!/usr/bin/env python3
"""Recording and checking for bench/demo_heard.sh.

  demo_heard.py record DEVICE RAW INDEX
      Records DEVICE (a sink's monitor) with parec into RAW (s16le, 48 kHz,
      mono) until SIGTERM, and writes to INDEX the time each piece arrived and
      how many bytes had come by then. A null sink's monitor gives nothing
      while nobody plays into the sink, so the place of a sample in RAW says
      nothing of when it was played: its arrival does.

  demo_heard.py check LOG RAW INDEX CLIPS_SCRIPT
      Takes from the manager's lines in LOG (with --player-log) which file was
      on screen when, and checks that the recording of that time holds the
      file's tone, or silence for a file without sound. The tone of each file
      comes from the lines of CLIPS_SCRIPT (scripts/make-clips.sh) that make
      it. Prints a table; exit status 1 when a file was not heard as expected.
"""
import array
import bisect
import datetime
import math
import os
import re
import signal
import subprocess
import sys
import time

RATE = 48000
CHUNK_S = 0.25          # one measurement
SETTLE_S = 0.5          # left out after "now playing": the sound server buffers a little
TAIL_S = 0.2            # left out before the file's end is reported
SHARE = 0.8             # of the measurements that must be as expected
TONES = {"stereo": 440, "mono": 660, "51": 550, "none": 0}


def record(device, raw_path, index_path):
    parec = subprocess.Popen(["parec", "--device=" + device, "--raw", "--format=s16le", "--rate=%d" % RATE,
                              "--channels=1", "--latency-msec=20"], stdout=subprocess.PIPE)
    signal.signal(signal.SIGTERM, lambda *_: parec.terminate())
    total = 0
    with open(raw_path, "wb") as raw, open(index_path, "w") as index:
        while True:
            data = os.read(parec.stdout.fileno(), 4096)
            if not data:
                break
            now = time.time()
            raw.write(data)
            total += len(data)
            index.write("%.4f %d\n" % (now, total))
    parec.wait()


class Recording:
    def __init__(self, raw_path, index_path):
        self.samples = array.array("h")
        with open(raw_path, "rb") as f:
            data = f.read()
        self.samples.frombytes(data[: len(data) // 2 * 2])
        self.times, self.ends = [], []  # each piece: arrival time, samples up to its end
        for line in open(index_path):
            t, total = line.split()
            self.times.append(float(t))
            self.ends.append(int(total) // 2)

    def between(self, t0, t1):
        """The samples played from t0 to t1: a piece's last sample is taken to be
        played when it arrives, the others one sample period apart before it."""
        out = array.array("h")
        k = bisect.bisect_left(self.times, t0)
        start = self.ends[k - 1] if k > 0 else 0
        for i in range(k, len(self.times)):
            end = min(self.ends[i], len(self.samples))
            first_time = self.times[i] - (end - start) / RATE
            if first_time > t1:
                break
            a = start + max(0, int((t0 - first_time) * RATE))
            b = start + min(end - start, int((t1 - first_time) * RATE))
            if b > a:
                out.extend(self.samples[a:b])
            start = end
        return out


def measure(samples):
    n = len(samples)
    rms = math.sqrt(sum(x * x for x in samples) / n) / 32768.0
    crossings = sum(1 for i in range(1, n) if (samples[i - 1] < 0) != (samples[i] < 0))
    return rms, crossings / 2.0 / (n / RATE)


# The same limits as the tests' heard_tone and heard_silence.
def as_expected(m, hz):
    rms, freq = m
    return rms > 0.01 and abs(freq - hz) <= hz * 0.05 if hz else rms < 0.002


def stamp(line):
    return datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f").timestamp()


def on_screen(log_path):
    """(path, from, to) for every "now playing": to its "finished", the player's end, or the next
    "now playing"."""
    shown = []
    last = None
    for line in open(log_path, errors="replace"):
        line = line.rstrip("\n")
        if not re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[manager\] ", line):
            continue
        t, text = stamp(line), line[24:]
        last = t
        m = re.match(r"\[manager\] now playing \d+/\d+: (.*)$", text)
        if m:
            if shown and shown[-1][2] is None:
                shown[-1][2] = t
            shown.append([m.group(1), t, None])
            continue
        m = re.match(r"\[manager\] finished \d+/\d+: (.*) \(on screen", text)
        if m and shown and shown[-1][2] is None and shown[-1][0] == m.group(1):
            shown[-1][2] = t
        # Nothing is on screen any more once the player has gone.
        if re.match(r"\[manager\] (player \(pid \d+\) exited|stopping the player)", text):
            if shown and shown[-1][2] is None:
                shown[-1][2] = t
    if shown and shown[-1][2] is None:
        shown[-1][2] = last
    return shown


def check(log_path, raw_path, index_path, clips_script):
    tone_of = {}
    for line in open(clips_script):
        m = re.match(r"\s*clip\s+(\S+)\s+\S+\s+\S+\s+\S+\s+(\S+)\s*$", line)
        if m and m.group(2) in TONES:
            tone_of[m.group(1)] = TONES[m.group(2)]
    rec = Recording(raw_path, index_path)
    shown = on_screen(log_path)
    print("| # | file | expected | on screen | measured as expected | median Hz | median rms | tone from | heard |")
    print("|---:|---|---|---:|---:|---:|---:|---:|---|")
    failed = late = 0
    for i, (path, start, end) in enumerate(shown, 1):
        name = os.path.basename(path)
        hz = tone_of.get(name)
        chunks = []
        t = start + SETTLE_S
        while t + CHUNK_S <= end - TAIL_S:
            s = rec.between(t, t + CHUNK_S)
            if len(s) >= RATE * CHUNK_S * 0.8:
                chunks.append(measure(s))
            else:
                chunks.append((0.0, 0.0))  # nothing played into the sink then
            t += CHUNK_S
        if hz is None or not chunks:
            print("| %d | %s | ? | %.1f s | - | - | - | - | not measured |" % (i, name, end - start))
            failed += 1
            continue
        good = sum(1 for m in chunks if as_expected(m, hz))
        onset = None
        if hz:  # when the tone is first heard, to 50 ms, from "now playing"
            t = start - 0.5
            while t < end and onset is None:
                s = rec.between(t, t + 0.1)
                if len(s) >= RATE * 0.08 and as_expected(measure(s), hz):
                    onset = t - start
                t += 0.05
        freqs = sorted(m[1] for m in chunks)
        levels = sorted(m[0] for m in chunks)
        if good >= SHARE * len(chunks):
            verdict = "yes"
        elif onset is not None and onset > SETTLE_S and good >= SHARE * (end - TAIL_S - start - onset) / CHUNK_S:
            # Heard to the end, but only from a moment after the picture.
            verdict = "late"
            late += 1
        else:
            verdict = "NO"
            failed += 1
        print("| %d | %s | %s | %.1f s | %d/%d | %.0f | %.4f | %s | %s |" %
              (i, name, "%d Hz" % hz if hz else "silence", end - start, good, len(chunks),
               freqs[len(freqs) // 2], levels[len(levels) // 2],
               "-" if not hz else "never" if onset is None else "%+.2f s" % onset, verdict))
    if not shown:
        print("nothing was shown")
        failed += 1
    print("\n%d files shown, %d not heard as expected, %d heard only from a moment after the picture came"
          % (len(shown), failed, late))
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "record":
        record(*sys.argv[2:])
    elif len(sys.argv) == 6 and sys.argv[1] == "check":
        sys.exit(check(*sys.argv[2:]))
    else:
        sys.exit(__doc__)
