#!/usr/bin/env python3
"""CPU the player uses to play a file, against gst-launch-1.0 running the same
elements on the same file and drawing the picture at the same size:

- full screen: the player's default, its own window over the whole screen,
  against gst-launch-1.0 whose sink window is moved and stretched over the
  screen (xdotool) once the sink has given it the clip's size;
- clip size: the player with --window (the sink's own window) against
  gst-launch-1.0's window as the sink made it.

Each run starts one process, lets it play, and takes its user and system CPU
time from /proc over the next window; player and gst-launch alternate (ABBA),
so that a change in the machine's load falls on both. The drawn size is read
back from the X server at the end of every window and a run whose size is not
the one asked for fails. The report gives, for each size, the medians and
spreads, the ratio of the medians, the median of the pairs' ratios and the
load average; --threads adds each thread's CPU and wake-ups (voluntary
context switches, which the machine's load hardly moves). Run under scripts/with-env.sh (display and sound); needs
xdotool and xwininfo. See docs/PERFORMANCE.md.

    bench/cpu_ratio.py --player build/video_player --clip build/clips/long.mp4 --runs 5 --threads
"""
import argparse
import os
import re
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
SINK_WINDOW = "OpenGL renderer"  # the name glimagesink gives the window it draws into
SIZES = ("full", "clip")
SIZE_TEXT = {"full": "full screen", "clip": "clip size"}
# GStreamer's X event thread polls GL's connection and spins while a reply
# for the GL thread waits there unread: its time follows the machine's load
# more than the program, in both programs alike.
SPINNING_THREAD = "gldisplay-event"


def cpu_seconds(pid):
    """User and system time of the whole process, its ended threads included."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def thread_seconds(pid):
    """CPU seconds (from the scheduler's own count, in nanoseconds, since a
    quiet thread uses less than a clock tick) and wake-ups (voluntary context
    switches) of each live thread, by thread name (names that repeat are summed)."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().rstrip("\n")
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ran = int(f.read().split()[0]) / 1e9
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                wakeups = int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", f.read(), re.M).group(1))
        except (OSError, AttributeError):
            continue
        cpu, woken = out.get(name, (0, 0))
        out[name] = (cpu + ran, woken + wakeups)
    return out


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def clip_size(clip):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=width,height", "-of", "csv=p=0:s=x", clip],
                         capture_output=True, text=True, check=True).stdout.strip()
    w, h = out.split("x")[:2]
    return int(w), int(h)


def screen_size():
    out = subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True, text=True, check=True).stdout
    w, h = out.split()
    return int(w), int(h)


def sink_windows():
    """The ids of the windows named as glimagesink names its own (top-level or child)."""
    out = subprocess.run(["xdotool", "search", "--name", f"^{SINK_WINDOW}$"], capture_output=True, text=True).stdout
    return [int(w) for w in out.split()]


