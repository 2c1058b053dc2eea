"""Tests of what the simulated cabinet reads from its programs' output."""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import model  # noqa: E402


def frame(text):
    return (b"\x01" + text + b"\x00").hex()


class FrameTest(unittest.TestCase):
    def test_decode(self):
        cases = [
            ("station page with glyphs", b"\x011 / Station   16\n\xc5\xc5\xc6" + b"\xcd" * 13 + b"\x00",
             ["1 / Station   16", "++x............."]),
            ("short lines are padded", b"\x01ab\ncd\x00", ["ab".ljust(16), "cd".ljust(16)]),
            ("one line only", b"\x01hello\x00", ["hello".ljust(16), " " * 16]),
            ("no terminator", b"\x01Phase   12345678\nSig", ["Phase   12345678", "Sig".ljust(16)]),
            ("bytes after the terminator ignored", b"\x01ab\x00cd", ["ab".ljust(16), " " * 16]),
            ("long lines clipped", b"\x01" + b"x" * 20 + b"\n" + b"y" * 20 + b"\x00",
             ["x" * 16, "y" * 16]),
            ("control and high bytes", b"\x01\x07\xff\x00", ["??".ljust(16), " " * 16]),
            ("empty text", b"\x01\x00", [" " * 16, " " * 16]),
        ]
        for name, data, lines in cases:
            with self.subTest(name):
                self.assertEqual(model.decode_frame(data), lines)

    def test_command_frames_have_no_text(self):
        for data in (b"", b"\x03", b"\x00", b"\x02abc\x00"):
            with self.subTest(data=data):
                self.assertIsNone(model.decode_frame(data))

    def test_page_of(self):
        cases = [
            (["1 / Station   16", "+" * 16], "Station"),
            (["Phase   12345678", "Sig \\   DDDDDDDD"], "Sig"),
            (["Phase   12345678", "Calls / ..P....."], "Calls"),
            ([" " * 16, " " * 16], "blank"),
            (["something", "else"], "other"),
        ]
        for lines, page in cases:
            with self.subTest(page):
                self.assertEqual(model.page_of(lines), page)

    def test_board_stream_counts_frames_and_pages(self):
        c = model.Cabinet(clock=lambda: 0.0)
        for line in ["frame 0 " + frame(b"1 / Station   16\n" + b"\xc5" * 16),
                     "frame 1 " + frame(b"1 \\ Station   16\n" + b"\xc5\xc6" + b"\xcd" * 14),
                     "frame 2 " + frame(b"Phase   12345678\nSig /   WDDDDDDD"),
                     "frame 3 03",
                     "frame 4 zz",          # not hex: ignored
                     "ok",                  # not a frame line: ignored
                     "frame 5 " + frame(b" " * 16 + b"\n" + b" " * 16)]:
            c.board_line(line)
        self.assertEqual(c.frames, 5)
        self.assertEqual(dict(c.pages_seen), {"Station": 2, "Sig": 1, "blank": 1})
        self.assertEqual(c.page, "blank")
        self.assertEqual(c.station_row, "+x" + "." * 14)  # the last Station page, kept
        self.assertIn("station page (stations 1-16, + good, x bad, . none): +x" + "." * 14,
                      c.summary(1)[0])
        self.assertEqual(sum("page Sig" in line for line in c.log), 1)
        self.assertTrue(any("command frame 03" in line for line in c.log))


class TrafficTest(unittest.TestCase):
    def test_stations_and_cid_counted_per_station(self):
        c = model.Cabinet(clock=lambda: 0.0)
        for line in ['station 3 sent {"sid": 3, "e": 1}',
                     'station 3 sent {"sid": 3, "e": 4}',
                     'station 3 sent {"sid": 3, "e": 2}',
                     'station 5 sent {"sid": 5, "e": 5}',
                     'station 5 sent {"sid": 5, "e": 3}',
                     'station 9 sent {"sid": 9, "e": 4}',     # not one of the eight: logged only
                     'station 5 config push (293 bytes)',
                     '  "id": 5',                               # the pushed document's text
                     'station 3 closed by callrelayd',
                     'station 4 sent 12 raw bytes']:
            c.station_line(line)
        for line in ["button_down t=8 sid=3 (21 bytes)",
                     "ped_call t=2 sid=3 (21 bytes)",
                     "button_up t=9 sid=3 (21 bytes)",
                     "aps_call t=3 sid=5 (21 bytes)",
                     "ped_call t=2 c=5 r=0 g=0 (33 bytes)",      # sigcmd's call names no station
                     "status_query t=1 (12 bytes) -> status 120 bytes",
                     "invalid (3 bytes) 010203",
                     "cidsim listening on 127.0.0.1:5000"]:
            c.cid_line(line)
        s3, s5 = c.stations[3], c.stations[5]
        self.assertEqual((s3.downs, s3.presses, s3.ups, s3.closed), (1, 1, 1, 1))
        self.assertEqual((s3.cid_downs, s3.calls, s3.cid_ups), (1, 1, 1))
        self.assertEqual((s5.presses, s5.requests, s5.pushes, s5.calls), (1, 1, 1, 1))
        self.assertEqual(c.commands["ped_call"], 2)
        self.assertEqual(c.commands["status_query"], 1)
        self.assertEqual(c.invalid_datagrams, 1)
        self.assertFalse(any("status_query" in line for line in c.log))
        self.assertFalse(any('"id"' in line for line in c.log))
        self.assertTrue(c.every_press_called())

    def test_syslog_lines(self):
        cases = [
            (b"<30>Dec  8 04:20:00 callrelayd.v2[123]: [123;0]starting", "[123;0]starting"),
            (b"<28>Dec 18 04:20:00 callrelayd.v2[9]: [9;4]Unable to connect-Connection refused",
             "warning: [9;4]Unable to connect-Connection refused"),
            (b"<27>callrelayd.v2[9]: [9;4]Invalid event received\n",
             "err: [9;4]Invalid event received"),
            (b"garbage", "garbage"),
        ]
        for data, shown in cases:
            with self.subTest(shown):
                c = model.Cabinet(clock=lambda: 0.0)
                c.syslog_datagram(data)
                self.assertTrue(c.log[-1].endswith(shown), c.log[-1])
                self.assertEqual(c.syslog_lines, 1)


