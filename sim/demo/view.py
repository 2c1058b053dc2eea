"""The live terminal view of the simulated cabinet (curses)."""

import curses

from model import PHASES, STATIONS

# One line of at most 80 columns.
KEYS = "keys: 1-8 press  x 1-8 bad/good  r pedestrians on/off  p page  c config  q quit"


class View:
    def __init__(self, screen, cabinet):
        self.screen = screen
        self.cabinet = cabinet
        self.message = ""
        curses.curs_set(0)
        screen.nodelay(True)
        screen.keypad(True)
        try:
            curses.use_default_colors()
            curses.init_pair(1, curses.COLOR_GREEN, -1)
            curses.init_pair(2, curses.COLOR_YELLOW, -1)
            curses.init_pair(3, curses.COLOR_RED, -1)
            curses.init_pair(4, curses.COLOR_CYAN, -1)
            self.colours = True
        except curses.error:
            self.colours = False

    def _colour(self, number):
        return curses.color_pair(number) if self.colours else 0

    def _put(self, row, column, text, attributes=0):
        height, width = self.screen.getmaxyx()
        if row < 0 or row >= height or column >= width:
            return
        text = text[:max(0, width - column - (1 if row == height - 1 else 0))]
        try:
            self.screen.addstr(row, column, text, attributes)
        except curses.error:
            pass

    def key(self):
        try:
            return self.screen.getch()
        except curses.error:
            return -1

    def draw(self, elapsed, running):
        c = self.cabinet
        self.screen.erase()
        height, width = self.screen.getmaxyx()
        self._put(0, 0, "Simulated cabinet  %s  %02d:%02d" % (
            running, int(elapsed) // 60, int(elapsed) % 60), curses.A_BOLD)

        # The 2x16 display as paneld last wrote it.
        self._put(2, 0, "display (paneld)")
        self._put(3, 0, "+----------------+")
        self._put(4, 0, "|%s|" % c.screen[0], curses.A_REVERSE)
        self._put(5, 0, "|%s|" % c.screen[1], curses.A_REVERSE)
        self._put(6, 0, "+----------------+")
        self._put(7, 0, "page %s" % (c.page or "-"))
        self._put(8, 0, "frames %d" % c.frames)

        # Phases as the CID holds them (sigstat --xml).
        left, label = 20, 14
        self._put(2, left, "%-*s" % (label, "phase") + "".join("%5d" % p for p in PHASES))
        signals = [c.phase(p) for p in PHASES]
        self._put(3, left, "%-*s" % (label, "ped signal"))
        for i, (signal, _) in enumerate(signals):
            colour = {"WALK": 1, "CLEAR": 2, "DONT": 3}.get(signal, 0)
            shown = {"CLEAR": "CLR", "DONT": "DW"}.get(signal, signal)
            self._put(3, left + label + 5 * i, "%5s" % shown, self._colour(colour))
        # P and A as on paneld's Calls page; APS calls, which that page leaves out, below.
        self._put(4, left, "%-*s" % (label, "calls P/A") + "".join(
            "%5s" % (calls or ".") for _, calls in signals))
        self._put(5, left, "%-*s" % (label, "APS calls") + "".join(
            "%5s" % ("APS" if c.aps_call(p) else ".") for p in PHASES))

        # Stations: what they sent, what the CID received for them, pushes they received.
        self._put(7, left, "%-*s" % (label, "station") + "".join("%5d" % n for n in STATIONS))
        rows = (("state", lambda n: c.station_state(n)),
                ("presses sent", lambda n: c.stations[n].presses),
                ("calls at CID", lambda n: c.stations[n].calls),
                ("config pushed", lambda n: c.stations[n].pushes))
        for offset, (name, value) in enumerate(rows):
            self._put(8 + offset, left, "%-*s" % (label, name) + "".join(
                "%5s" % value(n) for n in STATIONS))
        self._put(13, 0, KEYS, self._colour(4))
        if self.message:
            self._put(14, 0, self.message, curses.A_BOLD)

        # The scrolling log: newest at the bottom.
        top = 16
        self._put(top - 1, 0, "-" * (width - 1))
        room = max(0, height - top)
        lines = list(c.log)[-room:] if room else []
        for i, line in enumerate(lines):
            self._put(top + i, 0, line)
        self.screen.refresh()