def geometry(wid):
    """(x, y, width, height, viewable) of a window, x and y on the screen; None when it is gone."""
    r = subprocess.run(["xwininfo", "-id", str(wid)], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    def field(name):
        m = re.search(rf"{name}:\s+(-?\d+)", r.stdout)
        return int(m.group(1)) if m else None
    return (field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height"),
            "IsViewable" in r.stdout)


def wait_for_sink_window(proc, seconds=30):
    """The process's sink window once it is shown (the only one on this display)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"process ended before its window showed (status {proc.returncode})")
        for wid in sink_windows():
            g = geometry(wid)
            if g and g[4] and g[2] > 1 and g[3] > 1:
                return wid
        time.sleep(0.05)
    raise RuntimeError("no sink window showed")


def drawn_size(wid):
    g = geometry(wid)
    if not g:
        raise RuntimeError("the sink's window went away")
    return g[:4]


def check_size(what, got, want):
    if got != want:
        raise RuntimeError(f"{what} draws at {got[2]}x{got[3]}+{got[0]}+{got[1]}, "
                           f"not {want[2]}x{want[3]}+{want[0]}+{want[1]}")


def measure(proc, warmup, seconds):
    time.sleep(warmup)
    if proc.poll() is not None:
        raise RuntimeError("process ended during start-up")
    load_before = load_average()
    start, threads_start = cpu_seconds(proc.pid), thread_seconds(proc.pid)
    time.sleep(seconds)
    if proc.poll() is not None:
        raise RuntimeError("process ended during the measurement")
    used = cpu_seconds(proc.pid) - start
    threads_end = thread_seconds(proc.pid)
    per_thread = {n: (t[0] - threads_start.get(n, (0, 0))[0], t[1] - threads_start.get(n, (0, 0))[1])
                  for n, t in threads_end.items()}
    return {"cpu": used, "threads": per_thread, "load": (load_before, load_average())}


def launch_description(clip, no_sound):
    # The player's start-up pipeline for an MP4 file, with the software decoder
    # its stand-in wraps, fed the stream format the stand-in asks for, on the
    # system clock as the player's pipelines are. On its sound sink's clock
    # gst-launch-1.0 plays slower than the wall clock here (the 20 s clip took
    # 21.4-21.8 s) and draws about 2.5 % fewer frames in a window.
    video = (f'filesrc location="{clip}" ! qtdemux name=demux0 demux0.video_0 ! queue {QUEUE} ! h264parse ! '
             "video/x-h264,stream-format=byte-stream,alignment=au ! input-selector ! avdec_h264 ! glupload ! "
             "glimagesink sync=true force-aspect-ratio=true")
    if no_sound:
        return video
    return (video + f" demux0.audio_0 ! queue {QUEUE} ! decodebin ! audioconvert ! "
            "audio/x-raw,format=S16LE,layout=interleaved,channels=2 ! input-selector ! audioconvert ! "
            "alsasink provide-clock=false")


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


def run_launch(args, size):
    cmd = ["gst-launch-1.0", "-q"] + split_description(launch_description(args.clip, args.no_sound))
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wid = wait_for_sink_window(proc)
        if size == "full":
            # Once the sink has given its window the clip's size: later it
            # only follows what the window is given.
            deadline = time.monotonic() + 10
            while drawn_size(wid)[2:] != args.clip_size and time.monotonic() < deadline:
                time.sleep(0.05)
            subprocess.run(["xdotool", "windowmove", str(wid), "0", "0",
                            "windowsize", str(wid), str(args.screen[0]), str(args.screen[1])], check=True)
        result = measure(proc, args.warmup, args.seconds)
        check_size("gst-launch-1.0", drawn_size(wid), args.want[size])
        return result
    finally:
        proc.kill()
        proc.wait()


def run_player(args, size, player=None):
    cmd = [player or args.player, args.clip] + (["--no_sound"] if args.no_sound else []) + (["--window"] if size == "clip" else [])
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
        wid = wait_for_sink_window(proc)
        lines_before = lines[0]
        result = measure(proc, args.warmup, args.seconds)
        check_size("the player", drawn_size(wid), args.want[size])
        result["lines"] = lines[0] - lines_before
        return result
    finally:
        proc.kill()
        proc.wait()
        reader.join(5)


def spread(values):
    return f"{min(values):.2f}-{max(values):.2f}"


def report(args, size, runs):
    launch = [r["cpu"] for r in runs["gst-launch"]]
    player = [r["cpu"] for r in runs["player"]]
    pairs = [p / l for p, l in zip(player, launch)]
    loads = [x for side in runs.values() for r in side for x in r["load"]]
    ml, mp = statistics.median(launch), statistics.median(player)
    w, h = args.want[size][2:]
    print(f"{SIZE_TEXT[size]} ({w}x{h}): clip {os.path.basename(args.clip)}, {len(launch)} runs of {args.seconds:g} s"
          f"{', no sound' if args.no_sound else ''}, load average {min(loads):.2f}-{max(loads):.2f}")
    print(f"  gst-launch-1.0: median {ml:.2f} s CPU ({100 * ml / args.seconds:.1f} % of one core), "
          f"spread {spread(launch)}  runs {[round(x, 2) for x in launch]}")
    print(f"  video_player:   median {mp:.2f} s CPU ({100 * mp / args.seconds:.1f} % of one core), "
          f"spread {spread(player)}  runs {[round(x, 2) for x in player]}")
    print(f"  player lines written in the window: median "
          f"{statistics.median([r['lines'] for r in runs['player']]):.0f}")
    print(f"  ratio of the medians player / gst-launch: {mp / ml:.3f}")
    print(f"  ratio of each pair: median {statistics.median(pairs):.3f}, spread {spread(pairs)}"
          f"  {[round(x, 3) for x in pairs]}")
    if args.also:
        also = [r["cpu"] for r in runs["also"]]
        also_pairs = [a / l for a, l in zip(also, launch)]
        print(f"  {args.also}: median {statistics.median(also):.2f} s CPU, spread {spread(also)}, ratio of the "
              f"medians to gst-launch {statistics.median(also) / ml:.3f}, of each pair: median "
              f"{statistics.median(also_pairs):.3f}, spread {spread(also_pairs)}")
    if args.threads:
        rest = {side: [sum(t[0] for n, t in r["threads"].items() if n != SPINNING_THREAD) for r in runs[side]]
                for side in ("gst-launch", "player")}
        rest_pairs = [p / l for p, l in zip(rest["player"], rest["gst-launch"])]
        print(f"  without {SPINNING_THREAD}: ratio of the medians "
              f"{statistics.median(rest['player']) / statistics.median(rest['gst-launch']):.3f}, "
              f"of each pair: median {statistics.median(rest_pairs):.3f}, spread {spread(rest_pairs)}")
        names = sorted({n for side in ("gst-launch", "player") for r in runs[side] for n in r["threads"]})
        print("  by thread (live at the window's end), medians:")
        print(f"    {'':<24} {'CPU seconds':>21}   {'wake-ups a second':>21}")
        print(f"    {'thread':<24} {'gst-launch':>10} {'player':>10}   {'gst-launch':>10} {'player':>10}")
        sides = ("gst-launch", "player")
        for n in names:
            cpu = [statistics.median([r["threads"].get(n, (0, 0))[0] for r in runs[side]]) for side in sides]
            woken = [statistics.median([r["threads"].get(n, (0, 0))[1] for r in runs[side]]) / args.seconds
                     for side in sides]
            if max(cpu) >= 0.0005 or max(woken) >= 1:
                print(f"    {n:<24} {cpu[0]:>10.3f} {cpu[1]:>10.3f}   {woken[0]:>10.1f} {woken[1]:>10.1f}")


def attempt(f, args, size, tries=2):
    """One run; a run whose window never shows is tried once more."""
    for n in range(tries):
        try:
            return f(args, size)
        except RuntimeError as e:
            if n + 1 == tries:
                raise
            print(f"  retrying: {e}", file=sys.stderr)


def measure_all(args):
    sizes = SIZES if args.size == "both" else (args.size,)
    sides = [("gst-launch", run_launch), ("player", run_player)]
    if args.also:
        sides.append(("also", lambda a, s: run_player(a, s, a.also)))
    results = {size: {side: [] for side, _ in sides} for size in sizes}
    for run in range(args.runs):
        for size in sizes:
            order = tuple(sides)
            if run % 2:
                order = order[::-1]
            for side, f in order:
                results[size][side].append(attempt(f, args, size))
            r = results[size]
            print(f"run {run + 1}, {SIZE_TEXT[size]}: gst-launch {r['gst-launch'][-1]['cpu']:.2f} s, "
                  f"player {r['player'][-1]['cpu']:.2f} s ({r['player'][-1]['lines']} lines) of CPU in "
                  f"{args.seconds:g} s, load average {r['player'][-1]['load'][1]:.2f}"
                  + (f", other build {r['also'][-1]['cpu']:.2f} s" if args.also else ""), file=sys.stderr)
    return results


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(here, "..", "build")
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--player", default=os.path.join(build, "video_player"))
    p.add_argument("--clip", default=os.path.join(build, "clips", "long.mp4"))
    p.add_argument("--also", help="another build of the player (the one before a change), run in the same turns")
    p.add_argument("--runs", type=int, default=3, help="runs of each program at each size")
    p.add_argument("--seconds", type=float, default=8)
    p.add_argument("--warmup", type=float, default=1.5, help="seconds of playback before the window opens")
    p.add_argument("--size", choices=SIZES + ("both",), default="both")
    p.add_argument("--no-sound", action="store_true")
    p.add_argument("--threads", action="store_true", help="also the CPU and wake-ups of each thread")
    args = p.parse_args()
    if not os.access(args.clip, os.R_OK) or not all(os.access(p, os.X_OK) for p in (args.player, args.also) if p):
        sys.exit(f"need {args.player}{', ' + args.also if args.also else ''} and {args.clip}")
    if sink_windows():
        sys.exit(f"a window named \"{SINK_WINDOW}\" is already on this display: run on a display of its own")
    args.clip_size = clip_size(args.clip)
    args.screen = screen_size()
    args.want = {"full": (0, 0) + args.screen, "clip": (0, 0) + args.clip_size}
    if args.clip_size[0] * args.screen[1] != args.clip_size[1] * args.screen[0]:
        print("note: the clip's shape is not the screen's, so both draw bars at full screen", file=sys.stderr)

    # An X server resets when its last client leaves, and a program that
    # connects during the reset gets no display: GStreamer's GL then draws
    # off screen. One connection held for the whole run keeps it up.
    holder = subprocess.Popen(["xprop", "-root", "-spy", "_NET_ACTIVE_WINDOW"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        results = measure_all(args)
    finally:
        holder.kill()
        holder.wait()
    for size in results:
        report(args, size, results[size])


if __name__ == "__main__":
    main()
