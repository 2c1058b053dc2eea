"""The simulated cabinet: the real callrelayd and paneld with simulated CID, stations, station
SNMP agents and display board, all inside private network, mount and PID namespaces."""

import argparse
import os
import queue
import random
import signal
import socket
import subprocess
import sys
import threading
import time

import model
import namespace
from parts import Parts

USAGE = """\
usage: sim/cabinet demo [--duration SECONDS] [--bin DIR] [--verbose]
       sim/cabinet exec PROGRAM [ARGUMENT...]
       sim/cabinet stop

demo   Starts the simulated cabinet inside private network, mount and PID namespaces: the CID
       simulator, eight stations with their SNMP agents, the display board simulator and the
       real callrelayd and paneld, with the sample configuration in /var/lib/vok/config.db.
       Nothing on the host's network or file system is touched; every process and mount ends
       with the demo.
       On a terminal (and without --duration) it shows the live view, where simulated
       pedestrians press a station's button every 2 to 4 seconds. Keys: 1-8 press that
       station's button (a pedestrian call), x then 1-8 take that station out of service
       (the CID reports it bad) or bring it back, r turn the simulated pedestrians off and
       on, p or space press the display's page button, c make every station ask for its
       configuration, q quit.
       Otherwise it runs a scripted scenario for --duration seconds (default 30), prints a
       summary and exits 0 only if every button press became a call at the CID.
exec   Runs PROGRAM inside the running cabinet, e.g.
         sim/cabinet exec sigstat --xml
         sim/cabinet exec stationtool 3 get vol_max
         sim/cabinet exec sigcmd ped 5
         sim/cabinet exec sh -c 'sigstat --binary | bsoncat'
       The cabinet's programs are found first on the PATH.
stop   Ends the running cabinet as its q key does.

--bin DIR   the built programs (default build/release/bin); the pid file of the running
            cabinet is DIR/../cabinet.pid.
Needs root, or unprivileged user namespaces and FUSE.
"""

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
DEFAULT_BIN = os.path.join(SOURCE, "build", "release", "bin")
PROGRAMS = ("callrelayd", "paneld", "stationtool", "sigstat", "sigcmd", "bsoncat")
SIMULATORS = ("cidsim", "stationsim", "boardsim")
STATION_AGENT = os.path.join(SOURCE, "sim", "snmp", "station-agent")
DATABASE = "/var/lib/vok/config.db"
GPIO_LINES = (70, 63)
DEFAULT_DURATION = 30


def configured_stations():
    """The active stations 1 to 16 of the configuration database: those the CID knows."""
    result = subprocess.run(["sqlite3", "-readonly", DATABASE,
                             "SELECT id FROM tbl_stations WHERE active = 1 AND id BETWEEN 1 AND 16;"],
                            capture_output=True, text=True, check=True)
    return sorted(int(n) for n in result.stdout.split())


def fail(text):
    print("cabinet: %s" % text, file=sys.stderr)
    return 1


def pid_file(bin_dir):
    return os.path.join(os.path.dirname(bin_dir), "cabinet.pid")


def run_dir(bin_dir):
    return os.path.join(os.path.dirname(bin_dir), "cabinet")


def running_cabinet(bin_dir):
    """Process id of the running cabinet's init, or None."""
    try:
        with open(pid_file(bin_dir)) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return None
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return None
    except PermissionError:
        pass
    return pid


def namespace_ids(pid):
    ids = set()
    for kind in ("net", "mnt", "pid"):
        try:
            ids.add(os.readlink("/proc/%d/ns/%s" % (pid, kind)))
        except OSError:
            pass
    return ids


