"""-C, -I and -k end to end: the built Updater checks bird files (alone, against a simulated
module, and every stored build of a device), shows what the store keeps on a device after a -G
and a -U against the simulators, and copies its log records into a file. Runs inside a private
network namespace (sim/netns_run.sh), as the -U tests do, because -C and -I -D look for modules."""

import json
import os
import re
import unittest

from support import updater as e2e
from support.updater import mkbird

SERIAL = "0F5849A1"
SERIAL_NUMBER = 0x0F5849A1
OTHER = "0F5849A2"
VERSION_LINE = "Updater (Version: 1.1 Apr 26 2023)"
STAMP = r"[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2} \| "
DATE = r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}"


class Case(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000,reboot_ms=300,"
                        "load_restart_ms=300" % SERIAL)
        self.no_server = e2e.closed_port_url()

    def write(self, name, blocks, **options):
        path = self.work.cwd / name
        path.write_bytes(mkbird.make(blocks, **options))
        return path

    def blocks(self, serial=SERIAL_NUMBER, model="Osprey", firmware=True, offsets=None):
        blocks = [mkbird.loader_block(e2e.LOADER_ADDRESS, e2e.loader_image()),
                  mkbird.info_block(build=1234, version="3.2.1", serial=serial, model=model)]
        if firmware:
            blocks.insert(1, mkbird.firmware_block(e2e.FIRMWARE_ADDRESS, e2e.firmware_image(1234, "3.2.1")))
        if offsets:
            blocks.append(mkbird.serial_offsets_block(*offsets))
        return blocks


