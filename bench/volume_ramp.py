#!/usr/bin/env python3
"""A change of the sound's level as heard: the player plays a file with a
steady tone into a null sink of its own (--audio-device pulse:SINK), the
bench records the sink's monitor and sends `audio` changes; it reports, for
each change, how long the level took to move (10 % to 90 % of the way, in
5 ms windows), the largest step between two samples against the steady
tone's own largest (a click is a step far above it; 1.0 is none), and the
longest silence inside the tone (a gap). Run under scripts/with-env.sh.

    bench/volume_ramp.py --player build/video_player --clip build/clips/long.mp4
"""
import argparse
import array
import math
import os
import subprocess
import sys
import threading
import time

RATE = 48000
ACKS = {"end of video!": "ack_end", "playing": "ack_playing", "Preload complete": "ack_preload_complete",
        "Preload error": "ack_preload_error", "stopped": "ack_stopped", "reset": "ack_reset", "crash": "ack_crash"}
LEVELS = [0.3, 1.0, 0.05, 1.0, 0.6, 1.0]
HOLD_S = 1.0
TONE_HZ = 440  # the test clips' stereo tone


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--player", required=True)
    ap.add_argument("--clip", required=True)
    a = ap.parse_args()
    sink = "bench_volume_%d" % os.getpid()
    module = subprocess.check_output(["pactl", "load-module", "module-null-sink", "sink_name=" + sink]).strip()
    parec = subprocess.Popen(["parec", "--device=" + sink + ".monitor", "--raw", "--format=s16le",
                              "--rate=%d" % RATE, "--channels=1", "--latency-msec=10"], stdout=subprocess.PIPE)
    chunks = []  # (arrival time, bytes)
    threading.Thread(target=lambda: [chunks.append((time.monotonic(), d)) for d in
                                     iter(lambda: os.read(parec.stdout.fileno(), 4096), b"")], daemon=True).start()
    player = subprocess.Popen([a.player, a.clip, "--window", "--audio-device", "pulse:" + sink],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    playing = threading.Event()

    def read():
        for line in player.stdout:
            line = line.rstrip("\n")
            if line in ACKS:
                player.stdin.write(ACKS[line] + "\n")
                player.stdin.flush()
            if line == "playing":
                playing.set()
    threading.Thread(target=read, daemon=True).start()
    try:
        time.sleep(3)
        player.stdin.write("play\n")
        player.stdin.flush()
        if not playing.wait(30):
            sys.exit("the player did not play")
        time.sleep(2 * HOLD_S)
        sent = []
        for level in LEVELS:
            sent.append((time.monotonic(), level))
            player.stdin.write("audio %.2f 0\n" % level)
            player.stdin.flush()
            time.sleep(HOLD_S)
        player.stdin.write("exit\n")
        player.stdin.flush()
        player.wait(20)
    finally:
        if player.poll() is None:
            player.kill()
        parec.terminate()
        subprocess.run(["pactl", "unload-module", module], check=False)

    samples = array.array("h")
    for _, d in chunks:
        samples.frombytes(d[: len(d) // 2 * 2])
    x = samples.tolist()
    if os.environ.get("VOLUME_RAMP_RAW"):
        samples.tofile(open(os.environ["VOLUME_RAMP_RAW"], "wb"))
    # Where the tone starts: the first loud sample.
    start = next(i for i, v in enumerate(x) if abs(v) > 500)
    win = 55  # samples: half a period of the 440 Hz tone, so that each window holds a peak
    env = [max(abs(v) for v in x[i:i + win]) for i in range(start, len(x) - win, win)]
    full = sorted(env[200:400])[100]
    # The tone's own largest step between two samples at full level: a click is far above it.
    tone_step = full * 2 * math.pi * TONE_HZ / RATE
    print("tone at full level: peak %d, its largest step between samples %.0f" % (full, tone_step))
    print("%-14s %-14s %-28s" % ("change", "10-90 % (ms)", "largest step / tone's step"))

    def settled(k0, level, hold=40):
        for k in range(k0, len(env) - hold):
            if all(abs(env[m] - level * full) < 0.04 * full for m in range(k, k + hold)):
                return k
        return None
    k = 0
    before = 1.0
    for level in LEVELS:
        k1 = settled(k, level)
        if k1 is None:
            print("%.2f -> %.2f: not found" % (before, level))
            break
        # Back from where it settled to where it left the level before.
        k0 = k1
        while k0 > k and abs(env[k0 - 1] - before * full) > 0.04 * full:
            k0 -= 1
        lo = before + 0.1 * (level - before)
        hi = before + 0.9 * (level - before)
        between = [m for m in range(k0, k1 + 1)
                   if min(lo, hi) * full <= env[m] <= max(lo, hi) * full]
        ramp_ms = (between[-1] - between[0] + 1) * win * 1000.0 / RATE if between else 0
        a0, a1 = start + (k0 - 5) * win, start + (k1 + 5) * win
        step = max(abs(b - a) for a, b in zip(x[a0:a1], x[a0 + 1:a1]))
        print("%-14s %-14.1f %-28.2f" % ("%.2f -> %.2f" % (before, level), ramp_ms, step / tone_step))
        before = level
        k = k1
    # Dropouts anywhere in the recording (the sound server's, on a loaded machine): steps well above the tone's.
    jumps = sum(1 for a, b in zip(x[start:], x[start + 1:]) if abs(b - a) > 2 * tone_step)
    print("steps over twice the tone's anywhere in %.1f s: %d" % ((len(x) - start) / RATE, jumps))


if __name__ == "__main__":
    main()
