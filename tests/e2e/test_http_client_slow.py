"""The download client's time-outs and progress events, against servers that
stall or send slowly. Apart from the others because each case takes seconds.
"""
import datetime
import os
import unittest

import harness
from harness import read
from httpfetch import CLEANED, DONE, FRESH, INIT, START, EventsMixin, fetch, http_error, mapped, reported_winhttp_error
from servers import FaultServer, NginxServer, StalledListener

SMALL = os.urandom(1000)


def stamp(event):
    return datetime.datetime.strptime(event["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ")


def ms_between(a, b):
    return (stamp(b) - stamp(a)).total_seconds() * 1000.0


class HttpClientSlowTest(EventsMixin, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fault = FaultServer().start()
        cls.nginx = NginxServer(slow_rate="256k").start()
        cls.slow_data = os.urandom(1600000)
        cls.nginx.put("slow.bin", cls.slow_data)
        cls.nginx.put("small.bin", SMALL)

    @classmethod
    def tearDownClass(cls):
        cls.fault.stop()
        cls.nginx.stop()

    def setUp(self):
        self.scratch = harness.Scratch("http-slow")
        self.fault.clear_log()

    def tearDown(self):
        self.scratch.cleanup()

    def dest(self, name="out.bin"):
        return self.scratch.path(name), self.scratch.winpath(name)

    # -- time-outs ---------------------------------------------------------
    def test_connect_time_out(self):
        with StalledListener() as stalled:
            host, win = self.dest()
            r = fetch(stalled.url("/x"), win)
        self.assertEqual(r.rc, 6, r.describe())
        self.assertEvents(r, [INIT, START, http_error("WinHttpSendRequest", 12002), CLEANED])
        self.assertFalse(os.path.exists(host))

    def test_body_that_stalls_past_the_receive_time_out(self):
        data = os.urandom(100000)
        self.fault.set("/stall", body=data, stall_after=50000, stall_for=45)
        host, win = self.dest()
        r = fetch(self.fault.url("/stall"), win)
        call, code = reported_winhttp_error(r)
        # Windows reports 12002 (6); Wine passes on the socket's 10060.
        self.assertIn(code, (12002, 10060), r.describe())
        self.assertIn(call, ("WinHttpQueryDataAvailable", "WinHttpReadData"))
        self.assertEqual(r.rc, mapped(code))
        self.assertEvents(r, [INIT, START, FRESH, http_error(call, code), CLEANED])
        self.assertEqual(read(host), data[:50000])

    # -- progress events ---------------------------------------------------
    def check_cadence(self, r, total_known):
        """Progress events at least 2 s apart, the first 2 s after the first
        chunk, percent rising; their number bounded by the time taken."""
        self.assertEqual(r.rc, 0, r.describe())
        progress = r.progress_events()
        self.assertTrue(progress, r.describe())
        fresh = next(e for e in r.events if e.get("status") == "starting_fresh")
        done = next(e for e in r.events if e["event_type"] == "completion")
        # Timestamps are whole milliseconds of the wall clock.
        self.assertGreaterEqual(ms_between(fresh, progress[0]), 1999)
        for a, b in zip(progress, progress[1:]):
            self.assertGreaterEqual(ms_between(a, b), 1999)
        self.assertLessEqual(len(progress), ms_between(fresh, done) / 2000.0)
        percents = [e["progress"] for e in progress]
        self.assertEqual(percents, sorted(percents))
        if total_known:
            self.assertTrue(all(0 <= p <= 100 for p in percents), percents)
        else:
            self.assertEqual(set(percents), {0})
        self.assertEvents(r, [INIT, START, FRESH] + [("progress", "download", p) for p in percents] + DONE +
                          [CLEANED])

    def test_progress_every_two_seconds_on_a_slow_body(self):
        data = os.urandom(65536 * 70)
        for name, reply in (("known length", dict(body=data, chunk_size=65536, chunk_delay=0.1)),
                            ("unknown length", dict(body=data, chunk_size=65536, chunk_delay=0.1,
                                                    content_length=None))):
            with self.subTest(case=name):
                self.fault.set("/slow", **reply)
                host, win = self.dest()
                r = fetch("--log-progress", self.fault.url("/slow"), win)
                self.check_cadence(r, name == "known length")
                self.assertEqual(read(host), data)
                # The percent of each event is that of the chunk it follows.
                callback_percents = {int(c["percent"]) for c in r.callbacks}
                self.assertTrue({e["progress"] for e in r.progress_events()} <= callback_percents)

    def test_progress_on_a_rate_limited_nginx_download(self):
        host, win = self.dest()
        r = fetch(self.nginx.url("/slow/slow.bin"), win)
        self.check_cadence(r, True)
        self.assertEqual(read(host), self.slow_data)

    def test_quick_download_reports_no_progress(self):
        host, win = self.dest()
        r = fetch(self.nginx.url("/small.bin"), win)
        self.assertEqual(r.rc, 0, r.describe())
        self.assertEvents(r, [INIT, START, FRESH] + DONE + [CLEANED])

    def test_progress_clock_is_shared_by_the_downloads_of_a_process(self):
        # The first chunk the process receives starts the clock; a later
        # download reports at its first chunk once 2 s have passed.
        host, win = self.dest("a.bin")
        host2, win2 = self.dest("b.bin")
        r = fetch("--pause-ms", 2500, self.nginx.url("/small.bin"), win, self.nginx.url("/small.bin"), win2)
        self.assertEqual(r.rc, 0, r.describe())
        self.assertEvents(r, [INIT, START, FRESH] + DONE + [START, FRESH, ("progress", "download", 100)] + DONE +
                          [CLEANED])
        self.assertEqual(read(host2), SMALL)


if __name__ == "__main__":
    unittest.main()