def processes_in(ids):
    """Processes of the host that still live in any of the namespaces `ids`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        for kind in ("net", "mnt", "pid"):
            try:
                if os.readlink("/proc/%s/ns/%s" % (entry, kind)) in ids:
                    found.append(int(entry))
                    break
            except OSError:
                pass
    return found


# --- outside: start the namespaces, keep the pid file, check that all is gone afterwards ---

def missing_requirements(bin_dir):
    missing = [os.path.join(bin_dir, name) for name in PROGRAMS + SIMULATORS
               if not os.access(os.path.join(bin_dir, name), os.X_OK)]
    missing += [path for path in (STATION_AGENT, "/usr/sbin/snmpd")
                if not os.access(path, os.X_OK)]
    for tool in ("unshare", "nsenter", "mount", "ip", "sqlite3"):
        if not any(os.access(os.path.join(d, tool), os.X_OK)
                   for d in os.environ.get("PATH", "/usr/bin:/bin").split(":") + ["/usr/sbin",
                                                                                 "/sbin"]):
            missing.append(tool)
    return missing


def demo(options):
    bin_dir = options.bin
    missing = missing_requirements(bin_dir)
    if missing:
        return fail("missing: %s\n(`make demo` builds the release programs and installs the "
                    "Debian packages)" % " ".join(missing))
    if running_cabinet(bin_dir):
        return fail("a cabinet is already running (pid file %s); end it with "
                    "`sim/cabinet stop`" % pid_file(bin_dir))
    os.makedirs(run_dir(bin_dir), exist_ok=True)
    argv = ["unshare", "--net", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc",
            "--propagation", "private"]
    if os.geteuid() != 0:
        argv[1:1] = ["--user", "--map-root-user"]
    argv += [sys.executable, os.path.realpath(sys.argv[0]), "inside", "--bin", bin_dir]
    if options.duration is not None:
        argv += ["--duration", str(options.duration)]
    if options.verbose:
        argv += ["--verbose"]
    if options.interactive:
        argv += ["--interactive"]

    # The terminal's Ctrl-C reaches the cabinet's init directly; it ends the demo in order.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGQUIT, signal.SIG_IGN)
    launcher = subprocess.Popen(argv)
    init = None
    deadline = time.monotonic() + 5
    while init is None and launcher.poll() is None and time.monotonic() < deadline:
        try:
            with open("/proc/%d/task/%d/children" % (launcher.pid, launcher.pid)) as f:
                children = f.read().split()
            init = int(children[0]) if children else None
        except OSError:
            pass
        if init is None:
            time.sleep(0.01)
    if init is None:
        status = launcher.wait()
        return fail("could not create the cabinet's namespaces (status %d): the demo needs root, "
                    "or unprivileged user namespaces with FUSE" % status)
    ids = namespace_ids(init)
    if init:
        with open(pid_file(bin_dir), "w") as f:
            f.write("%d\n" % init)

    def forward(number, _frame):
        if init:
            try:
                os.kill(init, signal.SIGTERM)
            except ProcessLookupError:
                pass
    signal.signal(signal.SIGTERM, forward)
    signal.signal(signal.SIGHUP, forward)
    status = launcher.wait()
    try:
        os.unlink(pid_file(bin_dir))
    except FileNotFoundError:
        pass
    left = processes_in(ids)
    if left:
        print("cabinet: processes left in the cabinet's namespaces: %s" % left, file=sys.stderr)
        return 1
    return status


def exec_program(options, argv):
    pid = running_cabinet(options.bin)
    if pid is None:
        return fail("no cabinet is running (start one with `make demo` or `sim/cabinet demo`)")
    if not argv:
        return fail("exec: no program given")
    program = argv[0]
    if program in PROGRAMS + SIMULATORS:
        program = os.path.join(options.bin, program)
    command = ["nsenter", "--target", str(pid), "--net", "--mount", "--pid",
               "--wd=%s" % os.getcwd()]
    if os.geteuid() != 0:
        command[1:1] = ["--user", "--preserve-credentials"]
    path = options.bin + ":" + os.environ.get("PATH", "/usr/bin:/bin")
    command += ["--", "env", "PATH=%s" % path, program] + argv[1:]
    os.execvp(command[0], command)


def stop(options):
    pid = running_cabinet(options.bin)
    if pid is None:
        return fail("no cabinet is running")
    os.kill(pid, signal.SIGTERM)
    return 0


# --- inside: process 1 of the cabinet's PID namespace ---

class Stop(Exception):
    pass


class Board:
    """boardsim's control socket: one connection watches the frames, one sends commands."""

    def __init__(self, path, events):
        self.path = path
        self.watcher = self._connect()
        self.watcher.sendall(b"watch\n")
        self.commands = self._connect()
        self.commands.settimeout(2)
        self.replies = self.commands.makefile("rb")
        threading.Thread(target=self._watch, args=(events,), daemon=True).start()

    def _connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.path)
        return s

    def _watch(self, events):
        for raw in self.watcher.makefile("rb"):
            events.put(("board", "out", raw.decode("ascii", "replace").strip()))

    def command(self, text):
        self.commands.sendall(text.encode() + b"\n")
        return self.replies.readline().decode("ascii", "replace").strip()


