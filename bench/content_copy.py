#!/usr/bin/env python3
"""A large file copied slowly into the playlist's directory while the sign plays.

Runs the manager (and so the player) on a directory of two 4 s clips, and
once the first shows and a quiet time as long as the copy (at most 30 s) has
passed, writes a file of about SIZE MB into the directory under
its final name at RATE MB/s, as cp or a USB copy does. It reports when the
copy's last byte was written, when the player was asked to preload the file,
whether any line of the player named it before the last byte, which item it was after that, and the
manager's CPU (all its threads) during the copy against the quiet time.

The large file plays: a 20 s clip of its own, made with ffmpeg, followed by a
`free` box that makes up the size (qtdemux passes over it).

    scripts/with-env.sh python3 bench/content_copy.py [--size 1024] [--rate 30] [--build build] [--manager PATH]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time


def cpu_seconds(pid):
    """CPU time of every thread of the process, in nanoseconds' precision."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e9


def make_large_clip(path, size_mb):
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=s=320x180:r=25:d=20", "-c:v", "libx264", "-preset", "ultrafast",
                    "-pix_fmt", "yuv420p", "-movflags", "+faststart", "-an", path], check=True)
    pad = size_mb * 1024 * 1024 - os.path.getsize(path)
    with open(path, "ab") as f:
        f.write(struct.pack(">I", pad) + b"free")
        block = bytes(1024 * 1024)
        left = pad - 8
        while left > 0:
            f.write(block[:min(left, len(block))])
            left -= len(block)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=1024, help="MB")
    ap.add_argument("--rate", type=float, default=30, help="MB/s")
    ap.add_argument("--build", default="build")
    ap.add_argument("--manager", help="another manager program (default: the build's), to compare")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="content-copy-")
    playlist = os.path.join(work, "sign")
    os.mkdir(playlist)
    for name, clip in (("a.mp4", "red.mp4"), ("m.mp4", "green.mp4")):
        subprocess.run(["cp", os.path.join(build, "clips", clip), os.path.join(playlist, name)], check=True)
    source = os.path.join(work, "large.mp4")
    t = time.monotonic()
    make_large_clip(source, args.size)
    print(f"made {os.path.getsize(source) / 2**20:.0f} MB in {time.monotonic() - t:.1f} s", flush=True)

    target = os.path.join(playlist, "c.mp4")
    lines = []  # (monotonic time, text)
    manager = args.manager or os.path.join(build, "signage_manager")
    mgr = subprocess.Popen([manager, "--no-http", "--player", os.path.join(build, "video_player"), playlist],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)

    def read():
        for line in mgr.stdout:
            lines.append((time.monotonic(), line.rstrip("\n")))
    threading.Thread(target=read, daemon=True).start()

    def wait_for(part, timeout, after=0.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for when, text in list(lines):
                if when >= after and part in text:
                    return when, text
            time.sleep(0.05)
        return None

    try:
        if not wait_for("[manager] now playing 1/2", 60):
            sys.exit("the sign did not start")
        copy_s = args.size / args.rate
        # As long a time without a copy, for comparison (at most 30 s).
        quiet_cpu, quiet_from = cpu_seconds(mgr.pid), time.monotonic()
        time.sleep(min(copy_s, 30))
        quiet = (cpu_seconds(mgr.pid) - quiet_cpu) / (time.monotonic() - quiet_from)

        chunk = 1024 * 1024
        start = time.monotonic()
        cpu0 = cpu_seconds(mgr.pid)
        written = 0
        with open(source, "rb") as src, open(target, "wb") as dst:
            while True:
                data = src.read(chunk)
                if not data:
                    break
                dst.write(data)
                dst.flush()
                written += len(data)
                due = start + written / (args.rate * 1024 * 1024)
                if due > time.monotonic():
                    time.sleep(due - time.monotonic())
        last_write = time.monotonic()
        copying = (cpu_seconds(mgr.pid) - cpu0) / (last_write - start)

        first = wait_for("player: [STDIN] Processing command: preload " + target, 120, after=start)
        shown_c = wait_for(": " + target, 120, after=last_write)
        played_after = [text for when, text in lines if when >= last_write and "[manager] now playing" in text]
        print(f"copy: {written / 2**20:.0f} MB in {last_write - start:.1f} s ({written / 2**20 / (last_write - start):.1f} MB/s)")
        if first:
            print(f"first preloaded {first[0] - last_write:+.2f} s after the last byte")
        early = [text for when, text in lines if when < last_write and target in text and text.startswith("player: ")]
        preloads = [when for when, text in lines
                    if when < last_write and text == "player: [STDIN] Processing command: preload " + target]
        print(f"player lines naming it before the last byte: {len(early)}, of them preloads: {len(preloads)}")
        for when, text in lines:
            if target in text and text.startswith("[manager]"):
                print(f"  {when - last_write:+7.2f} s  {text}")
        if shown_c:
            upto = played_after[:played_after.index(shown_c[1]) + 1]
            print(f"shown {shown_c[0] - last_write:+.2f} s after the last byte; shown from the last byte on: "
                  + ", ".join(t.rsplit("/", 1)[-1] for t in upto))
        print(f"manager CPU: {100 * copying:.2f} % during the copy, {100 * quiet:.2f} % before it")
    finally:
        mgr.terminate()
        try:
            mgr.wait(20)
        except subprocess.TimeoutExpired:
            mgr.kill()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
