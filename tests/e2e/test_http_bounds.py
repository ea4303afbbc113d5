"""Every request of the download client has bounds a server cannot escape:
response headers of at most 64 KiB that arrive within 60 s, and a body that
brings at least 1 KiB/s on average over every 60 s, else the attempt fails
as a time-out (166). The header-size bound and the body's rate are shown at
their real values through KorvelElevated; the time bounds also through the
download tool with the client's bounds shortened, so that a case takes
seconds."""
import json
import os
import time
import unittest

import harness
from httpfetch import CLEANED, DONE, FRESH, INIT, START, EventsMixin, fetch, http_error, reported_winhttp_error
from servers import FaultServer, Reply

ERROR_WINHTTP_TIMEOUT = 12002
ERROR_WINHTTP_HEADER_SIZE_OVERFLOW = 12182
TOO_SLOW = ("error", "download", 166, "Transfer too slow: fewer than 1024 bytes per second over 3 s")


class BoundsThroughTheHelper(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("http-bounds")
        self.fs = FaultServer().start()

    def tearDown(self):
        self.fs.stop()
        self.scratch.cleanup()

    def apply(self, url, timeout=300):
        # A temporary folder of its own, so a private cache: a run that waits
        # out a whole window would otherwise keep other tests' runs waiting
        # for the shared cache's lock.
        temp = self.scratch.path("temp-" + os.urandom(4).hex())
        os.makedirs(temp)
        return harness.run_elevated(["--apply-manifest", url, "--target", self.scratch.winpath("target"),
                                     "--cdn", self.fs.url("/cdn")], timeout=timeout, temp=harness.to_win(temp))

    def http_errors(self, result):
        return [e for e in result.events if e.get("event_type") == "error" and e.get("operation") == "http_client"]

    def test_response_headers_beyond_64_kib_fail_the_request(self):
        self.fs.set("/manifest.json", Reply(b"{}", header_padding=200 * 1024))
        started = time.monotonic()
        r = self.apply(self.fs.url("/manifest.json"))
        self.assertLess(time.monotonic() - started, 120)
        self.assertEqual(r.returncode, 161, r.stdout_text[-3000:])
        errors = self.http_errors(r)
        self.assertEqual(len(errors), 1, errors)
        self.assertTrue(errors[0]["details"].startswith(
            "HTTP operation failed: WinHttpReceiveResponse Error: %d - " % ERROR_WINHTTP_HEADER_SIZE_OVERFLOW),
            errors[0])
        self.assertFalse(os.path.exists(self.scratch.path("target")))

    def test_a_body_that_trickles_fails_as_a_time_out_after_one_window(self):
        # Two bytes a second of a larger announced body: the first full
        # window of 60 s brings 120 bytes, far below 60 KiB.
        body = json.dumps({"padding": "x" * 4000}).encode()
        self.fs.set("/manifest.json", Reply(body, chunk_size=2, chunk_delay=1.0))
        started = time.monotonic()
        r = self.apply(self.fs.url("/manifest.json"), timeout=300)
        elapsed = time.monotonic() - started
        self.assertEqual(r.returncode, 166, r.stdout_text[-3000:])
        slow = [e for e in r.events if e.get("event_type") == "error" and e.get("operation") == "download"]
        self.assertEqual([e.get("details") for e in slow],
                         ["Transfer too slow: fewer than 1024 bytes per second over 60 s"])
        self.assertGreaterEqual(elapsed, 59)
        self.assertLess(elapsed, 200)


class ShortenedBounds(EventsMixin, unittest.TestCase):
    """The download tool with the bounds shortened to 2 s for the headers and
    1024 bytes a second over 3 s for the body."""
    BOUNDS = ["--bounds", "2000", "1024", "3000"]

    @classmethod
    def setUpClass(cls):
        cls.fault = FaultServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.fault.stop()

    def setUp(self):
        self.scratch = harness.Scratch("http-bounds-short")

    def tearDown(self):
        self.scratch.cleanup()

    def assertEvents(self, fetched, expected):
        """The event stream in order, its 2-second progress events aside."""
        fetched.events = [e for e in fetched.events if e["event_type"] != "progress"]
        super().assertEvents(fetched, expected)

    def dest(self, name="out.bin"):
        return self.scratch.path(name), self.scratch.winpath(name)

    def test_headers_sent_one_line_at_a_time_past_the_limit_fail_as_a_time_out(self):
        # About fifteen lines 0.4 s apart: 6 s for headers allowed 2.
        self.fault.set("/slow-headers", Reply(b"data", header_delay=0.4, header_padding=10 * 1012))
        host, win = self.dest()
        started = time.monotonic()
        r = fetch(*(self.BOUNDS + [self.fault.url("/slow-headers"), win]), timeout=120)
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(r.rc, 6, r.describe())
        self.assertEqual(reported_winhttp_error(r), ("WinHttpReceiveResponse", ERROR_WINHTTP_TIMEOUT))
        self.assertEvents(r, [INIT, START, http_error("WinHttpReceiveResponse", ERROR_WINHTTP_TIMEOUT), CLEANED])
        self.assertFalse(os.path.exists(host))

    def test_a_body_below_the_rate_over_a_window_fails_as_a_time_out_keeping_what_arrived(self):
        data = os.urandom(100000)
        # 200 bytes a second.
        self.fault.set("/trickle", Reply(data, chunk_size=100, chunk_delay=0.5))
        host, win = self.dest()
        started = time.monotonic()
        r = fetch(*(self.BOUNDS + [self.fault.url("/trickle"), win]), timeout=120)
        elapsed = time.monotonic() - started
        self.assertEqual(r.rc, 166, r.describe())
        self.assertEvents(r, [INIT, START, FRESH, TOO_SLOW, CLEANED])
        self.assertGreaterEqual(elapsed, 3)
        self.assertLess(elapsed, 60)
        kept = harness.read(host)
        self.assertTrue(0 < len(kept) < len(data))
        self.assertEqual(kept, data[:len(kept)])

    def test_bodies_at_or_above_the_rate_and_headers_within_the_size_complete(self):
        cases = [
            # 8 KiB a second for about five seconds: every window well above.
            ("steady", Reply(os.urandom(40960), chunk_size=4096, chunk_delay=0.5), self.BOUNDS),
            ("fast", Reply(os.urandom(3 * 1024 * 1024)), self.BOUNDS),
            # 40 KiB of headers, with the real bounds.
            ("big-headers", Reply(os.urandom(1000), header_padding=40 * 1024), []),
        ]
        for name, reply, bounds in cases:
            with self.subTest(case=name):
                self.fault.set("/" + name, reply)
                host, win = self.dest(name + ".bin")
                r = fetch(*(bounds + [self.fault.url("/" + name), win]), timeout=120)
                self.assertEqual(r.rc, 0, r.describe())
                self.assertEvents(r, [INIT, START, FRESH] + DONE + [CLEANED])
                self.assertEqual(harness.read(host), reply.body)


if __name__ == "__main__":
    unittest.main()
