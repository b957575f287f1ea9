"""Damaged bird files end to end: a file that was not read whole, does not add up, or is not the
build asked for is refused by -C (exit 1, naming every fault) and by -U before the module hears a
single packet. Runs inside a private network namespace (sim/netns_run.sh), as the -U tests do."""

import re
import unittest
import zlib

from support import updater as e2e
from support.updater import mkbird

SERIAL = "0F5849A1"
SERIAL_NUMBER = 0x0F5849A1
FIRMWARE = e2e.firmware_image(1234, "3.2.1")
UNCHANGED = "Device %s was left unchanged: nothing was written, it still runs its old firmware" % SERIAL


def blocks(firmware_length=None, build=1234):
    return [mkbird.loader_block(e2e.LOADER_ADDRESS, e2e.loader_image()),
            mkbird.firmware_block(e2e.FIRMWARE_ADDRESS, FIRMWARE, length=firmware_length),
            mkbird.info_block(build=build, version="3.2.1", serial=SERIAL_NUMBER, model="Osprey")]


def cut_mid_firmware():
    """The block list cut 100 bytes into the firmware image (a sound zlib stream of a cut list)."""
    listed = mkbird.block_list(blocks())
    loader_end = 4 + 5 + 4 + len(e2e.loader_image())
    return mkbird.wrap(listed[:loader_end + 5 + 4 + 100])


def with_bytes_after_stream():
    return mkbird.wrap(b"", payload=zlib.compress(mkbird.block_list(blocks())) + b"\x00\x01")


FIRMWARE_BLOCK = "block 2 (type 1, %d bytes)" % (len(FIRMWARE) + 4)

lit = re.escape

# (file name, file bytes, the fault as -C and -U name it: a regular expression)
CASES = [
    ("cut.bird", cut_mid_firmware(),
     lit(FIRMWARE_BLOCK + " runs past the end of the block list (104 bytes left)")),
    ("length.bird", mkbird.make(blocks(firmware_length=0xFFFFFFFF)),
     lit("block 2 (type 1, 4294967295 bytes) runs past the end of the block list (") + r"\d+ bytes left\)"),
    ("count-high.bird", mkbird.make(blocks(), count=4), lit("the block list reports 4 blocks but holds 3")),
    ("count-low.bird", mkbird.make(blocks(), count=2), lit("the block list reports 2 blocks but holds 3")),
    ("after-checksum.bird", mkbird.make(blocks(), trailing=b"\x00\x00\x07"),
     lit("3 bytes after the block list's checksum")),
    ("after-stream.bird", with_bytes_after_stream(), lit("2 bytes after the end of the compressed block list")),
    ("no-checksum.bird", mkbird.make(blocks(), omit_checksum=True),
     lit("the block list ends without its checksum (0 bytes left)")),
    ("signature.bird", mkbird.make(blocks(), signature=b"BIRD"), lit('the signature is 0x42495244, not "bird"')),
    ("version.bird", mkbird.make(blocks(), version=0x0100), lit("the format version 0x0100 has a zero byte")),
    ("both.bird", mkbird.make(blocks(), version=0x0001, count=9),
     lit("the format version 0x0001 has a zero byte; the block list reports 9 blocks but holds 3")),
]


