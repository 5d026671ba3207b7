#!/usr/bin/env python3
"""The unit's watchdog, without a running systemd: this script plays
systemd's part for a unit of Type=notify with WatchdogSec=. It runs the
manager with a notify socket of its own and checks that the manager says
READY=1 and pings WATCHDOG=1 at half the watchdog's time, from its own
process; that once its main loop hangs (here its standard output, where it
writes the player's lines, is no longer read, as a stuck journal would leave
it) the pings stop although its other threads still answer HTTP; and that,
killed with the watchdog's signal, it is started again and says READY=1.

   check_watchdog.py UNIT_FILE MANAGER PLAYER CLIPS_DIR
Runs under scripts/with-env.sh (a display for the player)."""
import fcntl
import os
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

unit_file, manager, player, clips = sys.argv[1:5]
WATCHDOG_S = 4.0  # shorter than the unit's, so that the test is short; the manager takes any
F_SETPIPE_SZ = 1031


def fail(why):
    print("FAIL: " + why, file=sys.stderr)
    sys.exit(1)


def setting(name):
    values = re.findall(r"^%s=(.*)$" % name, unit_text, re.M)
    return values[-1].strip() if values else None


unit_text = open(unit_file).read()
if setting("Type") != "notify":
    fail("the unit is not Type=notify")
if setting("NotifyAccess") not in (None, "main"):
    fail("the unit takes notifications from processes other than the manager")
if not setting("WatchdogSec"):
    fail("the unit has no WatchdogSec=")
if setting("Restart") != "always":
    fail("the unit does not restart the manager")
print("unit: Type=notify, WatchdogSec=%s, Restart=always" % setting("WatchdogSec"))

work = tempfile.mkdtemp(prefix="signage-watchdog-")
playlist = os.path.join(work, "playlist.txt")
with open(playlist, "w") as f:
    for name in ("red.mp4", "green.mp4", "blue.mp4"):
        f.write(os.path.join(clips, name) + "\n")

notify_path = os.path.join(work, "notify")
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind(notify_path)
notify.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
messages = []  # (time, sender pid, text)
messages_lock = threading.Lock()


def receive():
    creds_size = struct.calcsize("3i")
    while True:
        data, ancillary, _, _ = notify.recvmsg(4096, socket.CMSG_SPACE(creds_size))
        pid = -1
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                pid = struct.unpack("3i", value[:creds_size])[0]
        with messages_lock:
            messages.append((time.monotonic(), pid, data.decode(errors="replace")))


threading.Thread(target=receive, daemon=True).start()


def wait_message(text, since, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        with messages_lock:
            for m in messages:
                if m[0] >= since and m[2] == text:
                    return m
        time.sleep(0.05)
    return None


class Run:
    """One run of the manager as the service's ExecStart= would be."""

    def __init__(self):
        env = dict(os.environ, NOTIFY_SOCKET=notify_path, WATCHDOG_USEC=str(int(WATCHDOG_S * 1e6)))
        self.started = time.monotonic()
        # systemd names the process the watchdog is for: the manager itself.
        self.proc = subprocess.Popen(
            ["sh", "-c", 'WATCHDOG_PID=$$; export WATCHDOG_PID; exec "$@"', "sh", manager, "--player", player,
             "--no-sound", "--http", "127.0.0.1:0", playlist],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
        # A small pipe, so that a reader that stops leaves the manager's writes waiting soon.
        fcntl.fcntl(self.proc.stdout.fileno(), F_SETPIPE_SZ, 4096)
        self.reading = threading.Event()
        self.reading.set()
        self.lines = []
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        while True:
            self.reading.wait()
            line = self.proc.stdout.readline()
            if not line:
                return
            self.lines.append(line.decode(errors="replace").rstrip("\n"))

    def api(self):
        for line in self.lines:
            m = re.match(r"^\[manager\] HTTP API on (http://127\.0\.0\.1:\d+/)$", line)
            if m:
                return m.group(1)
        return None

    def dump(self):
        return "\n".join(self.lines[-40:])


def pings(pid, since):
    with messages_lock:
        return [m[0] for m in messages if m[0] >= since and m[1] == pid and m[2] == "WATCHDOG=1"]


try:
    run = Run()
    ready = wait_message("READY=1", run.started, 60)
    if not ready:
        fail("no READY=1 within 60 s\n" + run.dump())
    if ready[1] != run.proc.pid:
        fail("READY=1 came from pid %d, not the manager (%d)" % (ready[1], run.proc.pid))
    print("READY=1 %.1f s after the start" % (ready[0] - run.started))

    # Pings at half the watchdog's time, from the manager's own process.
    time.sleep(3 * WATCHDOG_S)
    seen = pings(run.proc.pid, ready[0])
    gaps = [b - a for a, b in zip(seen, seen[1:])]
    if len(seen) < 4 or max(gaps) > WATCHDOG_S * 0.75:
        fail("pings at %s over %.0f s" % (["%.2f" % (t - ready[0]) for t in seen], 3 * WATCHDOG_S))
    print("%d pings, %.2f to %.2f s apart" % (len(seen), min(gaps), max(gaps)))
    api = run.api()
    if not api:
        fail("no HTTP API line\n" + run.dump())

    # The main loop hangs on its output; the pings stop, the API's threads answer on.
    run.reading.clear()
    stopped_reading = time.monotonic()
    deadline = stopped_reading + 120
    hung_at = None
    while time.monotonic() < deadline:
        last = (pings(run.proc.pid, ready[0]) or [ready[0]])[-1]
        if time.monotonic() - last > WATCHDOG_S:
            hung_at = last
            break
        time.sleep(0.2)
    if hung_at is None:
        fail("the pings went on for 120 s with the manager's output unread")
    print("the last ping came %.1f s after its output was last read; none for %.0f s since" % (hung_at - stopped_reading, WATCHDOG_S))
    if run.proc.poll() is not None:
        fail("the manager ended instead of hanging")
    with urllib.request.urlopen(api + "status", timeout=5) as answer:
        if answer.status != 200:
            fail("GET /status answered %d while the main loop hangs" % answer.status)
    print("GET /status still answered while the main loop hung: a ping from another thread would go on")

    # systemd's part: the watchdog's signal (SIGABRT), then the unit's Restart=always.
    run.proc.send_signal(signal.SIGABRT)
    run.reading.set()
    try:
        status = run.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        fail("the manager outlived SIGABRT by 30 s")
    if status != -signal.SIGABRT:
        fail("the manager ended with %d, not by SIGABRT" % status)

    again = Run()
    if not wait_message("READY=1", again.started, 60):
        fail("the manager started again said no READY=1\n" + again.dump())
    again.proc.send_signal(signal.SIGTERM)
    if not wait_message("STOPPING=1", again.started, 30):
        fail("no STOPPING=1 after SIGTERM")
    status = again.proc.wait(timeout=40)
    if status != 0:
        fail("the manager stopped with status %d\n" % status + again.dump())
    print("PASS: started again, READY=1; SIGTERM: STOPPING=1 and status 0")
finally:
    for r in ("run", "again"):
        if r in globals() and globals()[r].proc.poll() is None:
            globals()[r].proc.kill()
    subprocess.run(["rm", "-rf", work])
