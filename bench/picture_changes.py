#!/usr/bin/env python3
"""Pictures among videos, measured with the real manager and player on a
screen of its own (full screen, 1280x720 unless --screen):

- each change of file (videos made here at the pictures' size), by kind (video -> picture, picture -> video,
  picture -> picture, video -> video): the time from the old file's last
  picture drawn to the new file's first, less one frame period (the
  player's tracer, VIDEO_PLAYER_FRAME_TRACE, stamps a picture once its draw
  has returned), over a playlist of --items entries (half pictures) played
  --rounds times; the clips are made in the first round and taken from the
  cache in the others;
- the manager's and the clip maker's peak memory, with --big PICTURE in the
  playlist.

    cd build && ../scripts/with-env.sh ../bench/picture_changes.py [--items 20] [--rounds 2] [--big photo.jpg]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wall_sync import start_xvfb  # noqa: E402

FRAME_MS = 40.0
PICTURES = ["poster.jpg", "turned.jpg", "overlay.png", "cyan.png"]
VIDEOS = [("red", True), ("lime", True), ("blue", False), ("yellow", True), ("white", True)]


def make_video(path, colour, sound, size, seconds=4):
    """A video of the pictures' size, made as scripts/make-clips.sh makes its clips."""
    cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
           f"color=c={colour}:s={size}:r=25:d={seconds}"]
    if sound:
        cmd += ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}"]
    cmd += ["-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25", "-pix_fmt", "yuv420p"]
    cmd += ["-c:a", "aac", "-b:a", "64k", "-ac", "2", "-shortest"] if sound else ["-an"]
    subprocess.run(cmd + [path], check=True)


def kind(path):
    return "picture" if re.search(r"\.(jpe?g|png|webp)$", path, re.I) else "video"


def peak_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=".")
    ap.add_argument("--items", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--seconds", type=float, default=3, help="each picture's time")
    ap.add_argument("--screen", default="1280x720")
    ap.add_argument("--picture-size", default="1920x1080")
    ap.add_argument("--big", help="a large picture put first in the playlist")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="picture-bench-")
    lines = []
    for i in range(args.items):
        # Pictures in runs of one and two, between videos.
        if i % 4 in (1, 2):
            name = PICTURES[i % len(PICTURES)]
            copy = os.path.join(work, f"{i:02d}_{name}")
            shutil.copy(os.path.join(build, "clips", name), copy)
            lines.append(copy)
        else:
            colour, sound = VIDEOS[i % len(VIDEOS)]
            video = os.path.join(work, f"{colour}{'' if sound else '_silent'}.mp4")
            if not os.path.exists(video):
                make_video(video, colour, sound, args.picture_size)
            lines.append(video)
    if args.big:
        lines.insert(1, os.path.abspath(args.big))
    playlist = os.path.join(work, "playlist.txt")
    with open(playlist, "w") as f:
        f.write("\n".join(lines) + "\n")
    xvfb, display = start_xvfb(args.screen)
    trace = os.path.join(work, "trace")
    env = dict(os.environ, DISPLAY=display, VIDEO_PLAYER_FRAME_TRACE=trace)
    env.pop("WAYLAND_DISPLAY", None)
    cmd = [os.path.join(build, "signage_manager"), "--no-http", "--rounds", str(args.rounds), "--state-dir",
           os.path.join(work, "state"), "--picture-seconds", str(args.seconds), "--picture-size", args.picture_size,
           # The files were made a moment ago: no wait for them to settle.
           "--settle-time", "0",
           "--player-log", os.path.join(work, "player.log"), playlist]
    started = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, env=env, text=True)
    out, peaks = [], {"manager": 0, "maker": 0}

    def watch():
        while proc.poll() is None:
            peaks["manager"] = max(peaks["manager"], peak_kb(proc.pid))
            for pid in os.listdir("/proc"):
                if pid.isdigit():
                    try:
                        with open(f"/proc/{pid}/cmdline", "rb") as f:
                            if b"signage_picture_clip" in f.read().split(b"\0")[0]:
                                peaks["maker"] = max(peaks["maker"], peak_kb(int(pid)))
                    except OSError:
                        pass
            time.sleep(0.05)

    threading.Thread(target=watch, daemon=True).start()
    for line in proc.stdout:
        out.append(line.rstrip("\n"))
    proc.wait()
    xvfb.kill()
    elapsed = time.monotonic() - started

    shown = [re.sub(r"^\[manager\] now playing \d+/\d+: ", "", l) for l in out if "] now playing " in l]
    made = [l for l in out if "] made the clip of " in l]
    waits = [l for l in out if "] making the clip of " in l or "is not made in time" in l]
    drawn = []
    with open(trace) as f:
        for l in f:
            p = l.split()
            if len(p) >= 5:
                drawn.append((int(p[0]), int(p[4])))
    # Changes: where the time in the file goes back. The first is the start
    # (the player's own file, switched to the same at once).
    gaps = {}
    change = 0
    per_round = len(shown) // max(args.rounds, 1)
    for i in range(1, len(drawn)):
        if drawn[i][1] >= drawn[i - 1][1]:
            continue
        change += 1
        if change == 1 or change >= len(shown):
            continue
        old, new = shown[change - 1], shown[change]
        rnd = 1 + (change - 1) // max(per_round, 1)
        key = (f"{kind(old)} -> {kind(new)}", "first round" if rnd == 1 else "from the cache")
        gaps.setdefault(key, []).append((drawn[i][0] - drawn[i - 1][0]) / 1000.0 - FRAME_MS)

    print(f"{len(shown)} showings in {elapsed:.0f} s, {len(made)} clips made, {len(waits)} waits for a clip")
    for l in made:
        print("  " + l)
    for l in waits:
        print("  " + l)
    print("change                 round            n  beyond one frame: median / max (ms)")
    for (what, rnd), values in sorted(gaps.items()):
        print(f"{what:22s} {rnd:15s} {len(values):3d}  {statistics.median(values):6.1f} / {max(values):6.1f}")
    print(f"peak memory: manager {peaks['manager'] / 1024:.1f} MB, clip maker {peaks['maker'] / 1024:.1f} MB")
    print(f"work files: {work}")


if __name__ == "__main__":
    main()
