"""The event stream over the caller's progress pipe, with the pipe_server
tool standing in for the caller: delivery in order, a server that comes up
late, goes away or comes back, and pipe names that must not be opened."""
import datetime
import os
import unittest

import harness
import pipetools
from pipetools import PipeServer, run_elevated

PIPE_ERROR = "Error: Failed to connect to progress pipe: "


def stamp(event):
    return datetime.datetime.strptime(event["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ")


class PipeTestCase(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("pipe")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.stop()
        self.scratch.cleanup()

    def server(self, name, *options, **kw):
        s = PipeServer(self.scratch, name, *options, **kw)
        self.servers.append(s)
        return s

    # A command refused before it reads or writes anything (a target with a
    # character no path may hold): its six lines are the same on every run
    # and it changes nothing that other tests look at, so these tests run
    # beside them.
    def command(self):
        return ["--write-uninstall", "--target", self.scratch.winpath("refused|target"), "--version", "1.0"]

    def command_args(self, pipe):
        return self.command() + ["--progress-pipe", pipe]

    def reference_run(self):
        """The same command without a pipe: the events it writes."""
        r = run_elevated(self.command())
        return r.returncode, r.events

    def assertSameEvents(self, got, expected):
        strip = lambda events: [{k: v for k, v in e.items() if k not in ("pid", "timestamp")} for e in events]
        self.assertEqual(strip(got), strip(expected))


class Delivery(PipeTestCase):
    def test_events_arrive_on_the_pipe_in_order(self):
        name = pipetools.pipe_name("order")
        server = self.server(name)
        r = run_elevated(self.command_args(name))
        self.assertEqual(server.wait(), 0)  # it ends when the client closes
        code, expected = self.reference_run()
        self.assertEqual(r.returncode, code, r)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr, b"")
        raw = server.raw()
        self.assertTrue(raw.endswith(b"\n"))
        self.assertNotIn(b"\r", raw)
        events = server.lines()
        self.assertEqual(len(events), raw.count(b"\n"))
        self.assertSameEvents(events, expected)
        self.assertEqual(events[0]["message"], "KorvelElevated starting")
        self.assertEqual(events[-2]["operation"], "main_operation")
        self.assertEqual(len({e["pid"] for e in events}), 1)
        stamps = [e["timestamp"] for e in events]
        self.assertEqual(stamps, sorted(stamps))

    def test_prefix_in_any_letter_case(self):
        tail = pipetools.pipe_name("case")[len("\\\\.\\pipe\\"):]
        server = self.server("\\\\.\\pipe\\" + tail)
        r = run_elevated(self.command_args("\\\\.\\PiPe\\" + tail))
        server.wait()
        self.assertEqual(r.stdout, b"")
        self.assertTrue(server.lines())

    def test_a_server_that_comes_up_late(self):
        name = pipetools.pipe_name("late")
        server = self.server(name, "--delay-ms", "3000", wait=False)
        r = run_elevated(self.command_args(name))
        server.wait()
        code, expected = self.reference_run()
        self.assertEqual(r.returncode, code, r)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr, b"")
        self.assertSameEvents(server.lines(), expected)

    def test_help_connects_the_pipe_first_then_prints_usage(self):
        name = pipetools.pipe_name("help")
        server = self.server(name)
        r = run_elevated(["--help", "--progress-pipe", name])
        self.assertEqual(server.wait(), 0)  # a client came and went
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue(r.stdout.startswith(b"Korvel Elevated Helper v1.0.0\n"))
        self.assertEqual(r.stderr, b"")
        self.assertEqual(server.raw(), b"")

    def test_line_whose_write_failed_reaches_the_pipe_when_it_comes_back(self):
        # After two lines the server drops its client and offers a fresh
        # instance: the third line fails on the old one and is sent again on
        # the new one.
        name = pipetools.pipe_name("back")
        server = self.server(name, "--drop-after", "2")
        r = run_elevated(self.command_args(name))
        server.wait()
        code, expected = self.reference_run()
        self.assertEqual(r.returncode, code, r)
        self.assertEqual(r.stdout, b"")
        self.assertSameEvents(server.lines(), expected)


class ServerGoesAway(PipeTestCase):
    def test_failing_line_goes_to_stdout_after_one_attempt_and_later_lines_do_not_wait(self):
        name = pipetools.pipe_name("gone")
        server = self.server(name, "--exit-after", "2")
        r = run_elevated(self.command_args(name))
        self.assertEqual(server.wait(), 0)
        code, expected = self.reference_run()
        self.assertEqual(r.returncode, code, r)
        self.assertEqual(r.stderr, b"")

        on_pipe = server.lines()
        on_stdout = r.events
        self.assertEqual(len(on_pipe), 2)
        self.assertNotIn(b"\r", r.stdout)
        self.assertTrue(r.stdout.endswith(b"\n"))
        # Nothing lost, nothing twice, order kept.
        self.assertSameEvents(on_pipe + on_stdout, expected)
        self.assertGreaterEqual(len(on_stdout), 3)

        # The failing line waited for the one reconnection attempt (up to
        # 30 s, the server being gone for good) before it went to stdout;
        # each later line made one attempt without waiting.
        waited = stamp(on_stdout[1]) - stamp(on_stdout[0])
        self.assertGreaterEqual(waited.total_seconds(), 25, waited)
        rest = stamp(on_stdout[-1]) - stamp(on_stdout[1])
        self.assertLess(rest.total_seconds(), 15, rest)


class RefusedNames(PipeTestCase):
    def check_refused(self, name):
        r = run_elevated(self.command_args(name))
        self.assertEqual(r.returncode, 7, r)
        self.assertEqual(r.stderr, (PIPE_ERROR + name + "\n").encode("utf-8"))
        self.assertEqual(r.stdout, b"")

    def test_a_file_is_never_opened(self):
        victim = self.scratch.path("victim.txt")
        with open(victim, "wb") as f:
            f.write(b"precious")
        win = harness.to_win(victim)
        for name in (win, "\\\\.\\pipe\\..\\" + win, "\\\\.\\pipe\\x\\..\\..\\" + win,
                     "\\\\.\\pipe\\../" + win.replace("\\", "/")):
            with self.subTest(name=name):
                self.check_refused(name)
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), b"precious")

    def test_no_file_is_created(self):
        created = self.scratch.path("created.txt")
        win = harness.to_win(created)
        for name in (win, "\\\\.\\pipe\\..\\" + win, "\\\\?\\" + win):
            with self.subTest(name=name):
                self.check_refused(name)
                self.assertFalse(os.path.exists(created))
        self.assertEqual(sorted(os.listdir(self.scratch.host)), [])

    def test_names_that_would_reach_a_live_pipe_another_way(self):
        # The pipe exists, but these spellings are not plain pipe names.
        name = pipetools.pipe_name("live")
        tail = name[len("\\\\.\\pipe\\"):]
        server = self.server(name)
        for other in ("\\\\.\\pipe\\..\\pipe\\" + tail, "//./pipe/" + tail, "\\\\.\\pipe/" + tail,
                      "\\\\.\\pipe\\.\\" + tail, "\\\\?\\pipe\\" + tail):
            with self.subTest(name=other):
                self.check_refused(other)
        self.assertEqual(server.raw(), b"")

    def test_other_names(self):
        for name in ("korvel", "\\\\.\\pipe\\", "\\\\.\\pipe", "\\\\.\\nul", "NUL", "CON",
                     "T:\\\u00e9\u4e2d\U0001F600.txt"):
            with self.subTest(name=name):
                self.check_refused(name)


if __name__ == "__main__":
    unittest.main()
