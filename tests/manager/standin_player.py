#!/usr/bin/env python3
"""A stand-in for the video player in the manager's tests.

It speaks the player's line protocol as a script tells it, and writes every
line it reads as a line of its own ("[STANDIN] < LINE"), so that a test reads
what the manager was told and what it did in one ordered stream.

Environment: STANDIN_SCRIPT names the script, STANDIN_DIR a directory for its
start counter and for files shared with the test. A libfaketime preloaded for
the manager is dropped: the stand-in runs on the real clock.

The script has sections "run N" (steps for the N-th start; "run 1, 2" for
several) and "run *" (any other start); '#' starts a comment line. Steps:
  say TEXT        write the line TEXT
  raw TEXT        write TEXT without a line feed: the start of a line
  event TEXT      write an event line (after what "raw" wrote of it) and wait
                  for its answer as the player does: three attempts a second
                  apart, then exit 1; an "exit" read first means the answer
                  can no longer be read, and also ends it with status 1
  await TEXT      take lines until one equals TEXT (a trailing * matches any
                  rest); exit 3 after 20 s
  peek TEXT       as await, but leave the line to be taken by a later await
  half-write      write half a file at the path the last awaited line names
                  after its first word, plus ".part", as a player ended while
                  writing a snapshot leaves it
  sleep S         sleep S seconds, reading nothing
  touch NAME      create STANDIN_DIR/NAME
  wait-file NAME  wait until STANDIN_DIR/NAME exists
  child           start a long-lived program in its own process group
  fds             write its open descriptors, "[STANDIN] fd N -> TARGET"
  exit N          end with status N
  signal N        end by signal N
After the last step it reads lines until "exit" or the end of its input. An
"exit" read at any step ends it with status 0.
"""
import os
import select
import signal
import subprocess
import sys
import time

AWAIT_TIMEOUT_S = 20
ACK_ATTEMPTS = 3
ACK_ATTEMPT_S = 1.0
ACKS = {
    "end of video!": "ack_end",
    "playing": "ack_playing",
    "Preload complete": "ack_preload_complete",
    "Preload error": "ack_preload_error",
    "stopped": "ack_stopped",
    "reset": "ack_reset",
    "crash": "ack_crash",
}


