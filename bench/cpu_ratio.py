#!/usr/bin/env python3
"""CPU the player uses to play a file, against gst-launch-1.0 running the same
elements on the same file. Each run measures both over the same window of
steady playback (after start-up); the report gives the median of the runs and
the ratio of the medians. Run under scripts/with-env.sh (display and sound).
See docs/PERFORMANCE.md.

    bench/cpu_ratio.py --player build/video_player --clip build/clips/long.mp4
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

TICK = os.sysconf("SC_CLK_TCK")
ACKS = {
    "end of video!": "ack_end", "playing": "ack_playing", "Preload complete": "ack_preload_complete",
    "Preload error": "ack_preload_error", "stopped": "ack_stopped", "reset": "ack_reset", "crash": "ack_crash",
}
QUEUE = "max-size-time=30000000000 max-size-buffers=0 max-size-bytes=0"


def cpu_seconds(pid):
    """User and system time of the whole process, its ended threads included."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def thread_seconds(pid):
    """CPU seconds of each live thread, by thread name (names that repeat are summed)."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        out[name] = out.get(name, 0) + (int(fields[11]) + int(fields[12])) / TICK
    return out


def launch_description(clip, no_sound):
    # The player's start-up pipeline for an MP4 file, with the software decoder
    # its stand-in wraps, fed the stream format the stand-in asks for.
    video = (f'filesrc location="{clip}" ! qtdemux name=demux0 demux0.video_0 ! queue {QUEUE} ! h264parse ! '
             "video/x-h264,stream-format=byte-stream,alignment=au ! input-selector ! avdec_h264 ! glupload ! "
             "glimagesink sync=true force-aspect-ratio=true")
    if no_sound:
        return video
    return (video + f" demux0.audio_0 ! queue {QUEUE} ! decodebin ! audioconvert ! "
            "audio/x-raw,format=S16LE,layout=interleaved,channels=2 ! input-selector ! audioconvert ! alsasink")


def measure(proc, warmup, seconds):
    time.sleep(warmup)
    if proc.poll() is not None:
        raise RuntimeError("process ended during start-up")
    start, threads_start = cpu_seconds(proc.pid), thread_seconds(proc.pid)
    time.sleep(seconds)
    if proc.poll() is not None:
        raise RuntimeError("process ended during the measurement")
    used = cpu_seconds(proc.pid) - start
    threads_end = thread_seconds(proc.pid)
    per_thread = {n: t - threads_start.get(n, 0) for n, t in threads_end.items()}
    return used, per_thread


def run_launch(args):
    cmd = ["gst-launch-1.0", "-q"] + split_description(launch_description(args.clip, args.no_sound))
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        return measure(proc, args.warmup, args.seconds)
    finally:
        proc.kill()
        proc.wait()


def split_description(text):
    """Words of a description; only the location is quoted."""
    out, word, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
        elif c == " " and not quoted:
            if word:
                out.append(word)
            word = ""
        else:
            word += c
    if word:
        out.append(word)
    return out


def run_player(args):
    cmd = [args.player, args.clip] + (["--no_sound"] if args.no_sound else [])
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    playing = threading.Event()
    lines = [0]

    def answer():
        for raw in proc.stdout:
            lines[0] += 1
            line = raw.decode("utf-8", "replace").rstrip("\n")
            ack = ACKS.get(line)
            if ack:
                try:
                    proc.stdin.write((ack + "\n").encode())
                    proc.stdin.flush()
                except OSError:
                    return
            if line == "playing":
                playing.set()

    reader = threading.Thread(target=answer, daemon=True)
    reader.start()
    try:
        proc.stdin.write(b"play\n")  # read once the loop runs
        proc.stdin.flush()
        if not playing.wait(30):
            raise RuntimeError("the player did not report playing")
        lines_before = lines[0]
        used, per_thread = measure(proc, args.warmup, args.seconds)
        return used, per_thread, lines[0] - lines_before
    finally:
        proc.kill()
        proc.wait()
        reader.join(5)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(here, "..", "build")
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--player", default=os.path.join(build, "video_player"))
    p.add_argument("--clip", default=os.path.join(build, "clips", "long.mp4"))
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--seconds", type=float, default=8)
    p.add_argument("--warmup", type=float, default=1.5, help="seconds of playback before the window opens")
    p.add_argument("--no-sound", action="store_true")
    p.add_argument("--threads", action="store_true", help="also the CPU of each thread")
    args = p.parse_args()
    if not os.access(args.clip, os.R_OK) or not os.access(args.player, os.X_OK):
        sys.exit(f"need {args.player} and {args.clip}")

    launch, player, player_lines = [], [], []
    threads = {"gst-launch": [], "player": []}
    for run in range(args.runs):
        # Alternated, so that a change in the machine's load falls on both.
        order = (run_launch, run_player) if run % 2 == 0 else (run_player, run_launch)
        for f in order:
            if f is run_launch:
                used, per_thread = run_launch(args)
                launch.append(used)
                threads["gst-launch"].append(per_thread)
            else:
                used, per_thread, n = run_player(args)
                player.append(used)
                player_lines.append(n)
                threads["player"].append(per_thread)
        print(f"run {run + 1}: gst-launch {launch[-1]:.2f} s, player {player[-1]:.2f} s "
              f"({player_lines[-1]} lines) of CPU in {args.seconds:g} s", file=sys.stderr)
    ml, mp = statistics.median(launch), statistics.median(player)
    print(f"clip {os.path.basename(args.clip)}, {args.runs} runs of {args.seconds:g} s"
          f"{', no sound' if args.no_sound else ''}")
    print(f"  gst-launch-1.0: median {ml:.2f} s CPU ({100 * ml / args.seconds:.1f} % of one core)  runs {[round(x, 2) for x in launch]}")
    print(f"  video_player:   median {mp:.2f} s CPU ({100 * mp / args.seconds:.1f} % of one core)  runs {[round(x, 2) for x in player]}")
    print(f"  player lines written in the window: median {statistics.median(player_lines):.0f}")
    print(f"  ratio player / gst-launch: {mp / ml:.3f}")
    if args.threads:
        names = sorted({n for side in threads.values() for run in side for n in run})
        print("  median CPU seconds by thread (live at the window's end):")
        print(f"    {'thread':<24} {'gst-launch':>10} {'player':>10}")
        for n in names:
            row = [statistics.median([run.get(n, 0) for run in threads[side]]) for side in ("gst-launch", "player")]
            if max(row) >= 0.005:
                print(f"    {n:<24} {row[0]:>10.2f} {row[1]:>10.2f}")


if __name__ == "__main__":
    main()
