#!/usr/bin/env python3
"""Screens in step, measured: a leader and one or two followers (each a real
signage_manager with its real video_player on an Xvfb display of its own),
optionally through bench/wall_relay.py, for a given time. Every player
records each picture it draws (VIDEO_PLAYER_FRAME_TRACE); afterwards the
traces are compared screen against screen.

Run it under scripts/with-env.sh (it needs a sound server when --sound is
given; it starts its own Xvfb for every board):

    scripts/with-env.sh bench/wall_sync.py --seconds 600 --cut-every 7 --out /tmp/wall-nosound
    scripts/with-env.sh bench/wall_sync.py --seconds 600 --relay --out /tmp/wall-relay
    scripts/with-env.sh bench/wall_sync.py --seconds 120 --late-join 20 --out /tmp/wall-late
    scripts/with-env.sh bench/wall_sync.py --seconds 150 --leader-loss 40:20 --out /tmp/wall-loss
    bench/wall_sync.py --analyse /tmp/wall-nosound      # the report again, from a run's files

A trace line is "MONOTONIC_US CLOCK_NS RUNNING_NS DUE_NS PTS_NS BEGUN_NS",
the first two read once the draw has returned, BEGUN_NS the wall's clock as
it began (older traces lack it). All boards run on this machine, so
MONOTONIC_US is the true time of each draw on every screen; DUE_NS is the
wall's clock time a picture was due at, the same for the same picture on
every screen; PTS_NS is its time in its file.
"""
import argparse
import bisect
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NONE = 2**64 - 1
MS = 1_000_000  # ns
FRAME_NS = 40 * MS  # every clip here is 25 fps
TOLERANCE_NS = 1 * MS  # the same picture: DUE and PTS equal within this
SLICE_S = 300
IN_STEP_MS = 20  # a picture is in step when drawn within half a frame of the leader's


# ---------------------------------------------------------------- running


def free_port(kinds=(socket.SOCK_STREAM, socket.SOCK_DGRAM)):
    """A port free for all the kinds given, now."""
    for _ in range(100):
        first = socket.socket(socket.AF_INET, kinds[0])
        first.bind(("127.0.0.1", 0))
        port = first.getsockname()[1]
        ok = True
        others = []
        for kind in kinds[1:]:
            s = socket.socket(socket.AF_INET, kind)
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                ok = False
            others.append(s)
        for s in [first] + others:
            s.close()
        if ok:
            return port
    raise RuntimeError("no free port")


def now_us():
    return time.monotonic_ns() // 1000  # CLOCK_MONOTONIC, as the traces' first column


def start_xvfb(screen="1280x720"):
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", screen + "x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    with os.fdopen(r, "rb") as f:
        while not number.endswith(b"\n"):
            c = f.read(1)
            if not c:
                break
            number += c
    if not number.strip():
        proc.kill()
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + number.decode().strip()


