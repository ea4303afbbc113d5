"""A progress pipe that never exists: the helper retries for its 30000 ms
window, then gives up with exit 7. Kept apart because it takes that long."""
import time
import unittest

import harness
import pipetools
from pipetools import PipeServer, run_elevated


class MissingPipe(unittest.TestCase):
    def test_retries_for_the_window_then_exits_7_without_usage_or_events(self):
        scratch = harness.Scratch("nopipe")
        name = pipetools.pipe_name("never")
        # The caller is there but never creates its pipe.
        server = PipeServer(scratch, name, "--never")
        try:
            # The pipe is connected before help is considered: no usage.
            args = ["--remove", "--target", scratch.winpath("missing"), "--help", "--progress-pipe", name]
            started = time.monotonic()
            r = run_elevated(args)
            elapsed = time.monotonic() - started
        finally:
            server.stop()
            scratch.cleanup()
        self.assertEqual(r.returncode, 7, r)
        self.assertEqual(r.stderr, ("Error: Failed to connect to progress pipe: " + name + "\n").encode())
        self.assertEqual(r.stdout, b"")
        self.assertGreaterEqual(elapsed, 29.5)


if __name__ == "__main__":
    unittest.main()