@e2e.inside_only
class DamagedFiles(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000,reboot_ms=300,"
                        "load_restart_ms=300" % SERIAL)
        self.no_server = e2e.closed_port_url()

    def assert_untouched(self):
        self.assertEqual(self.sim.packets(SERIAL, "RX"), [], "the module was sent packets")
        self.assertEqual(self.sim.state(SERIAL)["build"], 1000)

    def assert_line(self, lines, pattern):
        self.assertTrue(any(re.fullmatch(pattern, line) for line in lines), "%r not in %r" % (pattern, lines))

    def test_check_and_update_refuse_every_damaged_file(self):
        for name, data, pattern in CASES:
            with self.subTest(name):
                (self.work.cwd / name).write_bytes(data)
                check = self.work.run("-C", "-f", name)
                self.assertEqual(check.status, 1, check)
                self.assert_line(check.err_lines, re.escape("Check of %s failed: " % name) + pattern)
                self.assertNotIn("Sound bird file", check.stdout)
                update = self.work.run("-U", "-d", SERIAL, "-f", name, "-u", self.no_server)
                self.assertEqual(update.status, 1, update)
                self.assertEqual(update.err_lines[-2:], ["Failed to load bird file", UNCHANGED], update)
                self.assert_line(update.err_lines, re.escape("Bird file %s is damaged: " % name) + pattern)
                self.assertNotIn("Transferring", update.stdout)
                self.assert_untouched()

    def test_stored_file_holding_another_build_is_refused_with_both_numbers(self):
        stored = e2e.Bird(self.work.device(SERIAL) / "1234.bird", 999, serial=SERIAL_NUMBER)
        self.work.give_store_to_runner()
        refusal = "Bird file %s holds build 999, not build 1234" % stored.path
        update = self.work.run("-U", "-d", SERIAL, "-b", "1234", "-u", self.no_server)
        self.assertEqual(update.status, 1, update)
        self.assertEqual(update.err_lines, [refusal, "Failed to load bird file", UNCHANGED], update)
        # A file named with -f is held to a build asked for with -b as well.
        e2e.Bird(self.work.cwd / "fw.bird", 999, serial=SERIAL_NUMBER)
        update = self.work.run("-U", "-d", SERIAL, "-f", "fw.bird", "-b", "1234", "-u", self.no_server)
        self.assertEqual(update.status, 1, update)
        self.assertEqual(update.err_lines, ["Bird file fw.bird holds build 999, not build 1234",
                                            "Failed to load bird file", UNCHANGED], update)
        self.assert_untouched()
        check = self.work.run("-C", "-f", "fw.bird", "-b", "1234")
        self.assertEqual((check.status, check.err_lines),
                         (1, ["Check of fw.bird failed: Bird file fw.bird holds build 999, not build 1234"]))
        check = self.work.run("-C", "-d", SERIAL)
        self.assertEqual(check.status, 1, check)
        self.assertIn("Check of %s failed: %s" % (stored.path, refusal), check.err_lines)

    def test_damaged_stored_build_is_refused_before_connecting(self):
        path = self.work.device(SERIAL) / "1234.bird"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(mkbird.make(blocks(), count=4))
        e2e.write_settings(self.work.device(SERIAL), {"LATEST_DOWNLOAD": "1234.bird"})
        self.work.give_store_to_runner()
        update = self.work.run("-U", "-d", SERIAL, "-u", self.no_server)
        self.assertEqual(update.status, 1, update)
        self.assertIn("Bird file %s is damaged: the block list reports 4 blocks but holds 3" % path,
                      update.err_lines)
        self.assert_untouched()
        check = self.work.run("-C", "-d", SERIAL)
        self.assertEqual(check.status, 1, check)
        self.assertIn("Check of %s failed: the block list reports 4 blocks but holds 3" % path, check.err_lines)

    def test_run_with_a_failed_check_fails_though_the_update_succeeds(self):
        good = self.work.put_build(SERIAL, 1234)
        damaged = self.work.device(SERIAL) / "1300.bird"
        damaged.write_bytes(mkbird.make(blocks(build=1300), count=2))
        self.work.give_store_to_runner()
        result = self.work.run("-C", "-d", SERIAL, "-U", "-b", "1234", "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Check of %s failed: the block list reports 2 blocks but holds 3" % damaged, result.err_lines)
        self.sim.control.wait_for(SERIAL, lambda s: s["online"] and s["mode"] == "firmware", timeout=10)
        self.assertEqual(self.sim.dumped(SERIAL, "firmware", e2e.FIRMWARE_ADDRESS), good.firmware)
        self.assertEqual(self.work.settings(SERIAL).get("LATEST_TRANSFER"), "1234.bird")


Outside = e2e.namespace_suite("cli.test_bird_integrity", "DamagedFiles")


if __name__ == "__main__":
    unittest.main()
