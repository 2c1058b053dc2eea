"""What the simulated cabinet knows, built only from the lines and bytes its programs produce.

Every input is one line of a program's output (stationsim, cidsim), one syslog datagram
(callrelayd), one display frame (boardsim's watch stream) or one `sigstat --xml` answer. Nothing
here invents state: the view and the summary show what these inputs said.
"""

import collections
import re
import time

STATIONS = range(1, 9)
PHASES = range(1, 9)

# Display glyphs of the cabinet's character set, drawn as boardsim draws them.
GLYPHS = {0xC5: "+", 0xC6: "x", 0xCD: "."}

PAGE_NAMES = ("Station", "Sig", "Calls", "blank")

_STATION_SENT = re.compile(r'^station (\d+) sent \{"sid": (-?\d+), "e": (\d+)\}$')
_STATION_PUSH = re.compile(r"^station (\d+) config push \((\d+) bytes\)$")
_STATION_CLOSED = re.compile(r"^station (\d+) closed by callrelayd$")
_CID_COMMAND = re.compile(r"^([a-z_]+) ((?:[a-z]+=-?\d+ ?)*)\((\d+) bytes\)(.*)$")
_SYSLOG = re.compile(r"^<(\d+)>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?([^:\[]+)(?:\[(\d+)\])?: ?(.*)$",
                     re.S)
_XML = re.compile(r"<(\w+)>(-?\d+)</\1>")

EVENT_NAMES = {0: "none", 1: "button down", 2: "button up", 3: "config request",
               4: "pedestrian call", 5: "APS call"}
CALL_EVENTS = (4, 5)
CALL_COMMANDS = ("ped_call", "aps_call")
LEVELS = {3: "err", 4: "warning", 6: "info"}


class StationCounts:
    def __init__(self):
        self.presses = 0        # pedestrian and APS call events the station sent
        self.downs = 0
        self.ups = 0
        self.requests = 0       # configuration requests sent
        self.pushes = 0         # configuration documents received back
        self.calls = 0          # pedestrian and APS calls the CID received for this station
        self.cid_downs = 0
        self.cid_ups = 0
        self.closed = 0         # connections callrelayd closed


def decode_frame(data):
    """The two display lines a frame leaves on the display, or None for a command frame."""
    if len(data) < 1 or data[0] != 0x01:
        return None
    text = data[1:]
    end = text.find(b"\x00")
    if end >= 0:
        text = text[:end]
    lines = text.split(b"\n", 1) + [b""]
    shown = []
    for raw in lines[:2]:
        chars = [GLYPHS.get(b, chr(b) if 0x20 <= b < 0x7F else "?") for b in raw[:16]]
        shown.append("".join(chars).ljust(16))
    return shown


def page_of(lines):
    """Which of paneld's pages the two display lines are."""
    if lines[0].strip() == "" and lines[1].strip() == "":
        return "blank"
    if "Station" in lines[0]:
        return "Station"
    if lines[1].startswith("Sig "):
        return "Sig"
    if lines[1].startswith("Calls "):
        return "Calls"
    return "other"


def parse_sigstat_xml(text):
    """The numbers of `sigstat --xml`, by tag; None when the answer holds none."""
    values = {tag: int(number) for tag, number in _XML.findall(text)}
    return values or None


