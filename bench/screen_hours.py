#!/usr/bin/env python3
"""The screen's hours, measured with the reference manager and the real
player on an Xvfb screen of its own: the manager's wall clock is moved
(libfaketime, its offset read from a file, the monotonic clock left alone)
to two seconds before its --screen-on hours end, then to two seconds before
they begin again, round after round. Each picture the player draws is
recorded (VIDEO_PLAYER_FRAME_TRACE, stamped on the monotonic clock when its
draw has returned; nothing is recorded while the screen sleeps).

  asleep:  from the hours' end to the player's "[SCREEN] Asleep" line, as
           the bench reads it from the manager's output;
  picture: from the hours' start to the first picture drawn after it (the
           next file's first picture: it is preloaded, switched to while
           paused, then the screen is lit and played).

    scripts/with-env.sh bench/screen_hours.py [--rounds 8]
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
BUILD = os.path.join(ROOT, "build")
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
HOURS = "08:00-12:00"
LEAD_S = 2.0  # the clock is put this long before the change


class Manager:
    def __init__(self, display, work):
        self.clock = os.path.join(work, "clock")
        self.trace = os.path.join(work, "trace")
        self.set_clock(10 * 3600)
        playlist = os.path.join(work, "list.txt")
        with open(playlist, "w") as f:
            for name in ("red", "green", "blue", "yellow"):
                f.write(os.path.join(BUILD, "clips", name + ".mp4") + "\n")
        env = dict(os.environ, DISPLAY=display, TZ="UTC", LD_PRELOAD=FAKETIME, FAKETIME_TIMESTAMP_FILE=self.clock,
                   FAKETIME_NO_CACHE="1", DONT_FAKE_MONOTONIC="1", VIDEO_PLAYER_FRAME_TRACE=self.trace)
        self.proc = subprocess.Popen([os.path.join(BUILD, "signage_manager"), "--no-http", "--no-sound",
                                      "--screen-on", HOURS, playlist], stdout=subprocess.PIPE, env=env)
        self.lines = []  # (monotonic s, text)
        self.cond = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def set_clock(self, seconds_of_day):
        """The manager's wall clock reads this time of day (UTC) from now on."""
        now = time.time()
        offset = int(now // 86400 * 86400 + seconds_of_day - now)
        with open(self.clock + ".new", "w") as f:
            f.write(("+" if offset >= 0 else "") + str(offset) + "\n")
        os.rename(self.clock + ".new", self.clock)
        # The moment, on the monotonic clock, that the faked clock reads `seconds_of_day`.
        return time.monotonic() + (now // 86400 * 86400 + seconds_of_day - offset - now)

    def read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))
                self.cond.notify_all()

    def wait(self, part, start, timeout=60):
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if part in self.lines[i][1]:
                        return i
                left = end - time.monotonic()
                if left <= 0:
                    tail = "\n".join(t for _, t in self.lines[-40:])
                    raise RuntimeError(f"no line with {part!r}; the last lines:\n{tail}")
                self.cond.wait(left)

    def pictures(self):
        try:
            with open(self.trace) as f:
                return [int(l.split()[0]) / 1e6 for l in f if l.strip()]
        except FileNotFoundError:
            return []

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=8)
    args = ap.parse_args()
    xvfb, display = start_xvfb()
    work = tempfile.mkdtemp(prefix="screen-hours-")
    manager = Manager(display, work)
    asleep, picture = [], []
    try:
        manager.wait("[manager] now playing", 0)
        for r in range(args.rounds):
            time.sleep(1.5 + 0.37 * r)  # a different moment of the file on screen each round
            start = len(manager.lines)
            ends = manager.set_clock(12 * 3600 - LEAD_S)
            at = manager.wait("[SCREEN] Asleep", start)
            asleep.append(manager.lines[at][0] - (ends + LEAD_S))
            time.sleep(1.0)
            start = len(manager.lines)
            begins = manager.set_clock(8 * 3600 - LEAD_S) + LEAD_S
            manager.wait("[SCREEN] Awake", start)
            first = None
            for _ in range(100):
                first = next((t for t in manager.pictures() if t > begins), None)
                if first:
                    break
                time.sleep(0.1)
            if first is None:
                raise RuntimeError("no picture after the hours began")
            picture.append(first - begins)
            print(f"round {r + 1}: asleep {asleep[-1] * 1000:.0f} ms after the end, "
                  f"first picture {picture[-1] * 1000:.0f} ms after the start", flush=True)
    finally:
        manager.stop()
        xvfb.kill()
    for name, values in (("asleep after the hours' end", asleep), ("first picture after their start", picture)):
        ms = sorted(v * 1000 for v in values)
        print(f"{name}: median {statistics.median(ms):.0f} ms, min {ms[0]:.0f}, max {ms[-1]:.0f} (n={len(ms)})")


if __name__ == "__main__":
    sys.exit(main())