@e2e.inside_only
class Check(Case):
    def test_table_of_files(self):
        fw_length = len(e2e.firmware_image(1234, "3.2.1")) + 4
        facts = ["  Format version: 0x0101", "  Build:          1234", "  Version:        3.2.1"]
        loader_line = "     1: loader                 flags 0  length 304      address 0x10000000"
        firmware_line = "     2: firmware               flags 0  length %-8d address 0x00000000" % fw_length
        sound = "Sound bird file: -U would accept it for device %s" % SERIAL
        cases = [
            # name, blocks/options, -d, exit status, stdout lines that must appear, stderr
            ("specific.bird", dict(blocks=self.blocks()), SERIAL, 0,
             facts + ["  Serial number:  %s" % SERIAL, "  Model:          Osprey", "  Blocks:         3",
                      loader_line, firmware_line, sound], []),
            ("generic.bird", dict(blocks=self.blocks(serial=0, offsets=(0x100, 0x200))), SERIAL, 0,
             ["  Serial number:  generic", "  Blocks:         4",
              "  Serial-number offsets: serial number 0x00000100, descriptor 0x00000200", sound], []),
            ("alone.bird", dict(blocks=self.blocks()), None, 0, ["Sound bird file"], []),
            ("kestrel.bird", dict(blocks=self.blocks(model="Kestrel")), SERIAL, 1, ["  Model:          Kestrel"],
             ["Check of kestrel.bird failed: Connected device model and Bird file model do not match [Osprey]"]),
            ("other.bird", dict(blocks=self.blocks(serial=0x12345678)), SERIAL, 1, ["  Serial number:  12345678"],
             ["Check of other.bird failed: Bird serial number 12345678 does not match device %s" % SERIAL]),
            ("nofirmware.bird", dict(blocks=self.blocks(firmware=False)), None, 1, ["  Blocks:         2"],
             ["Check of nofirmware.bird failed: Bird file nofirmware.bird holds no usable firmware image"]),
            ("zlib.bird", dict(blocks=self.blocks(), corrupt="garbage"), SERIAL, 1, [],
             ["Check of zlib.bird failed: Failed to load bird data: zlib error -3 decompressing the block list"]),
            ("truncated.bird", dict(blocks=self.blocks(), truncate=200), None, 1, [],
             ["Check of truncated.bird failed: Failed to load bird data: zlib error -3 decompressing the block list"]),
            ("count.bird", dict(blocks=self.blocks(), count=4), None, 1,
             ["  Warning: Block parsing mismatch in number of blocks. (3 != 4)"],
             ["Check of count.bird failed: the block list reports 4 blocks but holds 3"]),
        ]
        for name, spec, device, status, out, err in cases:
            with self.subTest(name):
                self.write(name, **spec)
                args = ["-C", "-f", name] + (["-d", device] if device else [])
                result = self.work.run(*args)
                self.assertEqual(result.status, status, result)
                self.assertEqual(result.out_lines[:2], [VERSION_LINE] + (
                    ["Device %s: model Osprey" % SERIAL] if device else ["Bird file: " + name]))
                for line in out:
                    self.assertIn(line, result.out_lines, result)
                self.assertEqual(result.err_lines, err)
                if status:
                    self.assertNotIn("Sound bird file", result.stdout)
        # A FIFO is refused at once (opening it would wait for a writer), a directory as well.
        os.mkfifo(str(self.work.cwd / "fifo.bird"))
        (self.work.cwd / "dir.bird").mkdir()
        for name in ("fifo.bird", "dir.bird"):
            with self.subTest(name):
                result = self.work.run("-C", "-f", name, timeout=20)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines,
                                 ["Check of %s failed: Bird file %s is not a regular file" % (name, name)])
        # A check writes nothing into the module.
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x00), [])

    def test_device_that_does_not_answer(self):
        self.write("specific.bird", self.blocks(serial=0x0F5849A2))
        result = self.work.run("-C", "-f", "specific.bird", "-d", OTHER)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[1], "Device %s does not answer; its model is not checked" % OTHER)
        self.assertEqual(result.out_lines[-1], "Sound bird file for device %s (model not checked)" % OTHER)

    def test_every_stored_build_of_a_device(self):
        self.work.put_build(SERIAL, 1234)
        self.work.put_build(SERIAL, 99)
        broken = self.work.device(SERIAL) / "1300.bird"
        broken.write_bytes(b"bird\x01\x00" + b"x" * 40)
        self.work.give_store_to_runner()
        result = self.work.run("-C", "-d", SERIAL)
        self.assertEqual(result.status, 1, result)
        files = [line for line in result.out_lines if line.startswith("Bird file: ")]
        self.assertEqual(files, ["Bird file: %s/%s" % (self.work.device(SERIAL), name)
                                 for name in ("99.bird", "1234.bird", "1300.bird")])
        self.assertEqual(result.stdout.count("Sound bird file: -U would accept it"), 2)
        self.assertEqual(result.err_lines, ["Check of %s failed: Invalid bird %s" % (broken, broken)])

        self.assertEqual(self.work.run("-C", "-d", OTHER).err_lines, ["No stored information for device %s" % OTHER])


