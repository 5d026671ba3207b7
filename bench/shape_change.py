#!/usr/bin/env python3
"""A change of picture shape where a file ends, on one board, measured: the
player plays 16:9 and 4:3 clips in turn, each armed with switch_at_end in the
same write as the answer to "Preload complete" (as the reference manager
does), so that every change is a rebuild for another shape. Each picture the
player draws is recorded (VIDEO_PLAYER_FRAME_TRACE, stamped when its draw has
returned); at every change the time from the old file's last picture drawn
to the new file's first, less one frame period, is the picture's freeze.

Several players may be given (--player, repeated): they take turns, round
after round, so that a before and an after run under the same conditions.

    scripts/with-env.sh bench/shape_change.py --player build/video_player \\
        --player /tmp/before/video_player --rounds 4 [--screen 1920x1080]
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


class Player:
    """A prompt manager: every event answered at once, a command given for the
    next answer of an event sent in the same write."""

    def __init__(self, binary, clip, display, trace):
        env = dict(os.environ, DISPLAY=display, VIDEO_PLAYER_FRAME_TRACE=trace)
        self.proc = subprocess.Popen([binary, clip], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                     bufsize=0)
        self.lines, self.then = [], {}
        self.cond = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        buf = b""
        while True:
            chunk = self.proc.stdout.read(4096)
            if not chunk:
                break
            buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.decode(errors="replace")
                if line in ACKS:
                    text = ACKS[line] + "\n" + self.then.pop(line, "")
                    self.proc.stdin.write(text.encode())
                with self.cond:
                    self.lines.append(line)
                    self.cond.notify_all()

    def send(self, text):
        self.proc.stdin.write((text + "\n").encode())

    def wait(self, text, start, timeout=60):
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    # An event is its whole line ("reset" is also in a bus message's).
                    if self.lines[i] == text if text in ACKS or text == "ready" else text in self.lines[i]:
                        return i
                left = end - time.monotonic()
                if left <= 0:
                    tail = "\n".join(self.lines[-40:])
                    raise RuntimeError(f"no line with {text!r}; the player's last lines:\n{tail}")
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


def freezes(trace):
    rows = []
    for line in open(trace):
        f = line.split()
        if len(f) in (5, 6):
            rows.append((int(f[0]), int(f[4])))
    out = []
    for i in range(1, len(rows)):
        if rows[i][1] < rows[i - 1][1]:
            out.append((rows[i][0] - rows[i - 1][0]) / 1000.0 - FRAME_MS)
    return out[1:]  # the first change is the start-up file's plain switch


def one_run(binary, clips, changes, screen):
    x, display = start_xvfb(screen)
    trace = tempfile.mktemp(prefix="shape-trace-")
    try:
        p = Player(binary, clips[0], display, trace)
        p.wait("ready", 0)
        p.send("play")
        p.wait("playing", 0)
        n = p.count()
        p.send("preload " + clips[0])
        p.wait("Preload complete", n)
        n = p.count()
        p.send("switch")
        p.wait("[SWITCH] Command completed successfully!", n)
        for k in range(changes):
            n = p.count()
            p.then["Preload complete"] = "switch_at_end\n"
            p.send("preload " + clips[(k + 1) % len(clips)])
            p.wait("reset", n)
            p.wait("playing", n)
        time.sleep(1)
        p.stop()
        return freezes(trace)
    finally:
        x.terminate()
        x.wait()
        if os.path.exists(trace):
            os.unlink(trace)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--player", action="append", help="a video_player binary (repeat for a before and after)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--changes", type=int, default=4, help="changes of shape in a round")
    ap.add_argument("--screen", default="1280x720")
    args = ap.parse_args()
    players = args.player or [os.path.join(ROOT, "build", "video_player")]
    clips_dir = os.path.join(ROOT, "build", "clips")
    clips = [os.path.join(clips_dir, n) for n in ("red.mp4", "square.mp4")]
    got = {p: [] for p in players}
    for r in range(args.rounds):
        for p in players:
            f = one_run(p, clips, args.changes, args.screen)
            got[p] += f
            print(f"round {r + 1} {p}: " + ", ".join(f"{x:.1f}" for x in f) + " ms", flush=True)
    for p, f in got.items():
        if f:
            f.sort()
            print(f"{p}: freeze beyond one frame at a change of shape, {len(f)} changes: median "
                  f"{statistics.median(f):.1f} ms, min {f[0]:.1f}, max {f[-1]:.1f} ms")


if __name__ == "__main__":
    sys.exit(main())