class Board:
    """One manager with its player, on its own display."""

    def __init__(self, name, out, display, wall_args, http_port, args):
        self.name, self.out, self.display = name, out, display
        self.wall_args, self.http_port, self.args = wall_args, http_port, args
        self.proc = None
        self.runs = []  # (trace file, start us, end us)

    def start(self):
        n = len(self.runs) + 1
        trace = os.path.join(self.out, f"{self.name}-{n}.trace")
        log = os.path.join(self.out, f"{self.name}-{n}.log")
        cmd = [os.path.join(self.args.build, "signage_manager"), "--http", f"127.0.0.1:{self.http_port}",
               "--stable-after", "1", "--player-log", log, "--player-log-size", "50",
               "--wall-latency", str(self.args.latency)] + self.wall_args
        if not self.args.sound:
            cmd.append("--no-sound")
        if self.args.token_file:
            cmd += ["--wall-token-file", self.args.token_file]
        cmd += self.args.manager_arg
        cmd.append(self.args.playlist_file)
        env = dict(os.environ, DISPLAY=self.display, VIDEO_PLAYER_FRAME_TRACE=trace)
        started = now_us()
        self.proc = subprocess.Popen(cmd, env=env, stdout=open(log + ".out", "w"), stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.runs.append([os.path.basename(trace), started, None])

    def player_pids(self):
        """The players this manager started (still there or not)."""
        pids = []
        log = os.path.join(self.out, f"{self.name}-{len(self.runs)}.log")
        for path in (log + ".1", log):
            try:
                for line in open(path, errors="replace"):
                    at = line.find("[manager] started the player, pid ")
                    if at >= 0:
                        pids.append(int(line[at:].split("pid ")[1].split(":")[0]))
            except OSError:
                pass
        return pids

    def stop(self, sig=signal.SIGTERM):
        if not self.proc or self.proc.poll() is not None:
            return
        players = self.player_pids()
        self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        # The player dies with its manager (PR_SET_PDEATHSIG); make sure.
        for pid in players[-1:]:
            try:
                os.kill(pid, 0)
                time.sleep(0.5)
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        self.runs[-1][2] = now_us()

    def status(self):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/status", timeout=2) as r:
                return json.load(r).get("wall")
        except (OSError, ValueError):
            return None

    def post(self, action):
        req = urllib.request.Request(f"http://127.0.0.1:{self.http_port}/{action}", data=b"{}", method="POST",
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=5) as r:
                return r.status
        except OSError as e:
            return str(e)


def flood(port, seconds):
    """Silent connections to the plan port from 127.0.0.2-39, opened again as they are closed."""
    end = time.monotonic() + seconds
    socks = []
    opened = 0
    while time.monotonic() < end:
        for host in range(2, 40):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            try:
                s.bind((f"127.0.0.{host}", 0))
                s.connect_ex(("127.0.0.1", port))
                socks.append(s)
                opened += 1
            except OSError:
                s.close()
        time.sleep(0.2)
        kept = []
        for s in socks:
            try:
                closed = s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
            except BlockingIOError:
                closed = False
            except OSError:
                closed = True
            if closed:
                s.close()
            else:
                kept.append(s)
        socks = kept
    for s in socks:
        s.close()
    print(f"flood: {opened} connections opened", flush=True)


def loadavg():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def run(args):
    os.makedirs(args.out, exist_ok=True)
    if args.sound and subprocess.call(["pactl", "info"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL):
        sys.exit("--sound needs a sound server: run under scripts/with-env.sh")
    files = playlist_files(args)
    args.token_file = os.path.join(args.out, "wall-token")
    with open(args.token_file, "w") as f:
        f.write(os.urandom(18).hex() + "\n")
    args.playlist_file = os.path.join(args.out, "playlist.txt")
    with open(args.playlist_file, "w") as f:
        f.write("\n".join(files) + "\n")

    wall_port = free_port()
    relay_port = free_port() if args.relay else None
    procs, boards = [], []
    events = {"args": {k: v for k, v in vars(args).items() if k != "func"}, "files": files, "cuts_us": [],
              "load": [], "status": [], "wall_port": wall_port, "relay_port": relay_port}
    relay = None
    try:
        if args.relay:
            relay = subprocess.Popen([sys.executable, os.path.join(HERE, "wall_relay.py"),
                                      "--listen", f"127.0.0.1:{relay_port}", "--to", f"127.0.0.1:{wall_port}",
                                      "--delay", str(args.delay), "--jitter", str(args.jitter),
                                      "--loss", str(args.loss), "--seed", str(args.seed), "--realtime",
                                      "--stats", os.path.join(args.out, "relay.json")],
                                     stdout=open(os.path.join(args.out, "relay.log"), "w"), stderr=subprocess.STDOUT)
            time.sleep(0.5)
        names = ["lead"] + [f"follow{i + 1}" for i in range(args.followers)]
        for name in names:
            x, display = start_xvfb(args.screen)
            procs.append(x)
            if name == "lead":
                wall = ["--wall-lead", f"127.0.0.1:{wall_port}"]
            else:
                wall = ["--wall-follow", f"127.0.0.1:{relay_port if args.relay else wall_port}"]
            boards.append(Board(name, args.out, display, wall, free_port((socket.SOCK_STREAM,)), args))
        lead, followers = boards[0], boards[1:]

        t0 = now_us()
        events["start_us"] = t0
        lead.start()
        late = followers[0] if followers and args.late_join else None
        for b in followers:
            if b is not late:
                b.start()
        loss_at, loss_for = args.leader_loss or (None, None)
        flood_at, flood_for = args.flood or (None, None)
        flooder = None
        next_cut = args.cut_every
        next_load = next_status = 0.0
        while True:
            t = (now_us() - t0) / 1e6
            if t >= args.seconds:
                break
            if late and not late.runs and t >= args.late_join:
                late.start()
                events["late_join_us"] = late.runs[0][1]
                print(f"[{t:7.1f}s] {late.name} started (late join)", flush=True)
            if loss_at is not None and t >= loss_at and "leader_lost_us" not in events:
                lead.stop(signal.SIGKILL)
                events["leader_lost_us"] = lead.runs[-1][2]
                print(f"[{t:7.1f}s] leader killed", flush=True)
            if loss_at is not None and t >= loss_at + loss_for and "leader_back_us" not in events:
                lead.start()
                events["leader_back_us"] = lead.runs[-1][1]
                print(f"[{t:7.1f}s] leader started again", flush=True)
            if flood_at is not None and t >= flood_at and flooder is None:
                flooder = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--flood-port", str(wall_port),
                                            "--seconds", str(flood_for)])
                events["flood_us"] = [now_us(), now_us() + int(flood_for * 1e6)]
                print(f"[{t:7.1f}s] flooding the plan port for {flood_for:.0f} s", flush=True)
            if args.bad_plan_at and relay and t >= args.bad_plan_at and "bad_plan_us" not in events:
                relay.send_signal(signal.SIGUSR1)
                events["bad_plan_us"] = now_us()
                print(f"[{t:7.1f}s] a plan line out of bounds slipped to the followers", flush=True)
            if args.cut_every and t >= next_cut:
                next_cut += args.cut_every
                if lead.proc and lead.proc.poll() is None:
                    at = now_us()
                    if str(lead.post("next")).startswith("2"):
                        events["cuts_us"].append(at)
            if t >= next_load:
                next_load += 10
                events["load"].append([now_us(), loadavg()])
            if t >= next_status:
                next_status += 5
                events["status"].append([now_us(), {b.name: b.status() for b in boards}])
                for b in boards:
                    if b.proc and b.proc.poll() is not None and b.proc.returncode != -signal.SIGKILL:
                        print(f"[{t:7.1f}s] {b.name}'s manager ended with {b.proc.returncode}", flush=True)
            if int(t) % 60 == 0 and t - int(t) < 0.25:
                print(f"[{t:7.1f}s] load {loadavg():.2f}", flush=True)
            time.sleep(0.2)
    finally:
        if flooder:
            flooder.wait()
        for b in boards[::-1]:
            b.stop()
        if relay:
            relay.send_signal(signal.SIGTERM)
            relay.wait(timeout=10)
        for x in procs:
            x.terminate()
            x.wait()
        events["end_us"] = now_us()
        events["boards"] = {b.name: b.runs for b in boards}
        with open(os.path.join(args.out, "run.json"), "w") as f:
            json.dump(events, f)