@e2e.inside_only
class Info(Case):
    def server(self):
        root = self.work.root / "server"
        e2e.Bird(root / SERIAL / "1234.bird", 1234, serial=SERIAL_NUMBER)
        (root / SERIAL / "meta.json").write_text(json.dumps({"latest": "1234"}))
        return e2e.UpdateServer(self, root).url

    def test_after_get_and_update(self):
        url = self.server()
        for args in (["-G"], ["-U"]):
            result = self.work.run(*args, "-d", SERIAL, "-u", url)
            self.assertEqual(result.status, 0, result)
        (self.work.device(SERIAL) / "77.bird").write_bytes(b"not a bird file")
        result = self.work.run("-I", "-d", SERIAL)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        lines = result.out_lines
        self.assertEqual(lines[:3], [VERSION_LINE, "Device " + SERIAL,
                                     "  Directory:          %s" % self.work.device(SERIAL)])
        self.assertRegex(lines[3], r"^  Latest download:    1234\.bird \(%s\)$" % DATE)
        self.assertRegex(lines[4], r"^  Latest transfer:    1234\.bird \(%s\)$" % DATE)
        self.assertRegex(lines[5], r"^  CREATED_TIME:       %s$" % DATE)
        self.assertRegex(lines[6], r"^  UPDATED_TIME:       %s$" % DATE)
        self.assertEqual(lines[7:11], [
            "  Builds in the store:",
            "    77.bird         Invalid bird %s/77.bird" % self.work.device(SERIAL),
            "    1234.bird       build 1234, version 3.2.1",
            "  History (oldest first):"])
        # The update's record; the download alone is none.
        self.assertRegex(lines[11], r"^    20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ  update  1000 -> 1234  updated$")
        self.assertEqual(len(lines), 12, lines)

    def test_unknown_device(self):
        result = self.work.run("-I", "-d", OTHER)
        self.assertEqual((result.status, result.out_lines), (1, [VERSION_LINE]), result)
        self.assertEqual(result.err_lines, ["No stored information for device %s" % OTHER])
        self.assertFalse(self.work.device(OTHER).exists())

    def test_settings_file_that_cannot_be_read_is_left_alone(self):
        self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird")
        settings = self.work.device(SERIAL) / ".settings"
        os.chown(settings, 0, 0)
        os.chmod(settings, 0o600)
        result = self.work.run("-I", "-d", SERIAL)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, ["Settings file in %s cannot be read: Permission denied"
                                            % self.work.device(SERIAL)])
        self.assertEqual(result.out_lines[-1], "    1234.bird       build 1234, version 3.2.1")
        self.assertEqual(settings.read_text(), "LATEST_DOWNLOAD=1234.bird\n")

    def test_every_discovered_device(self):
        self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird")
        result = self.work.run("-I", "-D", "-t", "TCP")
        self.assertEqual(result.status, 0, result)
        at = result.out_lines.index("Device " + SERIAL)
        self.assertEqual(result.out_lines[at + 2], "  Latest download:    1234.bird")
        self.assertEqual(result.out_lines[-1], "    1234.bird       build 1234, version 3.2.1")
        self.assertTrue(any(line.startswith("    %s  02" % SERIAL) for line in result.out_lines[:at]))


@e2e.inside_only
class LogFile(Case):
    def test_records_also_go_to_the_file(self):
        self.write("good.bird", self.blocks())
        plain = self.work.run("-X", "0x8", "-C", "-f", "good.bird")
        logged = self.work.run("-X", "0x8", "-k", "run.log", "-C", "-f", "good.bird")
        self.assertEqual((logged.status, logged.stdout, logged.stderr), (plain.status, plain.stdout, plain.stderr))
        self.assertIn("BIRDFILE: Loading File [good.bird]", plain.err_lines)
        log = (self.work.cwd / "run.log").read_text().splitlines()
        self.assertEqual([re.sub("^" + STAMP, "", line) for line in log if line], plain.err_lines)
        for line in log:
            if line:
                self.assertRegex(line, "^" + STAMP)
        # Appended: a second run adds its records after the first run's.
        self.work.run("-X", "0x8", "-k", "run.log", "-C", "-f", "good.bird")
        self.assertEqual(len((self.work.cwd / "run.log").read_text().splitlines()), 2 * len(log))

    def test_unwritable_file_warns_once(self):
        self.write("good.bird", self.blocks())
        plain = self.work.run("-X", "0x8", "-C", "-f", "good.bird")
        result = self.work.run("-X", "0x8", "-k", "/nonexistent/run.log", "-C", "-f", "good.bird")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines,
                         ["Warning: could not write log file /nonexistent/run.log: No such file or directory"]
                         + plain.err_lines)
        self.assertEqual(result.stdout, plain.stdout)


Outside = e2e.namespace_suite("cli.test_check_info", "Check", "Info", "LogFile")


if __name__ == "__main__":
    unittest.main()
