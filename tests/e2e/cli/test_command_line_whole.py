"""A command line is understood whole or not acted on: with any command on it, a word that is no
option's value or an option that is not understood stops the run with exit status 1 before
anything is done (no updater directory, no server query, no device opened). Runs as a user
without a password entry inside a private network namespace, as test_cli.py does."""

import os
import shutil
import tempfile
import unittest
from pathlib import Path

from support.common import RUN_UID, UPDATER, in_namespace, run_updater

GOLDEN = Path(os.environ.get("SRC_DIR", Path(__file__).resolve().parents[3])) / "tests" / "golden"
DEAD_SERVER = "http://127.0.0.1:9/cgi/u"
VERSION = "Updater (Version: 1.1 Apr 26 2023)\n"
COPYRIGHT = "(Copyright (c) 2023 Tessaron Instruments. All rights reserved.)\n"


@unittest.skipUnless(UPDATER, "UPDATER_BIN is not set")
class WholeCommandLine(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: every run happens in a private network namespace")
        self.home = Path(tempfile.mkdtemp(prefix="updater_whole_"))
        os.chmod(self.home, 0o755)
        os.chown(self.home, RUN_UID, RUN_UID)
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)
        (self.home / "fw.bird").write_bytes(b"bird\x01\x01")
        self.usage = (GOLDEN / "bare.stderr").read_text()

    def run_updater(self, *args):
        return run_updater(args, self.home, cwd=self.home, enter=in_namespace)

    def assert_nothing_done(self, args, errors):
        run = self.run_updater(*args)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.stdout, VERSION + COPYRIGHT)
        self.assertEqual(run.stderr, "".join(line + "\n" for line in errors) + self.usage)
        self.assertFalse((self.home / ".tessaron").exists(), "the run did something")

    def test_stray_word_with_each_command(self):
        cases = [
            (["-U", "-d", "40F5849A", "fw.bird", "-u", DEAD_SERVER],
             ["Unexpected word on the command line: [fw.bird]; did you mean -f?"]),
            (["-U", "-t", "RECOVER", "-s", "/nonexistent/tty", "115200"],
             ["Unexpected word on the command line: [115200]"]),
            (["-G", "-d", "40F5849A", "1234", "-u", DEAD_SERVER], ["Unexpected word on the command line: [1234]"]),
            (["-D", "TCP"], ["Unexpected word on the command line: [TCP]"]),
            (["-I", "-d", "40F5849A", "later"], ["Unexpected word on the command line: [later]"]),
            (["-C", "fw.bird"], ["Unexpected word on the command line: [fw.bird]; did you mean -f?"]),
            (["-N", "-s", "/nonexistent/tty", "\x1b[31mred"], ["Unexpected word on the command line: [?[31mred]"]),
            (["-B", "-d", "40F5849A", "two", "words", "-u", DEAD_SERVER],
             ["Unexpected word on the command line: [two]", "Unexpected word on the command line: [words]"]),
        ]
        for args, errors in cases:
            with self.subTest(args=args):
                self.assert_nothing_done(args, errors)

    def test_misunderstood_option_with_each_command(self):
        cases = [
            (["-U", "-d", "40F5849A", "-F=fw.bird", "-u", DEAD_SERVER], "Unknown option: [-F=fw.bird]"),
            (["-G", "-d", "40F5849A", "-b", "-u", DEAD_SERVER], "Option [-b] requires an argument"),
            (["-D", "-tUSB"], "Unknown option: [-tUSB]"),
            (["-I", "-d=40F5849A", "-Q"], "Unknown option: [-Q]"),
            (["-C", "-f", "fw.bird", "--f"], "Unknown option: [--f]"),
            (["-N", "-s", "/nonexistent/tty", "-o"], "Option [-o] requires an argument"),
            (["-B", "-d", "40F5849A", "-N=1", "-u", DEAD_SERVER], "Option [-N] takes no argument"),
        ]
        for args, error in cases:
            with self.subTest(args=args):
                self.assert_nothing_done(args, [error])

    def test_without_a_command_the_short_usage_stays(self):
        run = self.run_updater("fw.bird", "-d", "40F5849A")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.stderr, self.usage)
        self.assertFalse((self.home / ".tessaron").exists())


if __name__ == "__main__":
    unittest.main()