class StandIn:
    def __init__(self, directory):
        self.dir = directory
        self.buffer = b""
        self.eof = False
        self.partial = ""
        self.unused = []  # lines read but not yet taken by an await
        self.awaited = ""  # the line the last await took

    def write(self, text):
        sys.stdout.write(text)
        sys.stdout.flush()

    def say(self, line):
        self.write(line + "\n")

    def read_line(self, deadline):
        """The next input line, or None at the deadline or the end of input."""
        while True:
            nl = self.buffer.find(b"\n")
            if nl >= 0:
                line = self.buffer[:nl].decode("utf-8", "replace")
                self.buffer = self.buffer[nl + 1:]
                self.say("[STANDIN] < " + line)
                return line
            if self.eof:
                return None
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return None
            ready, _, _ = select.select([0], [], [], left)
            if not ready:
                continue
            chunk = os.read(0, 4096)
            if not chunk:
                self.eof = True
            self.buffer += chunk

    def finish(self, status):
        self.say("[STANDIN] exit %d" % status)
        sys.exit(status)

    def on_exit_command(self):
        self.finish(0)

    def event(self, text):
        ack = ACKS[text]
        rest = text[len(self.partial):] if text.startswith(self.partial) else text
        self.partial = ""
        for attempt in range(1, ACK_ATTEMPTS + 1):
            self.write(rest + "\n")
            rest = text
            deadline = time.monotonic() + ACK_ATTEMPT_S
            while True:
                line = self.read_line(deadline)
                if line is None:
                    break
                if line == ack:
                    return
                if line == "exit":
                    # Told to end before the answer came: the player stops
                    # reading and its delivery runs out of attempts.
                    self.say("[STANDIN] exit read while '%s' awaits its answer" % ack)
                    self.finish(1)
                if not line.startswith("ack_"):
                    self.unused.append(line)
            if attempt < ACK_ATTEMPTS:
                self.say("[ACK RETRY] No ACK for '%s' (attempt %d/%d)" % (ack, attempt, ACK_ATTEMPTS))
        self.say("[ACK ERROR] ❌ Failed to receive ACK '%s' after %d retries - TERMINATING!" % (ack, ACK_ATTEMPTS))
        self.finish(1)

    def await_line(self, want, keep=False):
        def matches(line):
            return line == want or (want.endswith("*") and line.startswith(want[:-1]))
        for i, line in enumerate(self.unused):
            if matches(line):
                if not keep:
                    del self.unused[i]
                self.awaited = line
                return
        deadline = time.monotonic() + AWAIT_TIMEOUT_S
        while True:
            line = self.read_line(deadline)
            if line is None:
                self.say("[STANDIN] gave up waiting for: " + want)
                self.finish(3)
            if line == "exit":
                self.on_exit_command()
            if matches(line):
                if keep:
                    self.unused.append(line)
                self.awaited = line
                return
            if not line.startswith("ack_"):
                self.unused.append(line)

    def step(self, word, arg):
        if word == "say":
            self.say(arg)
        elif word == "raw":
            self.write(arg)
            self.partial += arg
        elif word == "event":
            self.event(arg)
        elif word == "await":
            self.await_line(arg)
        elif word == "peek":
            self.await_line(arg, keep=True)
        elif word == "sleep":
            time.sleep(float(arg))
        elif word == "half-write":
            with open(self.awaited.partition(" ")[2] + ".part", "wb") as f:
                f.write(b"\x89PNG\r\n")
        elif word == "touch":
            open(os.path.join(self.dir, arg), "w").close()
        elif word == "wait-file":
            deadline = time.monotonic() + AWAIT_TIMEOUT_S
            while not os.path.exists(os.path.join(self.dir, arg)):
                if time.monotonic() > deadline:
                    self.say("[STANDIN] gave up waiting for the file " + arg)
                    self.finish(3)
                time.sleep(0.02)
        elif word == "child":
            child = subprocess.Popen(["sleep", "600"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            self.say("[STANDIN] child %d" % child.pid)
        elif word == "fds":
            for fd in sorted(int(n) for n in os.listdir("/proc/self/fd")):
                try:
                    self.say("[STANDIN] fd %d -> %s" % (fd, os.readlink("/proc/self/fd/%d" % fd)))
                except OSError:
                    pass
        elif word == "exit":
            self.finish(int(arg))
        elif word == "signal":
            self.say("[STANDIN] signal " + arg)
            os.kill(os.getpid(), int(arg))
            time.sleep(10)
        else:
            self.say("[STANDIN] unknown step: " + word)
            self.finish(4)


def steps_for(script_path, run):
    sections = {}
    current = None
    with open(script_path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line.startswith("run "):
                current = []
                for key in line[4:].replace(",", " ").split():
                    sections[key] = current
                continue
            word, _, arg = line.strip().partition(" ")
            current.append((word, arg))
    return sections.get(str(run), sections.get("*"))


def main():
    # A test may run the manager on a faked wall clock (libfaketime); the
    # stand-in keeps the real one, whose sleeps the library does not take.
    preload = os.environ.get("LD_PRELOAD", "")
    if "faketime" in preload:
        os.environ["LD_PRELOAD"] = " ".join(p for p in preload.split() if "faketime" not in p)
        os.execv(sys.executable, [sys.executable] + sys.argv)
    directory = os.environ["STANDIN_DIR"]
    counter = os.path.join(directory, "starts")
    with open(counter, "a") as f:
        f.write("%d\n" % os.getpid())
    with open(counter) as f:
        run = len(f.read().split())
    standin = StandIn(directory)
    standin.say("[STANDIN] run %d, pid %d, arguments: %s" % (run, os.getpid(), " ".join(sys.argv[1:])))
    steps = steps_for(os.environ["STANDIN_SCRIPT"], run)
    if steps is None:
        standin.say("[STANDIN] no steps for run %d" % run)
        standin.finish(4)
    for word, arg in steps:
        standin.step(word, arg)
    while True:
        line = standin.read_line(None)
        if line is None:
            standin.finish(0)
        if line == "exit":
            standin.on_exit_command()


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main()