class Cabinet:
    def __init__(self, options):
        self.options = options
        self.bin = options.bin
        self.run = run_dir(options.bin)
        self.state = model.Cabinet(log_size=5000 if not options.interactive else 500)
        self.parts = Parts()
        self.board = None
        self.stopping = False
        self.problems = []
        self.printed = 0
        self.running = False        # every part started
        self.configured = 0         # mask of the configured stations, as the CID reports them
        self.out_of_service = set()  # stations taken out with the x key
        self.random = random.Random()  # the live view's simulated pedestrians

    def program(self, name):
        return os.path.join(self.bin, name)

    # -- the private world --

    def setup(self):
        namespace.run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", self.run)
        stage = lambda name: os.path.join(self.run, "stage", name)
        namespace.private_dev(stage("dev"))
        if not any(p == "/tmp" or p.startswith("/tmp/") for p in (SOURCE, self.bin)):
            namespace.run("mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp")
        namespace.private_tmpfs(os.path.dirname(DATABASE), stage("vok"))
        with open(os.path.join(SOURCE, "stationtool", "config.sql"), "rb") as schema, \
                open(os.path.join(SOURCE, "stationtool", "sample.sql"), "rb") as sample:
            subprocess.run(["sqlite3", "-bail", DATABASE], input=schema.read() + sample.read(),
                           check=True)
        namespace.network()
        namespace.provide("/dev/i2c-0", stage("i2c"))
        for line in GPIO_LINES:
            namespace.provide("/sys/class/gpio/gpio%d/value" % line, stage("gpio%d" % line))
        os.makedirs(os.path.join(self.run, "board"))
        self.state.note("cabinet", "private network, mount and PID namespaces; %s made from "
                        "the sample configuration" % DATABASE)

    def syslog(self):
        """Receives what callrelayd logs to syslog on the cabinet's own /dev/log."""
        receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        receiver.bind("/dev/log")
        os.chmod("/dev/log", 0o666)

        def receive():
            while True:
                self.parts.events.put(("syslog", "dgram", receiver.recv(4096)))
        threading.Thread(target=receive, daemon=True).start()

    def start(self):
        events = self.parts.events
        self.syslog()
        # The CID reports the configured stations good, and no other.
        self.configured = sum(1 << (n - 1) for n in configured_stations())
        cid = self.parts.start("cidsim", [self.program("cidsim"), "--good",
                                          "0x%04X" % self.configured])
        if not self.parts.wait_for_line(cid, "listening", 5, self.handle):
            raise Stop("the CID simulator did not start: " + cid.describe_end())

        board = self.parts.start("boardsim", [
            self.program("boardsim"), "--gpio", ",".join(map(str, GPIO_LINES)),
            "--control", os.path.join(self.run, "board.sock"), os.path.join(self.run, "board")])
        if not self.parts.wait_for_line(board, "ready", 10, self.handle):
            raise Stop("the board simulator did not start: " + board.describe_end())
        mount = os.path.join(self.run, "board")
        namespace.bind(os.path.join(mount, "i2c-0"), "/dev/i2c-0")
        for line in GPIO_LINES:
            namespace.bind(os.path.join(mount, "gpio%d" % line, "value"),
                           "/sys/class/gpio/gpio%d/value" % line)
        self.board = Board(os.path.join(self.run, "board.sock"), events)

        for n in model.STATIONS:
            self.parts.start("snmp %d" % n, [STATION_AGENT, str(n), DATABASE,
                                             os.path.join(self.run, "agent.%d" % n)])

        relay = self.parts.start("callrelayd", [self.program("callrelayd")], cwd=self.run)
        if not self.parts.wait_for_line(relay, "starting", 5, self.handle):
            raise Stop("callrelayd did not start: " + relay.describe_end())
        self.parts.start("paneld", [self.program("paneld")], cwd=self.run)
        self.state.note("cabinet", "running: CID, board, 8 station agents, callrelayd, paneld")

    # -- what the programs say --

    def handle(self, event):
        source, which, line = event
        if source == "syslog":
            self.state.syslog_datagram(line)
        elif source == "board":
            self.state.board_line(line)
        elif source.name == "cidsim" and which == "out":
            self.state.cid_line(line)
        elif source.name.startswith("station") and which == "out":
            self.state.station_line(line)
        elif which == "err" and source.name != "callrelayd" and line.strip():
            # callrelayd's lines arrive through syslog; everyone else's complaints are shown.
            self.state.note(source.name, line)

    def pump(self, wait=0.0):
        """Takes every event that is waiting (the first for up to `wait` seconds) and notices
        parts that ended."""
        try:
            self.handle(self.parts.events.get(timeout=wait) if wait else
                        self.parts.events.get_nowait())
            while True:
                self.handle(self.parts.events.get_nowait())
        except queue.Empty:
            pass
        for part in self.parts.reap():
            if part.essential and not part.stopping and not self.stopping:
                self.problems.append(part.describe_end())
                self.state.note("cabinet", part.describe_end())
                raise Stop(part.describe_end())
            if part.status != 0 and not part.stopping:
                self.state.note("cabinet", part.describe_end())
        if self.options.verbose:
            fresh, self.printed = self.state.noted - self.printed, self.state.noted
            for line in list(self.state.log)[-fresh:] if fresh else []:
                print(line, flush=True)

    def poll_status(self):
        try:
            result = subprocess.run([self.program("sigstat"), "--xml"], capture_output=True,
                                    text=True, timeout=3, stdin=subprocess.DEVNULL)
            self.state.sigstat_answer(result.returncode, result.stdout, result.stderr)
        except subprocess.TimeoutExpired:
            self.state.sigstat_answer(-1, "", "sigstat did not end")

    def start_station(self, station, events=None):
        """The live view's station: one connection to callrelayd, as a station keeps, over which
        it sends `events` and then whatever `tell` hands it."""
        self.parts.start("station %d" % station, [
            self.program("stationsim"), "--listen", "--stdin", "--gap-ms", "150",
            "%d:%s" % (station, events) if events else str(station)],
            essential=False, input=True)

    def tell(self, station, events):
        """Has the live view's station send `events` (stationsim's list) now."""
        for part in self.parts.all:
            if part.name == "station %d" % station and part.running():
                part.send("%d:%s" % (station, events))

    def press(self, station, call=4):
        """Button down, the call (4 pedestrian, 5 APS), button up."""
        self.tell(station, "1,%d,2" % call)

    def pedestrian(self):
        """A simulated pedestrian presses at a station in service: a pedestrian call, or one
        time in four an APS call (an extended press)."""
        serving = [n for n in model.STATIONS if n not in self.out_of_service]
        if serving:
            self.press(self.random.choice(serving), 5 if self.random.random() < 0.25 else 4)

    def toggle_service(self, station):
        """Takes a station out of service (its connection closes, the CID is told it is bad) or
        brings it back (it connects again, the CID is told it is good)."""
        if station in self.out_of_service:
            self.out_of_service.discard(station)
            self.start_station(station)
            change = "back in service"
        else:
            self.out_of_service.add(station)
            for part in self.parts.all:
                if part.name == "station %d" % station and part.running():
                    part.stopping = True
                    part.signal(signal.SIGTERM)
            change = "out of service"
        bad = sum(1 << (n - 1) for n in self.out_of_service)
        good = self.configured & ~bad
        # An APB status report: sigcmd sends its first number as the good mask, the second as
        # the bad one.
        subprocess.run([self.program("sigcmd"), "status", str(good), str(bad)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=5)
        self.state.note("cabinet", "station %d %s: CID told good 0x%04X, bad 0x%04X" % (
            station, change, good, bad))
        return change

    def request_configuration(self):
        for n in model.STATIONS:
            if n not in self.out_of_service:
                self.tell(n, "3")

    def tap(self):
        reply = self.board.command("tap")
        self.state.taps += 1
        self.state.note("cabinet", "page button tapped (%s)" % reply)

    # -- the two modes --

    def scenario(self, duration):
        """Each station asks for its configuration, then serves pedestrians (button down,
        pedestrian call or every fourth an APS call, button up) at its own pace; the page button
        is tapped every 3 s; sigstat polls the CID every second."""
        traffic = max(4.0, duration - 9.0)
        stations = []
        for n in model.STATIONS:
            gap = 250 + 60 * n
            count = max(2, int(traffic * 1000 / (3 * gap)))
            events = ["3"] + [e for i in range(count) for e in ("1", "5" if i % 4 == 3 else "4", "2")]
            stations.append(self.parts.start("station %d" % n, [
                self.program("stationsim"), "--listen", "--gap-ms", str(gap),
                "%d:%s" % (n, ",".join(events))], essential=False))
        start = time.monotonic()
        next_tap, next_poll, checked = start + 3, start, False
        while time.monotonic() - start < duration:
            if self.stopping:
                self.problems.append("interrupted after %.0f s" % (time.monotonic() - start))
                break
            now = time.monotonic()
            if now >= next_poll:
                self.poll_status()
                next_poll += 1
            if now >= next_tap and now - start < duration - 2:
                self.tap()
                next_tap += 3
            if not checked and now - start >= 5:
                checked = True
                self.operator_check()
            self.pump(wait=0.05)
        time.sleep(0.3)
        self.pump()
        for part in stations:
            if part.running():
                self.problems.append("%s was still sending at the end" % part.name)
            elif part.status != 0:
                self.problems.append(part.describe_end())

    def operator_check(self):
        """Reads one setting of station 3 over SNMP, as an operator would."""
        result = subprocess.run([self.program("stationtool"), "3", "get", "vol_max"],
                                capture_output=True, text=True, timeout=10,
                                stdin=subprocess.DEVNULL)
        lines = (result.stdout + result.stderr).splitlines()
        values = [line for line in lines if line.startswith("Value:")]
        answer = values[-1] if values else (lines[-1] if lines else "no output")
        self.state.operator_result = "stationtool 3 get vol_max: %s (status %d)" % (
            answer, result.returncode)
        self.state.note("stationtool", self.state.operator_result)

    def interactive(self):
        import curses
        import view as view_module

        def loop(screen):
            view = view_module.View(screen, self.state)
            screen.timeout(100)
            start = time.monotonic()
            for n in model.STATIONS:
                self.start_station(n, "3")
            pedestrians, next_pedestrian = True, start + 1.5
            next_poll = 0
            choosing = False  # x was pressed: the next digit picks the station
            try:
                while not self.stopping:
                    key = view.key()
                    if key in (ord("q"), ord("Q")):
                        break
                    station = key - ord("0") if ord("1") <= key <= ord("8") else None
                    if choosing and key != -1:
                        choosing = False
                        view.message = ("station %d: %s" % (station, self.toggle_service(station))
                                        if station else "x: no station chosen")
                    elif key in (ord("x"), ord("X")):
                        choosing = True
                        view.message = "x: which station (1-8)?"
                    elif station and station in self.out_of_service:
                        view.message = "station %d is out of service (x %d brings it back)" % (
                            station, station)
                    elif station:
                        self.press(station)
                        view.message = "station %d: button pressed" % station
                    elif key in (ord("p"), ord("P"), ord(" ")):
                        self.tap()
                        view.message = "page button pressed"
                    elif key in (ord("c"), ord("C")):
                        self.request_configuration()
                        view.message = "stations asked for their configuration"
                    elif key in (ord("r"), ord("R")):
                        pedestrians = not pedestrians
                        next_pedestrian = time.monotonic() + 1
                        view.message = ("simulated pedestrians on" if pedestrians else
                                        "simulated pedestrians off: only your keys press")
                    if pedestrians and time.monotonic() >= next_pedestrian:
                        self.pedestrian()
                        next_pedestrian = time.monotonic() + self.random.uniform(2, 4)
                    if time.monotonic() >= next_poll:
                        self.poll_status()
                        next_poll = time.monotonic() + 1
                    self.pump()
                    view.draw(time.monotonic() - start, "running, pedestrians %s" % (
                        "on" if pedestrians else "off"))
            except Stop as stopped:
                view.message = "stopped: %s" % stopped
                view.draw(time.monotonic() - start, "STOPPED")
                screen.timeout(-1)
                time.sleep(2)
                raise

        curses.wrapper(loop)


def inside(options):
    cabinet = Cabinet(options)

    def ask_to_stop(_number, _frame):
        cabinet.stopping = True
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, ask_to_stop)

    status = 0
    started = time.monotonic()
    try:
        cabinet.setup()
        cabinet.start()
        cabinet.running = True
        started = time.monotonic()
        if options.interactive:
            cabinet.interactive()
        else:
            cabinet.scenario(options.duration or DEFAULT_DURATION)
    except Stop as stopped:
        print("cabinet: stopped: %s" % stopped, file=sys.stderr)
        if str(stopped) not in cabinet.problems:
            cabinet.problems.append(str(stopped))
        status = 1
    except Exception as error:  # setup failures: say what, then clean up like any other end
        print("cabinet: %s: %s" % (type(error).__name__, error), file=sys.stderr)
        cabinet.problems.append("%s: %s" % (type(error).__name__, error))
        status = 1
    finally:
        cabinet.stopping = True
        cabinet.parts.stop_all()
    seconds = time.monotonic() - started
    text, ok = cabinet.state.summary(seconds, cabinet.problems,
                                     "live view" if options.interactive else "scripted traffic")
    if not options.interactive:
        if not ok and not options.verbose:
            print("\n".join(list(cabinet.state.log)[-60:]))
        status = 0 if ok else 1
    if cabinet.running:
        print(text, end="", flush=True)
    return status


