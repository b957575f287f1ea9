"""The update server's words and bodies against the built Updater (-G, -B), sim/update_server.py
on 127.0.0.1: a refusal's reason reaches the user, made printable and cut; debug records (-X)
carry no control character of the server's; a build body is refused as soon as it passes what
the largest valid bird file can encode, and one that streams endlessly, fast or just above the
low-speed floor, ends with its cause. Peak memory is measured in bench/download_memory.py.

The Updater runs as a user id without a password entry with HOME in a temporary directory."""

import json
import os
import re
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

SIM_DIR = Path(os.environ.get("SIM_DIR", Path(__file__).resolve().parents[3] / "sim"))
sys.dont_write_bytecode = True
sys.path.insert(0, str(SIM_DIR))
import mkbird  # noqa: E402
from support.common import RUN_UID, UPDATER, UpdateServer, run_updater, store_dir  # noqa: E402
from support.common import sanitizer_builds_skip  # noqa: E402

SERIAL = "0012ABCD"
DOWNLOAD_FAILED = "Download of build 12 for device %s failed: " % SERIAL
# What a valid build's reply can be at most: the Base64 text of the largest bird file read
# (65 MiB) and 4 KiB for its lines.
MAX_BUILD_REPLY = 4 * ((65 * 1024 * 1024 + 2) // 3) + 4096
# The slow body must end within the average-rate grace (30 s) and a few seconds of slack.
SLOW_END_S = 60


@unittest.skipUnless(UPDATER and os.access(UPDATER, os.X_OK) and os.geteuid() == 0,
                     "needs root and UPDATER_BIN")
class ServerWords(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="test_download_bounds."))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        os.chmod(self.work, 0o755)
        self.home = self.work / "home"
        self.home.mkdir()
        os.chown(self.home, RUN_UID, RUN_UID)
        self.root = self.work / "server"
        device = self.root / SERIAL
        device.mkdir(parents=True)
        (device / "12.bird").write_bytes(mkbird.simple_file(build=12, version="1.0", model="Osprey",
                                                            firmware=bytes(range(256)), loader=b"\x10" * 64))
        (device / "meta.json").write_text(json.dumps({"versions": {"12": "1.0"}, "latest": "12"}))
        self.device = store_dir(self.home) / SERIAL

    def server(self, *faults):
        return UpdateServer(self, self.root, *[a for f in faults for a in ("--fault", f)])

    def run_updater(self, *args, timeout=120):
        return run_updater(args, self.home, timeout=timeout)

    def stored(self):
        return sorted(p.name for p in self.device.iterdir()) if self.device.exists() else []

    def test_refusal_reason_is_shown_printable_and_cut(self):
        long_reason = "r" * 250
        cases = [
            ("body=error%0Ano build 12 for you%0A&ops=bird",
             DOWNLOAD_FAILED + 'the update server answered "error": no build 12 for you'),
            ("body=error%0D%0Aquota %1B[2Jexceeded%07%0D%0A&ops=bird",
             DOWNLOAD_FAILED + 'the update server answered "error": quota ?[2Jexceeded?'),
            ("body=error%0A" + long_reason + "%0A&ops=bird",
             DOWNLOAD_FAILED + 'the update server answered "error": ' + "r" * 200 + "..."),
            ("body=error%0A&ops=bird", DOWNLOAD_FAILED + 'the update server answered "error" instead of "ok"'),
        ]
        for fault, line in cases:
            with self.subTest(fault=fault):
                server = self.server(fault)
                result = self.run_updater("-G", "-d", SERIAL, "-u", server.url)
                self.assertEqual(result.status, 1, result)
                self.assertIn(line, result.err_lines)
                self.assertNotIn("\x1b", result.stderr)
                self.assertEqual(self.stored(), [".settings"])
                server.stop()

    def test_debug_records_escape_the_servers_control_characters(self):
        hostile = "ok%0A12%1B]0;owned%07%9B2J%C2%9B1m%0Afw-osprey%0A"
        server = self.server("body=" + hostile + "&ops=qu", "body=error%0Abad%1B[5m%0A&ops=bird")
        result = self.run_updater("-X", "0x21", "-G", "-d", SERIAL, "-u", server.url)
        self.assertEqual(result.status, 1, result)
        # Output is read byte for byte (latin-1): no ESC, BEL or C1 control byte reached it.
        for control in ("\x1b", "\x07", "\x9b"):
            self.assertNotIn(control, result.stderr)
        # The reply as the record shows it: one "?" for each byte of a control.
        self.assertIn("[ok\n12?]0;owned??2J??1m\nfw-osprey\n]", result.stderr)
        self.assertIn('the update server answered "error": bad?[5m', result.stderr)

    def test_body_over_the_bound_is_refused(self):
        cases = [
            # declared too long: refused before the body is read
            ("huge=%d&ops=bird" % (MAX_BUILD_REPLY + 1), 20),
            # no length declared, streamed at full speed without end
            ("endless&limit=120&ops=bird", 60),
        ]
        for fault, bound in cases:
            with self.subTest(fault=fault):
                server = self.server(fault)
                start = time.monotonic()
                result = self.run_updater("-G", "-d", SERIAL, "-u", server.url, timeout=bound)
                self.assertEqual(result.status, 1, result)
                self.assertIn(DOWNLOAD_FAILED + "reply body exceeds %d bytes" % MAX_BUILD_REPLY, result.err_lines)
                self.assertLess(time.monotonic() - start, bound)
                self.assertEqual(self.stored(), [".settings"])
                server.stop()

    @sanitizer_builds_skip("it sits out the low-speed bound; the unit tests run the same code with "
                           "short bounds")
    def test_body_just_above_the_low_speed_floor_ends(self):
        server = self.server("endless&rate=1200&limit=600&ops=bird")
        result = self.run_updater("-G", "-d", SERIAL, "-u", server.url, timeout=SLOW_END_S)
        self.assertEqual(result.status, 1, result)
        pattern = re.escape(DOWNLOAD_FAILED + "the update server sent ") + r"\d+ bytes in 3\d s, less than 16384 " \
            r"bytes a second on average"
        self.assertTrue(any(re.fullmatch(pattern, line) for line in result.err_lines), result.err_lines)
        self.assertEqual(self.stored(), [".settings"])


if __name__ == "__main__":
    unittest.main()
