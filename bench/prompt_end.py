#!/usr/bin/env python3
"""The end of a file with a prompt manager, measured as a manager sees it: the
real player in a process of its own, full screen (its own window over an Xvfb
screen, 1280x720 unless --screen), sound on, driven as the plain protocol
asks: each file preloaded after the previous switch's clean-up, "Preload
complete" only acknowledged, and "end of video!" answered with "ack_end" and
"switch" in one write. Each picture the player draws is recorded
(VIDEO_PLAYER_FRAME_TRACE, stamped once its draw has returned); at every
change the time from the old file's last picture drawn to the new file's
first, less one frame period, is the freeze a viewer sees.

Where the time goes comes from the player's own lines, each stamped with the
monotonic clock as it is read (the same clock as the trace's first column).

Several players may be given (--player, repeated): they take turns, round
after round, so that a before and an after run under the same conditions.

    scripts/with-env.sh bench/prompt_end.py [--player build/video_player] \\
        [--player /tmp/before/video_player] [--rounds 2] [--changes 8] [--screen 1280x720] \\
        [--no-sound] [--armed]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from wall_sync import start_xvfb

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ACKS = {"end of video!": "ack_end", "playing": "ack_playing", "Preload complete": "ack_preload_complete",
        "Preload error": "ack_preload_error", "stopped": "ack_stopped", "reset": "ack_reset", "crash": "ack_crash"}
FRAME_MS = 40.0
CLIPS = ("red.mp4", "green.mp4", "blue.mp4", "yellow.mp4", "white.mp4")

# The player's lines that mark the stages of a change, in their order.
STAGES = [
    ("pipeline end taken", "[BUS] Processing EOS message"),
    ("end of video! read", "end of video!"),
    ("switch received", "[SWITCH] Command received"),
    ("video selector turned", "[SWITCH] Video switch executed"),
    ("audio selector turned", "[SWITCH] Audio switch executed"),
    ("outputs flushed", "[SWITCH] Outputs flushed"),
    ("old branch stopped, seek", "[SWITCH] Executing seek to start new video..."),
    ("seek returned", "[SWITCH] Seek executed"),
]


def now_us():
    return time.monotonic_ns() // 1000


class Player:
    """A prompt manager: every event answered at once, a command given for the
    next answer of an event sent in the same write."""

    def __init__(self, binary, clip, display, trace, no_sound):
        env = dict(os.environ, DISPLAY=display, VIDEO_PLAYER_FRAME_TRACE=trace)
        args = [binary, clip] + (["--no_sound"] if no_sound else [])
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, bufsize=0)
        self.lines = []  # (monotonic us as read, line)
        self.then = {}
        self.cond = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        buf = b""
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            t = now_us()
            buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.decode(errors="replace")
                if line in ACKS:
                    text = ACKS[line] + "\n" + self.then.pop(line, "")
                    self.proc.stdin.write(text.encode())
                with self.cond:
                    self.lines.append((t, line))
                    self.cond.notify_all()

    def send(self, text):
        self.proc.stdin.write((text + "\n").encode())

    def wait(self, texts, start, timeout=60):
        if isinstance(texts, str):
            texts = (texts,)
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    line = self.lines[i][1]
                    for text in texts:
                        # An event is its whole line.
                        if line == text if text in ACKS or text == "ready" else text in line:
                            return i, text
                left = end - time.monotonic()
                if left <= 0:
                    tail = "\n".join(l for _, l in self.lines[-40:])
                    raise RuntimeError(f"no line with {texts!r}; the player's last lines:\n{tail}")
                self.cond.wait(left)

    def count(self):
        with self.cond:
            return len(self.lines)

    def stop(self):
        try:
            self.send("exit")
            self.proc.wait(timeout=20)
        except Exception:
            self.proc.kill()


def read_trace(trace):
    rows = []
    for line in open(trace):
        f = line.split()
        if len(f) == 6:
            # monotonic us after the draw, clock now, running, due, pts, clock as the draw began.
            # The player's pipelines run on the system clock, which is the monotonic clock.
            rows.append((int(f[0]), int(f[4]), (int(f[1]) - int(f[5])) / 1e6, int(f[3]) // 1000, int(f[5]) // 1000))
    return rows


def changes_in(rows):
    """(last old picture's row, first new picture's row) at each change of file."""
    return [(rows[i - 1], rows[i]) for i in range(1, len(rows)) if rows[i][1] < rows[i - 1][1]]


def stage_times(lines, last_old_us, first_new_us):
    """The first line of each stage between the old file's last picture and the new file's first."""
    got = {}
    for t, line in lines:
        if t < last_old_us or t > first_new_us:
            continue
        for name, text in STAGES:
            if name not in got and (line == text if text in ACKS else line.startswith(text)):
                got[name] = t
    return got


def one_run(binary, clips, changes, screen, no_sound, armed, log):
    x, display = start_xvfb(screen)
    trace = tempfile.mktemp(prefix="prompt-end-trace-")
    p = None
    try:
        p = Player(binary, clips[0], display, trace, no_sound)
        p.wait("ready", 0)
        p.send("play")
        p.wait("playing", 0)
        # The start-up file's end is never reported: a first switch mid-file.
        n = p.count()
        p.send("preload " + clips[1])
        p.wait("Preload complete", n)
        n = p.count()
        p.send("switch")
        p.wait("[SWITCH] Command completed successfully!", n)
        for k in range(changes):
            n = p.count()
            # A preload is refused while the old branch is cleaned up (2 s after a
            # switch; the start-up file's switch leaves none to clean up).
            try:
                p.wait(("[CLEANUP] ✅✅✅", "[CLEANUP ERROR] ⚠️⚠️⚠️"), n, timeout=2.5)
            except RuntimeError:
                pass
            while True:
                n = p.count()
                if armed:
                    p.then["Preload complete"] = "switch_at_end\n"
                p.send("preload " + clips[(k + 2) % len(clips)])
                _, got = p.wait(("Preload complete", "Preload error"), n)
                if got == "Preload complete":
                    break
                time.sleep(0.2)
            if not armed:
                p.then["end of video!"] = "switch\n"
            p.wait("[SWITCH] Command completed successfully!", n)
        time.sleep(1)
        p.stop()
        rows = read_trace(trace)
        with p.cond:
            lines = list(p.lines)
        out = []
        for old, new in changes_in(rows)[1:]:  # the first change is the mid-file switch
            freeze = (new[0] - old[0]) / 1000.0 - FRAME_MS
            stages = stage_times(lines, old[0], new[0])
            out.append((freeze, old, new, stages))
        return out
    finally:
        if p and log:
            with open(log, "a") as f, p.cond:
                f.writelines(f"{t} {line}\n" for t, line in p.lines)
        x.terminate()
        x.wait()
        if os.path.exists(trace):
            os.unlink(trace)


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def report(name, results):
    freezes = sorted(r[0] for r in results)
    if not freezes:
        print(f"{name}: no change measured")
        return
    print(f"{name}: freeze beyond one frame period at the end of a file, {len(freezes)} changes: "
          f"median {median(freezes):.1f} ms, min {freezes[0]:.1f}, max {freezes[-1]:.1f} ms")
    # Where the time goes: each stage from the one before it, medians.
    print("  where the time goes (medians, ms; each stage from the one before):")
    prev_name = "last old picture drawn"
    steps = [name for name, _ in STAGES]
    for i, stage in enumerate(steps):
        ds = []
        for _, old, new, st in results:
            if stage not in st:
                continue
            before = old[0]
            for earlier in reversed(steps[:i]):
                if earlier in st:
                    before = st[earlier]
                    break
            ds.append((st[stage] - before) / 1000.0)
        if ds:
            print(f"    {prev_name} -> {stage}: {median(ds):.1f} (n={len(ds)})")
            prev_name = stage
    last = []
    for _, old, new, st in results:
        before = max(st.values()) if st else old[0]
        last.append((new[0] - before) / 1000.0)
    print(f"    {prev_name} -> first new picture drawn: {median(last):.1f}")
    print(f"    (drawing itself: the old file's last picture {median([r[1][2] for r in results]):.1f}, "
          f"the new file's first {median([r[2][2] for r in results]):.1f})")
    # The freeze in three parts, from the clock times in the trace: the player's
    # own (from the old file's end, its last picture's due time plus one period,
    # to the new first picture's draw beginning), less how late the old last
    # picture's draw began, plus how much longer the new picture's draw took.
    own = [(new[4] - (old[3] + FRAME_MS * 1000)) / 1000.0 for _, old, new, _ in results]
    late = [(old[4] - old[3]) / 1000.0 for _, old, new, _ in results]
    longer = [new[2] - old[2] for _, old, new, _ in results]
    print(f"  the freeze's parts (medians, ms): the old file's end -> the new first picture's draw begins "
          f"{median(own):.1f} (max {max(own):.1f}); the old last picture's draw began late by {median(late):.1f}; "
          f"the new picture's draw took {median(longer):.1f} longer")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--player", action="append", help="a video_player binary (repeat for a before and after)")
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--changes", type=int, default=8, help="ends of file in a round")
    ap.add_argument("--screen", default="1280x720")
    ap.add_argument("--no-sound", action="store_true")
    ap.add_argument("--armed", action="store_true", help="switch_at_end with the answer to Preload complete instead")
    ap.add_argument("--log", help="append the player's lines, each with the time it was read, to this file")
    ap.add_argument("--clips", default=os.path.join(ROOT, "build", "clips"))
    args = ap.parse_args()
    players = args.player or [os.path.join(ROOT, "build", "video_player")]
    clips = [os.path.join(args.clips, n) for n in CLIPS]
    got = {p: [] for p in players}
    for r in range(args.rounds):
        for p in players:
            res = one_run(p, clips, args.changes, args.screen, args.no_sound, args.armed, args.log)
            got[p] += res
            print(f"round {r + 1} {p}: " + ", ".join(f"{x[0]:.1f}" for x in res) + " ms", flush=True)
    for p, res in got.items():
        report(p, res)


if __name__ == "__main__":
    sys.exit(main())