class StatusTest(unittest.TestCase):
    XML = ("<dw>250</dw>\n<walk>1</walk>\n<clear>4</clear>\n<pcalls>2</pcalls>\n"
           "<apscalls>3</apscalls>\n<vokcalls>8</vokcalls>\n<bads>2</bads>\n<goods>5</goods>\n")

    def test_phases_and_stations(self):
        c = model.Cabinet(clock=lambda: 0.0)
        self.assertEqual(c.phase(1), ("", ""))
        c.sigstat_answer(0, self.XML, "")
        self.assertEqual(c.phase(1), ("WALK", ""))
        self.assertEqual(c.phase(2), ("DONT", "P"))
        self.assertEqual(c.phase(3), ("CLEAR", ""))
        self.assertEqual(c.phase(4), ("DONT", "A"))  # vok, as on paneld's Calls page
        self.assertEqual([c.aps_call(p) for p in (1, 2, 3, 4)], [True, True, False, False])
        self.assertEqual([c.station_state(n) for n in (1, 2, 3, 4)], ["good", "bad", "good", "-"])

    def test_contradictions_show_as_such(self):
        c = model.Cabinet(clock=lambda: 0.0)
        c.sigstat_answer(0, "<dw>1</dw><walk>1</walk><clear>0</clear><bads>1</bads>"
                            "<goods>1</goods>", "")
        self.assertEqual(c.phase(1)[0], "?")
        self.assertEqual(c.phase(2)[0], "dark")
        self.assertEqual(c.station_state(1), "?")

    def test_failed_poll_keeps_the_last_answer(self):
        c = model.Cabinet(clock=lambda: 0.0)
        c.sigstat_answer(0, self.XML, "")
        c.sigstat_answer(255, "", "cid_getIntersecionData: Unable to receive\n")
        c.sigstat_answer(0, "no tags here", "")
        self.assertEqual((c.status_polls, c.status_failures), (3, 2))
        self.assertEqual(c.phase(2), ("DONT", "P"))


class SummaryTest(unittest.TestCase):
    def cabinet(self, presses, calls):
        c = model.Cabinet(clock=lambda: 0.0)
        for n, count in presses.items():
            c.stations[n].presses = count
        for n, count in calls.items():
            c.stations[n].calls = count
        return c

    def test_pass_only_when_every_press_became_a_call(self):
        cases = [
            ("all called", {1: 3, 2: 1}, {1: 3, 2: 1}, (), True),
            ("one press lost", {1: 3, 2: 1}, {1: 2, 2: 1}, (), False),
            ("a call without a press", {1: 1}, {1: 2}, (), False),
            ("no presses at all", {}, {}, (), False),
            ("a part crashed", {1: 1}, {1: 1}, ("paneld exited with status 134",), False),
        ]
        for name, presses, calls, problems, ok in cases:
            with self.subTest(name):
                text, passed = self.cabinet(presses, calls).summary(30, problems)
                self.assertEqual(passed, ok)
                self.assertIn("result: PASS" if ok else "result: FAIL", text)
                for problem in problems:
                    self.assertIn(problem, text)

    def test_lost_press_is_pointed_at(self):
        text, _ = self.cabinet({4: 2}, {4: 1}).summary(30)
        row = [line for line in text.splitlines() if line.strip().startswith("4 ")][0]
        self.assertIn("1 press(es) without a call", row)


if __name__ == "__main__":
    unittest.main()