def main(argv):
    parser = argparse.ArgumentParser(prog="sim/cabinet", usage=USAGE, add_help=False)
    parser.add_argument("command", nargs="?")
    parser.add_argument("--duration", type=int)
    parser.add_argument("--bin", default=DEFAULT_BIN)
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--interactive", action="store_true")
    parser.add_argument("--help", "-h", action="store_true")
    if argv and argv[0] == "exec":
        # Options of exec come before the program; everything after belongs to the program.
        rest = argv[1:]
        bin_dir = DEFAULT_BIN
        if len(rest) >= 2 and rest[0] == "--bin":
            bin_dir, rest = rest[1], rest[2:]
        return exec_program(argparse.Namespace(bin=os.path.abspath(bin_dir)), rest)
    options = parser.parse_args(argv)
    options.bin = os.path.abspath(options.bin)
    if options.help or options.command is None:
        print(USAGE, end="")
        return 0 if options.help else 2
    if options.duration is not None and options.duration < 10:
        return fail("--duration must be at least 10 seconds")
    if options.command == "demo":
        options.interactive = (options.duration is None and sys.stdin.isatty()
                               and sys.stdout.isatty())
        return demo(options)
    if options.command == "inside":
        return inside(options)
    if options.command == "stop":
        return stop(options)
    print(USAGE, end="", file=sys.stderr)
    return 2