class Cabinet:
    def __init__(self, clock=time.monotonic, log_size=500):
        self.clock = clock
        self.started = clock()
        self.stations = {n: StationCounts() for n in STATIONS}
        self.commands = collections.Counter()    # CID commands by name
        self.invalid_datagrams = 0
        self.frames = 0
        self.screen = [" " * 16, " " * 16]
        self.page = None
        self.pages_seen = collections.Counter()
        self.station_row = None                # stations 1-16 on the last Station page shown
        self.status = None                     # the last sigstat --xml answer
        self.status_polls = 0
        self.status_failures = 0
        self.syslog_lines = 0
        self.taps = 0
        self.log = collections.deque(maxlen=log_size)
        self.noted = 0                         # log lines ever noted
        self.operator_result = None            # what the operator tool check printed

    # --- the log ---

    def note(self, source, text):
        self.log.append("%6.1f %-11s %s" % (self.clock() - self.started, source, text))
        self.noted += 1

    # --- stationsim ---

    def station_line(self, line):
        match = _STATION_SENT.match(line)
        if match:
            station, event = int(match.group(1)), int(match.group(3))
            counts = self.stations.get(station)
            if counts is not None:
                if event in CALL_EVENTS:
                    counts.presses += 1
                elif event == 1:
                    counts.downs += 1
                elif event == 2:
                    counts.ups += 1
                elif event == 3:
                    counts.requests += 1
            self.note("station %d" % station, "sent %s" % EVENT_NAMES.get(event, event))
            return
        match = _STATION_PUSH.match(line)
        if match:
            station = int(match.group(1))
            if station in self.stations:
                self.stations[station].pushes += 1
            self.note("station %d" % station, "configuration pushed (%s bytes)" % match.group(2))
            return
        match = _STATION_CLOSED.match(line)
        if match:
            station = int(match.group(1))
            if station in self.stations:
                self.stations[station].closed += 1
            self.note("station %d" % station, "connection closed by callrelayd")
            return
        if line.startswith("station ") or line.startswith("stationsim"):
            self.note("stationsim", line)
        # The indented text of a pushed document follows its "config push" line; skip it.

    # --- cidsim ---

    def cid_line(self, line):
        if line.startswith("invalid"):
            self.invalid_datagrams += 1
            self.note("CID", line)
            return
        match = _CID_COMMAND.match(line)
        if not match:
            return
        name = match.group(1)
        keys = dict(pair.split("=") for pair in match.group(2).split())
        self.commands[name] += 1
        if name == "status_query":
            return  # paneld asks every second and the view polls too; counted, not logged
        sid = int(keys["sid"]) if "sid" in keys else None
        counts = self.stations.get(sid)
        if counts is not None:
            if name in CALL_COMMANDS:
                counts.calls += 1
            elif name == "button_down":
                counts.cid_downs += 1
            elif name == "button_up":
                counts.cid_ups += 1
        shown = " ".join("%s=%s" % item for item in keys.items() if item[0] != "t")
        self.note("CID", ("%s %s" % (name, shown)).strip())

    # --- callrelayd's syslog ---

    def syslog_datagram(self, data):
        text = data.decode("utf-8", "replace").rstrip("\n\x00")
        match = _SYSLOG.match(text)
        self.syslog_lines += 1
        if not match:
            self.note("syslog", text)
            return
        level = LEVELS.get(int(match.group(1)) & 7, str(int(match.group(1)) & 7))
        ident = match.group(2)
        message = match.group(4)
        self.note(ident.split(".")[0][:10], message if level == "info" else "%s: %s" % (level, message))

    # --- boardsim ---

    def board_line(self, line):
        """One line of boardsim's watch stream: "frame INDEX HEX"."""
        parts = line.split()
        if len(parts) != 3 or parts[0] != "frame":
            return
        try:
            data = bytes.fromhex(parts[2])
        except ValueError:
            return
        self.frames += 1
        lines = decode_frame(data)
        if lines is None:
            self.note("display", "command frame %s" % parts[2])
            return
        page = page_of(lines)
        if page != self.page:
            self.note("display", "page %s: |%s|%s|" % (page, lines[0], lines[1]))
        self.page = page
        self.pages_seen[page] += 1
        if page == "Station":
            self.station_row = lines[1]
        self.screen = lines

    # --- sigstat ---

    def sigstat_answer(self, returncode, out, err):
        self.status_polls += 1
        values = parse_sigstat_xml(out) if returncode == 0 else None
        if values is None:
            self.status_failures += 1
            self.note("sigstat", "failed: %s" % (err.strip().splitlines() or ["no answer"])[-1])
            return
        self.status = values

    def phase(self, phase):
        """(signal, calls) of one phase from the last sigstat answer: signal one of "WALK",
        "CLEAR", "DONT", "dark", "?"; calls the letters of paneld's Calls page, P (pedestrian)
        and A (vok), both where both are held."""
        if self.status is None:
            return "", ""
        bit = 1 << (phase - 1)
        on = [name for name, tag in (("WALK", "walk"), ("CLEAR", "clear"), ("DONT", "dw"))
              if self.status.get(tag, 0) & bit]
        signal = on[0] if len(on) == 1 else ("dark" if not on else "?")
        calls = "".join(letter for letter, tag in (("P", "pcalls"), ("A", "vokcalls"))
                        if self.status.get(tag, 0) & bit)
        return signal, calls

    def aps_call(self, phase):
        """Whether the CID holds an APS call on the phase (the Calls page does not show it)."""
        return self.status is not None and bool(self.status.get("apscalls", 0) & 1 << (phase - 1))

    def station_state(self, station):
        if self.status is None:
            return ""
        bit = 1 << (station - 1)
        good = self.status.get("goods", 0) & bit
        bad = self.status.get("bads", 0) & bit
        return {(0, 0): "-", (1, 0): "good", (0, 1): "bad"}.get((bool(good), bool(bad)), "?")

    # --- the end ---

    def every_press_called(self):
        presses = sum(c.presses for c in self.stations.values())
        return presses > 0 and all(c.presses == c.calls for c in self.stations.values())

    def summary(self, seconds, problems=(), title="scripted traffic"):
        """The closing report and whether the run passed."""
        ok = self.every_press_called() and not problems
        rows = ["Simulated cabinet: %.0f s of %s" % (seconds, title),
                "",
                "station  presses  calls at CID  downs/ups sent  downs/ups at CID  config req/pushed",
                ]
        for n, c in self.stations.items():
            mark = "" if c.presses == c.calls else "   <-- %d press(es) without a call" % (
                c.presses - c.calls)
            rows.append("%7d  %7d  %12d  %8d/%-5d  %10d/%-5d  %10d/%d%s" % (
                n, c.presses, c.calls, c.downs, c.ups, c.cid_downs, c.cid_ups, c.requests,
                c.pushes, mark))
        total = lambda attr: sum(getattr(c, attr) for c in self.stations.values())
        rows.append("%7s  %7d  %12d  %8d/%-5d  %10d/%-5d  %10d/%d" % (
            "all", total("presses"), total("calls"), total("downs"), total("ups"),
            total("cid_downs"), total("cid_ups"), total("requests"), total("pushes")))
        rows.append("")
        rows.append("configuration pushes: %d of %d requested" % (total("pushes"), total("requests")))
        pages = ", ".join("%s %d" % (p, self.pages_seen[p]) for p in PAGE_NAMES if self.pages_seen[p])
        rows.append("display frames: %d (page button taps %d; frames per page: %s)" % (
            self.frames, self.taps, pages or "none"))
        rows.append("pages seen: %s" % (" ".join(p for p in PAGE_NAMES[:3] if self.pages_seen[p])
                                        or "none"))
        rows.append("station page (stations 1-16, + good, x bad, . none): %s" % (
            self.station_row or "never shown"))
        rows.append("CID commands: %s" % (", ".join(
            "%s %d" % item for item in sorted(self.commands.items())) or "none"))
        rows.append("callrelayd syslog lines: %d; sigstat polls: %d (%d failed)" % (
            self.syslog_lines, self.status_polls, self.status_failures))
        if self.operator_result:
            rows.append("operator tool: %s" % self.operator_result)
        for problem in problems:
            rows.append("problem: %s" % problem)
        rows.append("")
        rows.append("result: %s" % ("PASS, every press became a call" if ok else "FAIL"))
        return "\n".join(rows) + "\n", ok