def playlist_files(args):
    if args.playlist:
        if os.path.isdir(args.playlist):
            return sorted(os.path.join(args.playlist, n) for n in os.listdir(args.playlist) if n.endswith(".mp4"))
        return [l.strip() for l in open(args.playlist) if l.strip() and not l.startswith("#")]
    clips = os.path.join(args.build, "clips")
    return [os.path.join(clips, n + ".mp4") for n in ("red", "green", "blue", "yellow", "white")]


# ---------------------------------------------------------------- analysis


class Trace:
    """One screen's pictures, in the order drawn: mono (us), clock, due, pts, begun (ns)."""

    def __init__(self, name, paths):
        self.name = name
        rows = []
        for n, path in enumerate(paths):  # one file for each start of the board's manager
            try:
                for line in open(path):
                    f = line.split()
                    if len(f) not in (5, 6):
                        continue
                    mono, clock, _, due, pts = (int(x) for x in f[:5])
                    begun = int(f[5]) if len(f) == 6 and int(f[5]) != NONE else None
                    # Before the clock and the base time were there, a picture has no place on the wall.
                    if clock == NONE or due == NONE or due == 0:
                        continue
                    rows.append((mono, clock, due, pts, n, begun))
            except OSError:
                pass
        rows.sort()
        self.mono = [r[0] for r in rows]
        self.clock = [r[1] for r in rows]
        self.due = [r[2] for r in rows]
        self.pts = [r[3] for r in rows]
        self.run = [r[4] for r in rows]
        self.begun = [r[5] for r in rows]
        self.by_due = {}
        for i, d in enumerate(self.due):
            self.by_due.setdefault(d // MS, []).append(i)
        # A change of file: the picture's time in its file does not go on with the clock's (a start of the
        # board's manager is none).
        self.changes = [i for i in range(1, len(rows)) if self.run[i] == self.run[i - 1] and
                        abs((self.pts[i] - self.pts[i - 1]) - (self.due[i] - self.due[i - 1])) > TOLERANCE_NS]

    def find(self, due, pts):
        """The index of the same picture (DUE and PTS within a millisecond), or None."""
        for key in (due // MS - 1, due // MS, due // MS + 1):
            for i in self.by_due.get(key, ()):
                if abs(self.due[i] - due) <= TOLERANCE_NS and abs(self.pts[i] - pts) <= TOLERANCE_NS:
                    return i
        return None

    def late_us(self, i):
        """Drawn when, against when it was due (a constant apart from the true lateness: the same on every board)."""
        return self.mono[i] - self.due[i] // 1000

    def clock_error_ns(self, i):
        """The board's wall clock less the true time, plus a constant common to every board."""
        return self.clock[i] - self.mono[i] * 1000

    def drawn_late_ms(self, i):
        """How long after its due time on its own clock the picture was drawn (the wall's latency included)."""
        return (self.clock[i] - self.due[i]) / MS

    def running_at(self, mono_us, margin_us=1_000_000):
        j = bisect.bisect_left(self.mono, mono_us - margin_us)
        return j < len(self.mono) and self.mono[j] <= mono_us + margin_us


def pct(values, q):
    if not values:
        return None
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q * (len(s) - 1))))]


def summary(values):
    """median (signed), then median, p90, p99, max of the magnitude."""
    if not values:
        return {"n": 0}
    mags = [abs(v) for v in values]
    return {"n": len(values), "median": statistics.median(values), "abs_median": statistics.median(mags),
            "p90": pct(mags, 0.90), "p99": pct(mags, 0.99), "max": max(mags)}


def pair_offsets(a, b):
    """For every picture both drew (same DUE, same PTS): b's draw less a's, in ms, with its true time."""
    out = []
    for j in range(len(b.due)):
        i = a.find(b.due[j], b.pts[j])
        if i is not None:
            out.append((b.mono[j], (b.mono[j] - a.mono[i]) / 1000.0,
                        (b.clock_error_ns(j) - a.clock_error_ns(i)) / 1e6,
                        max(a.drawn_late_ms(i), b.drawn_late_ms(j))))
    return out


