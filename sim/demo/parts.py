"""The cabinet's processes: started with their output read line by line into one queue, reaped
by the cabinet's init (this process is process 1 of its PID namespace, so orphans come here too).
"""

import collections
import os
import queue
import signal
import subprocess
import threading
import time


class Part:
    """One program of the cabinet. `essential` parts end the demo when they end; with `input`
    its standard input is a pipe that `send` writes to."""

    def __init__(self, name, argv, events, essential=True, cwd=None, env=None, input=False):
        self.name = name
        self.argv = argv
        self.essential = essential
        self.status = None          # exit status once reaped: code, or 128 + signal
        self.stderr_tail = collections.deque(maxlen=20)
        self.stopping = False
        self.process = subprocess.Popen(
            argv, stdin=subprocess.PIPE if input else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            cwd=cwd, env=env, start_new_session=True)
        self.pid = self.process.pid
        self._readers = [
            threading.Thread(target=self._read, args=(self.process.stdout, "out", events),
                             daemon=True),
            threading.Thread(target=self._read, args=(self.process.stderr, "err", events),
                             daemon=True),
        ]
        for reader in self._readers:
            reader.start()

    def _read(self, stream, which, events):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            if which == "err":
                self.stderr_tail.append(line)
            events.put((self, which, line))
        stream.close()

    def running(self):
        return self.status is None

    def send(self, line):
        """Writes one line to the part's input; False when the part no longer reads it."""
        try:
            self.process.stdin.write(line.encode() + b"\n")
            self.process.stdin.flush()
            return True
        except (OSError, ValueError):
            return False

    def finished(self, raw_status):
        self.status = (os.WEXITSTATUS(raw_status) if os.WIFEXITED(raw_status)
                       else 128 + os.WTERMSIG(raw_status))
        self.process.returncode = self.status  # keeps subprocess from waiting on it again

    def signal(self, number):
        if self.running():
            try:
                os.killpg(self.pid, number)
            except ProcessLookupError:
                pass

    def drain(self, limit=1.0):
        """Waits (bounded) until both output streams are read to their end."""
        for reader in self._readers:
            reader.join(limit)

    def describe_end(self):
        if self.status is None:
            return "%s is running" % self.name
        if self.status > 128:
            text = "%s was killed by signal %d" % (self.name, self.status - 128)
        else:
            text = "%s exited with status %d" % (self.name, self.status)
        tail = [line for line in self.stderr_tail if line.strip()][-3:]
        return text + ("" if not tail else ": " + " / ".join(tail))


class Parts:
    def __init__(self):
        self.events = queue.Queue()
        self.all = []
        self.by_pid = {}

    def start(self, name, argv, essential=True, **options):
        part = Part(name, argv, self.events, essential, **options)
        self.all.append(part)
        self.by_pid[part.pid] = part
        return part

    def reap(self):
        """Collects every ended child (ours or orphaned); returns the parts that ended."""
        ended = []
        while True:
            try:
                pid, raw = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return ended
            if pid == 0:
                return ended
            part = self.by_pid.pop(pid, None)
            if part is not None:
                part.finished(raw)
                ended.append(part)

    def wait_for_line(self, part, text, limit, handle):
        """Hands queued lines to `handle` until `part` prints a line holding `text`."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            try:
                event = self.events.get(timeout=0.05)
            except queue.Empty:
                self.reap()
                if not part.running():
                    return False
                continue
            handle(event)
            if event[0] is part and text in event[2]:
                return True
        return False

    def stop_all(self, grace=2.0):
        """SIGTERM to every part still running, SIGKILL after `grace` seconds, all reaped."""
        for part in reversed(self.all):
            part.stopping = True
            part.signal(signal.SIGTERM)
        deadline = time.monotonic() + grace
        while any(p.running() for p in self.all) and time.monotonic() < deadline:
            self.reap()
            time.sleep(0.02)
        for part in self.all:
            part.signal(signal.SIGKILL)
        while any(p.running() for p in self.all):
            self.reap()
            time.sleep(0.02)