def file_lengths(files):
    lengths = set()
    for f in files:
        try:
            out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", f],
                                 capture_output=True, text=True, timeout=30).stdout.strip()
            lengths.add(round(float(out) * 1e9))
        except (OSError, ValueError, subprocess.TimeoutExpired):
            pass
    return lengths


def change_kind(t, i, lengths):
    """'end' (the old file ran to its end), 'cut' (mid-file) or 'join' (the new one starts mid-file)."""
    if t.pts[i] >= 200 * MS:
        return "join"
    old_start = t.due[i - 1] - t.pts[i - 1]
    if any(abs(t.due[i] - (old_start + n)) <= TOLERANCE_NS for n in lengths):
        return "end"
    return "cut"


def change_step(t, i):
    """How the pictures go on at a change: 'clean', 'twice' or 'skipped', and the DUE step in ms.
    At a cut the old file's last picture is due less than a frame before the new one's first."""
    step = t.due[i] - t.due[i - 1]
    if step <= 0:
        return "twice", step / MS
    if step > FRAME_NS + TOLERANCE_NS:
        return "skipped", step / MS
    if t.pts[i] != 0 and t.pts[i] < 200 * MS:
        return "first skipped", step / MS
    return "clean", step / MS


def compare_changes(a, b, lengths, since_us=0):
    """Every change of file on a, and b's first picture of the same file: b's lateness against a's, each
    put against its own DUE (a picture b dropped counts by the next it drew)."""
    matched, unmatched = [], []
    for i in a.changes:
        if a.mono[i] < since_us:
            continue
        d0, p0 = a.due[i], a.pts[i]
        hit = None
        for key in range(d0 // MS - 1, d0 // MS + 201):
            for j in b.by_due.get(key, ()):
                if b.due[j] >= d0 - TOLERANCE_NS and abs((b.pts[j] - p0) - (b.due[j] - d0)) <= TOLERANCE_NS:
                    if hit is None or b.due[j] < b.due[hit]:
                        hit = j
            if hit is not None:
                break
        if hit is None:
            if b.running_at(a.mono[i]):
                unmatched.append(i)
            continue
        gap = (b.late_us(hit) - a.late_us(i)) / 1000.0
        matched.append({"i": i, "j": hit, "mono_us": a.mono[i], "gap_ms": gap,
                        "same_first": abs(b.due[hit] - d0) <= TOLERANCE_NS,
                        "kind": change_kind(a, i, lengths)})
    return matched, unmatched


def drops(t):
    """Pictures never drawn: DUE steps of more than a frame within a file."""
    missing, worst = 0, 0
    changes = set(t.changes)
    for i in range(1, len(t.due)):
        if i in changes or t.run[i] != t.run[i - 1]:
            continue
        step = t.due[i] - t.due[i - 1]
        if step > FRAME_NS + TOLERANCE_NS:
            n = round(step / FRAME_NS) - 1
            missing += n
            worst = max(worst, n)
    span = (t.due[-1] - t.due[0]) / FRAME_NS + 1 if t.due else 0
    return {"drawn": len(t.due), "missing": missing, "worst_run": worst,
            "missing_pct": 100.0 * missing / span if span else 0.0}


def clock_steps(t, t0, least_ms=20):
    """Where the board's wall clock jumped against the true time between two pictures (its real-time
    clock, which the leader serves, stepped), and how fast it ran against it overall (ppm)."""
    steps = []
    for i in range(1, len(t.mono)):
        if t.run[i] != t.run[i - 1]:
            continue
        jump = (t.clock_error_ns(i) - t.clock_error_ns(i - 1)) / 1e6
        if abs(jump) >= least_ms:
            steps.append({"t_s": round((t.mono[i] - t0) / 1e6, 2), "jump_ms": round(jump, 1)})
    span = (t.mono[-1] - t.mono[0]) * 1000 if t.mono else 0
    rate = (t.clock_error_ns(len(t.mono) - 1) - t.clock_error_ns(0)) / span * 1e6 if span else 0.0
    return {"steps": steps, "ppm": round(rate, 1)}


def first_in_step(a, b, after_us, changes=None):
    """b's first picture after `after_us` drawn within IN_STEP_MS of a's same picture, and b's first change
    of file matched with a's within IN_STEP_MS."""
    pic = None
    j0 = bisect.bisect_left(b.mono, after_us)
    for j in range(j0, len(b.mono)):
        i = a.find(b.due[j], b.pts[j])
        if i is not None and abs(b.mono[j] - a.mono[i]) <= IN_STEP_MS * 1000:
            pic = j
            break
    chg = None
    for c in changes or []:
        if c["mono_us"] >= after_us and abs(c["gap_ms"]) <= IN_STEP_MS:
            chg = c
            break
    return pic, chg


def gaps_between(t, from_us, to_us):
    """b's largest steps between pictures drawn in a window: DUE step (ms), drawn step (ms), and steps over a
    frame, changes of file aside when clean."""
    j0 = bisect.bisect_left(t.mono, from_us)
    j1 = bisect.bisect_right(t.mono, to_us)
    worst_due = worst_drawn = 0.0
    over = []
    for j in range(max(1, j0), j1):
        step = (t.due[j] - t.due[j - 1]) / MS
        drawn = (t.mono[j] - t.mono[j - 1]) / 1000.0
        worst_due = max(worst_due, step)
        worst_drawn = max(worst_drawn, drawn)
        if step > 40 + TOLERANCE_NS / MS or step <= 0:
            over.append({"mono_us": t.mono[j], "due_step_ms": step, "drawn_step_ms": drawn,
                         "pts_ms": (t.pts[j - 1] / MS, t.pts[j] / MS)})
    return {"pictures": max(0, j1 - j0), "worst_due_step_ms": worst_due, "worst_drawn_step_ms": worst_drawn,
            "over_a_frame": over}


def analyse(out, settle_s):
    with open(os.path.join(out, "run.json")) as f:
        run_info = json.load(f)
    settle_us = settle_s * 1_000_000
    lengths = file_lengths(run_info["files"])
    t0 = run_info["start_us"]
    traces = {name: Trace(name, [os.path.join(out, r[0]) for r in runs]) for name, runs in run_info["boards"].items()}
    lead = traces["lead"]
    followers = [traces[n] for n in sorted(traces) if n != "lead"]
    rep = {"run": {k: run_info["args"].get(k) for k in ("seconds", "followers", "sound", "relay", "delay", "jitter",
                                                         "loss", "cut_every", "late_join", "leader_loss", "latency",
                                                         "screen", "flood", "bad_plan_at")},
           "settle_s": settle_s,
           "cuts_posted": len(run_info["cuts_us"]), "start_us": t0}
    loads = [l for _, l in run_info["load"]]
    rep["load"] = {"min": min(loads), "median": statistics.median(loads), "max": max(loads)} if loads else {}

    # Each board's own drawing: how late after DUE + latency, and pictures missing.
    latency_ms = run_info["args"]["latency"]
    rep["screens"] = {}
    for t in [lead] + followers:
        late = [(t.clock[i] - t.due[i]) / MS - latency_ms for i in range(len(t.due))]
        # The first picture of each file against the rest: what a change costs the board's own drawing.
        firsts = set(t.changes)
        rep["screens"][t.name] = {"drawn_after_due_plus_latency_ms": summary(late), **drops(t),
                                  "changes": len(t.changes),
                                  "first_pictures_drawn_after_due_plus_latency_ms":
                                      summary([late[i] for i in firsts if i < len(late)]),
                                  "other_pictures_drawn_after_due_plus_latency_ms":
                                      summary([late[i] for i in range(len(late)) if i not in firsts])}
        # How long the draw itself took (its swap included), where the trace says when it began.
        draw = [(t.clock[i] - t.begun[i]) / MS if t.begun[i] is not None else None for i in range(len(t.due))]
        if any(d is not None for d in draw):
            rep["screens"][t.name]["first_pictures_draw_ms"] = summary(
                [draw[i] for i in firsts if i < len(draw) and draw[i] is not None])
            rep["screens"][t.name]["other_pictures_draw_ms"] = summary(
                [draw[i] for i in range(len(draw)) if i not in firsts and draw[i] is not None])
        steps = {"clean": 0, "twice": 0, "skipped": 0, "first skipped": 0}
        odd = []
        for i in t.changes:
            if change_kind(t, i, lengths) == "join":
                continue
            kind, step = change_step(t, i)
            steps[kind] += 1
            if kind != "clean":
                odd.append({"mono_us": t.mono[i], "t_s": (t.mono[i] - t0) / 1e6, "kind": kind, "due_step_ms": step,
                            "new_pts_ms": t.pts[i] / MS, "old_pts_ms": t.pts[i - 1] / MS})
        rep["screens"][t.name]["at_changes"] = steps
        rep["screens"][t.name]["odd_changes"] = odd

    rep["wall_clock"] = clock_steps(lead, t0)

    # The network clock, as the followers' managers see it.
    rtts = [s[n]["clock"]["rtt_ms"] for _, s in run_info["status"] for n in s
            if n != "lead" and s[n] and s[n]["clock"]["synced"]]
    rep["clock_rtt_ms"] = {"median": statistics.median(rtts), "max": max(rtts)} if rtts else {}
    in_step = [bool(s[n]["in_step"]) for _, s in run_info["status"] for n in s if n != "lead" and s[n]]
    rep["status_in_step"] = f"{sum(in_step)}/{len(in_step)}"
    if "flood_us" in run_info:
        a, b = run_info["flood_us"]
        during = [s for at, s in run_info["status"] if a <= at <= b]
        rep["flood"] = {
            "followers_in_step": f"{sum(bool(x[n] and x[n]['in_step']) for x in during for n in x if n != 'lead')}/"
                                 f"{sum(1 for x in during for n in x if n != 'lead')}",
            "leader_counts_followers": sorted({x['lead']['followers'] for x in during if x.get('lead')})}
    # What the managers said: placements refused (each a change out of step), plans refused.
    said = {"placements refused": "would not place the switch", "plans refused": "the wall's plan is refused",
            "connections turned away": "did not prove the wall's token"}
    rep["said"] = {k: 0 for k in said}
    for name, runs in run_info["boards"].items():
        for r in runs:
            log = os.path.join(out, r[0].replace(".trace", ".log.out"))
            try:
                for line in open(log, errors="replace"):
                    for k, text in said.items():
                        rep["said"][k] += text in line
            except OSError:
                pass

    rep["pairs"] = {}
    screens = [lead] + followers
    for x in range(len(screens)):
        for y in range(x + 1, len(screens)):
            a, b = screens[x], screens[y]
            pairs = pair_offsets(a, b)
            offs = [p[1] for p in pairs]
            clocks = [p[2] for p in pairs]
            settled = [p for p in pairs if p[0] - t0 >= settle_us]
            entry = {"offset_ms": summary(offs), "clock_disagreement_ms": summary(clocks),
                     "settled_offset_ms": summary([p[1] for p in settled]),
                     "settled_clock_disagreement_ms": summary([p[2] for p in settled]),
                     "settled_over_a_frame": sum(1 for p in settled if abs(p[1]) > 40),
                     # Of those, how many one board drew a frame or more late on its own clock: its drawing,
                     # not the clocks, put them apart.
                     "settled_over_a_frame_drawn_late": sum(1 for p in settled if abs(p[1]) > 40 and
                                                            p[3] - latency_ms >= 40),
                     "over_a_frame": sum(1 for o in offs if abs(o) > 40),
                     "over_1ms": sum(1 for o in offs if abs(o) > 1)}
            slices = []
            for k in range(0, int(run_info["args"]["seconds"]) + SLICE_S, SLICE_S):
                part = [p for p in pairs if k * 1e6 <= p[0] - t0 < (k + SLICE_S) * 1e6]
                if not part:
                    continue
                sl = [l for at, l in run_info["load"] if k * 1e6 <= at - t0 < (k + SLICE_S) * 1e6]
                slices.append({"from_s": k, "offset_ms": summary([p[1] for p in part]),
                               "clock_disagreement_ms": summary([p[2] for p in part]),
                               "load": statistics.median(sl) if sl else None})
            entry["slices"] = slices
            worst = sorted(pairs, key=lambda p: -abs(p[1]))[:5]
            entry["worst"] = [{"t_s": (p[0] - t0) / 1e6, "offset_ms": p[1], "clock_ms": p[2]} for p in worst]
            matched, unmatched = compare_changes(a, b, lengths)
            entry["settled_changes_gap_ms"] = summary([c["gap_ms"] for c in matched
                                                       if c["mono_us"] - t0 >= settle_us])
            kinds = {}
            for c in matched:
                kinds.setdefault(c["kind"], []).append(c["gap_ms"])
            entry["changes"] = {"matched": len(matched), "unmatched": len(unmatched),
                                "gap_ms": summary([c["gap_ms"] for c in matched]),
                                "by_kind": {k: summary(v) for k, v in kinds.items()},
                                "first_picture_not_drawn": sum(1 for c in matched if not c["same_first"]),
                                "worst": sorted(({"t_s": (c["mono_us"] - t0) / 1e6, "gap_ms": c["gap_ms"],
                                                  "kind": c["kind"]} for c in matched),
                                                key=lambda c: -abs(c["gap_ms"]))[:5],
                                "unmatched_at_s": [(a.mono[i] - t0) / 1e6 for i in unmatched][:20]}
            rep["pairs"][f"{a.name}-{b.name}"] = entry

    if followers and run_info.get("late_join_us"):
        f = followers[0]
        start = run_info["late_join_us"]
        matched, _ = compare_changes(lead, f, lengths, since_us=start)
        pic, chg = first_in_step(lead, f, start, matched)
        rep["late_join"] = {
            "first_picture_in_step_s": (f.mono[pic] - start) / 1e6 if pic is not None else None,
            "its_offset_ms": (f.mono[pic] - lead.mono[lead.find(f.due[pic], f.pts[pic])]) / 1000.0
            if pic is not None else None,
            "first_change_in_step_s": (chg["mono_us"] - start) / 1e6 if chg else None,
            "first_picture_s": (f.mono[bisect.bisect_left(f.mono, start)] - start) / 1e6
            if bisect.bisect_left(f.mono, start) < len(f.mono) else None}

    if followers and run_info.get("leader_lost_us"):
        lost, back = run_info["leader_lost_us"], run_info.get("leader_back_us")
        second = Trace("lead-2", [os.path.join(out, r[0]) for r in run_info["boards"]["lead"][1:]])
        rep["leader_loss"] = {"gone_s": (back - lost) / 1e6 if back else None}
        for f in followers:
            entry = {}
            if back:
                matched, _ = compare_changes(second, f, lengths, since_us=back)
                pic, chg = first_in_step(second, f, back, matched)
                entry["first_picture_in_step_after_return_s"] = (f.mono[pic] - back) / 1e6 if pic is not None else None
                entry["first_change_in_step_after_return_s"] = (chg["mono_us"] - back) / 1e6 if chg else None
                end = f.mono[pic] + 2_000_000 if pic is not None else run_info["end_us"]
            else:
                end = run_info["end_us"]
            entry["while_gone_and_until_in_step"] = gaps_between(f, lost, end)
            first_lead = second.mono[0] if second.mono else None
            entry["leader_first_picture_after_return_s"] = (first_lead - back) / 1e6 if first_lead and back else None
            rep["leader_loss"][f.name] = entry

    if os.path.exists(os.path.join(out, "relay.json")):
        with open(os.path.join(out, "relay.json")) as f:
            rep["relay"] = json.load(f)
    return rep


def fmt(s, unit="ms"):
    if not s or not s.get("n"):
        return "-"
    return (f"median {s['median']:+.3f} (|median| {s['abs_median']:.3f}), p90 {s['p90']:.3f}, "
            f"p99 {s['p99']:.3f}, max {s['max']:.3f} {unit} (n {s['n']})")


def print_report(rep):
    r = rep["run"]
    t0 = rep["start_us"]
    print(f"run: {r['seconds']} s, {r['followers']} follower(s), {'sound' if r['sound'] else 'no sound'}, "
          + (f"relay {r['delay']} +- {r['jitter']} ms, loss {r['loss']:.1%}" if r["relay"] else "no relay")
          + (f", a cut every {r['cut_every']} s ({rep['cuts_posted']} posted)" if r["cut_every"] else "")
          + f", latency {r['latency']} ms")
    if rep["load"]:
        print(f"load average (1 min): min {rep['load']['min']:.2f}, median {rep['load']['median']:.2f}, "
              f"max {rep['load']['max']:.2f}")
    if rep["clock_rtt_ms"]:
        print(f"followers' clock round trip (manager's): median {rep['clock_rtt_ms']['median']:.3f} ms, "
              f"max {rep['clock_rtt_ms']['max']:.3f} ms; /status in_step {rep['status_in_step']}")
    wc = rep["wall_clock"]
    print(f"the wall's clock (the leader's real-time clock) against the true time: {wc['ppm']:+.1f} ppm overall"
          + (f"; stepped {len(wc['steps'])} times: "
             + ", ".join(f"{x['jump_ms']:+.0f} ms at {x['t_s']:.1f} s" for x in wc["steps"][:8])
             if wc["steps"] else "; no step"))
    for name, s in rep["screens"].items():
        print(f"\n{name}: {s['drawn']} pictures drawn, {s['missing']} missing ({s['missing_pct']:.2f} %, "
              f"longest run {s['worst_run']}), {s['changes']} changes of file")
        print(f"  drawn after DUE + latency: {fmt(s['drawn_after_due_plus_latency_ms'])}")
        if s.get("first_pictures_drawn_after_due_plus_latency_ms"):
            print(f"    a file's first picture: {fmt(s['first_pictures_drawn_after_due_plus_latency_ms'])}")
            print(f"    the others:             {fmt(s['other_pictures_drawn_after_due_plus_latency_ms'])}")
        if s.get("first_pictures_draw_ms"):
            print(f"  the draw itself, a file's first picture: {fmt(s['first_pictures_draw_ms'])}")
            print(f"  the draw itself, the others:             {fmt(s['other_pictures_draw_ms'])}")
        print(f"  at changes (joins aside): {s['at_changes']}")
        for o in s["odd_changes"][:10]:
            print(f"    at {o['t_s']:.1f} s: {o['kind']}, DUE step {o['due_step_ms']:.3f} ms, "
                  f"old pts {o['old_pts_ms']:.0f} ms, new pts {o['new_pts_ms']:.0f} ms")
    for name, p in rep["pairs"].items():
        print(f"\n{name}: offset between screens (same picture, drawn b - a)")
        print(f"  all: {fmt(p['offset_ms'])}; over 1 ms: {p['over_1ms']}, over a frame: {p['over_a_frame']}")
        print(f"  clocks' disagreement at the draws: {fmt(p['clock_disagreement_ms'])}")
        print(f"  from {rep['settle_s']} s on: {fmt(p['settled_offset_ms'])}; over a frame: "
              f"{p['settled_over_a_frame']} ({p['settled_over_a_frame_drawn_late']} drawn a frame or more late "
              f"on one board's own clock)")
        print(f"  from {rep['settle_s']} s on, clocks: {fmt(p['settled_clock_disagreement_ms'])}")
        print(f"  from {rep['settle_s']} s on, changes of file: {fmt(p['settled_changes_gap_ms'])}")
        for sl in p["slices"]:
            o = sl["offset_ms"]
            c = sl["clock_disagreement_ms"]
            print(f"  {sl['from_s']:5d} s: median {o['median']:+.3f}, p99 {o['p99']:.3f}, max {o['max']:.3f} ms "
                  f"(n {o['n']}); clocks {c['median']:+.3f} ms; load {sl['load']}")
        for w in p["worst"][:3]:
            print(f"  worst at {w['t_s']:.1f} s: {w['offset_ms']:+.3f} ms (clocks {w['clock_ms']:+.3f} ms)")
        c = p["changes"]
        print(f"  changes of file: {c['matched']} matched, {c['unmatched']} unmatched; first pictures: "
              f"{fmt(c['gap_ms'])}; {c['first_picture_not_drawn']} where b's first picture was not drawn")
        for k, v in c["by_kind"].items():
            print(f"    {k}: {fmt(v)}")
        for w in c["worst"][:3]:
            print(f"    worst at {w['t_s']:.1f} s ({w['kind']}): {w['gap_ms']:+.3f} ms")
        if c["unmatched_at_s"]:
            print(f"    unmatched at: {', '.join(f'{x:.1f}' for x in c['unmatched_at_s'])} s")
    if "late_join" in rep:
        print(f"\nlate join: {rep['late_join']}")
    if "leader_loss" in rep:
        print(f"\nleader loss: gone {rep['leader_loss']['gone_s']} s")
        for name, e in rep["leader_loss"].items():
            if name == "gone_s":
                continue
            g = e["while_gone_and_until_in_step"]
            print(f"  {name}: leader's first picture {e.get('leader_first_picture_after_return_s')} s after its "
                  f"return; follower in step after {e.get('first_picture_in_step_after_return_s')} s (picture), "
                  f"{e.get('first_change_in_step_after_return_s')} s (change of file)")
            print(f"    from the loss to in step: {g['pictures']} pictures, largest DUE step "
                  f"{g['worst_due_step_ms']:.3f} ms, largest drawn step {g['worst_drawn_step_ms']:.3f} ms, "
                  f"{len(g['over_a_frame'])} steps not of one frame")
            for o in g["over_a_frame"][:10]:
                print(f"      at {(o['mono_us'] - t0) / 1e6:.2f} s: DUE step {o['due_step_ms']:.1f} ms, drawn "
                      f"{o['drawn_step_ms']:.1f} ms after the one before, pts {o['pts_ms'][0]:.0f} -> "
                      f"{o['pts_ms'][1]:.0f} ms")
    if "relay" in rep:
        print(f"\nrelay: {rep['relay']}")
    if "flood" in rep:
        print(f"\nflood of the plan port: {rep['flood']}")
    print(f"\nthe managers said: {rep.get('said')}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build"), help="the build directory (build/)")
    p.add_argument("--seconds", type=float, default=600)
    p.add_argument("--followers", type=int, default=1, choices=(0, 1, 2))
    p.add_argument("--sound", action="store_true", help="play the files' sound (default: --no-sound)")
    p.add_argument("--playlist", help="a directory or a list file (default: the build's 4 s colour clips)")
    p.add_argument("--latency", type=int, default=300, help="the wall's latency, ms (300)")
    p.add_argument("--cut-every", type=float, default=0, help="POST /next to the leader every S seconds")
    p.add_argument("--relay", action="store_true", help="the followers reach the leader through wall_relay.py")
    p.add_argument("--delay", type=float, default=20)
    p.add_argument("--jitter", type=float, default=5)
    p.add_argument("--loss", type=float, default=0.01)
    p.add_argument("--seed", type=int, default=31)
    p.add_argument("--late-join", type=float, default=0, help="start the (first) follower S seconds late")
    p.add_argument("--leader-loss", type=lambda s: tuple(float(x) for x in s.split(":")),
                   help="AT:FOR: kill the leader AT seconds in, start it again FOR seconds later")
    p.add_argument("--screen", default="1280x720", help="each board's screen, WxH (1280x720)")
    p.add_argument("--flood", type=lambda s: tuple(float(x) for x in s.split(":")),
                   help="START:SECONDS: silent connections to the plan port from 38 addresses, opened again as "
                        "the leader closes them")
    p.add_argument("--bad-plan-at", type=float, default=0,
                   help="with --relay: at S seconds the relay gives the followers a plan line out of bounds")
    p.add_argument("--flood-port", type=int, help=argparse.SUPPRESS)
    p.add_argument("--manager-arg", action="append", default=[],
                   help="one more argument for every board's manager, in turn (--manager-arg=--picture-size --manager-arg=320x180)")
    p.add_argument("--out", help="where the traces, logs and report go")
    p.add_argument("--analyse", metavar="DIR", help="only report on a run's files")
    p.add_argument("--settle", type=float, default=60,
                   help="figures again from this many seconds into the run on (60): the clocks settle first")
    args = p.parse_args()
    if args.flood_port:
        flood(args.flood_port, args.seconds)
        return
    if args.analyse:
        out = args.analyse
    else:
        args.out = args.out or f"/tmp/wall_sync-{time.strftime('%Y%m%d-%H%M%S')}"
        out = args.out
        run(args)
    rep = analyse(out, args.settle)
    with open(os.path.join(out, "report.json"), "w") as f:
        json.dump(rep, f, indent=1)
    print_report(rep)


if __name__ == "__main__":
    main()
