"""-U end to end: the built Updater installs firmware into a simulated module over TCP/IP inside
a private network namespace, with the update server on 127.0.0.1 and the store in a temporary
HOME. Every success is checked in the simulator's memory (loader and firmware byte for byte),
in the module's new build after its reboot, and in the transfer record of the settings file;
every failure leaves no transfer record."""

import json
import os
import re
import struct
import unittest
import urllib.request
from concurrent.futures import ThreadPoolExecutor

from support import updater as e2e

SERIAL = "0F5849A1"
SERIAL_NUMBER = 0x0F5849A1
VERSION_LINE = "Updater (Version: 1.1 Apr 26 2023)"
UPDATE_TIME = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")
# The last error line of a failure that wrote nothing.
UNCHANGED = "Device %s was left unchanged: nothing was written, it still runs its old firmware"


class UpdateCase(unittest.TestCase):
    module_keys = ""

    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000,reboot_ms=300,"
                        "load_restart_ms=300%s" % (SERIAL, self.module_keys))
        self.no_server = e2e.closed_port_url()

    def server(self, builds, latest=None):
        """The update server with these builds of the device (number: Bird)."""
        root = self.work.root / "server"
        device = root / SERIAL
        for build in builds:
            e2e.Bird(device / ("%d.bird" % build), build, serial=SERIAL_NUMBER)
        if latest is not None:
            (device / "meta.json").write_text(json.dumps({"latest": str(latest)}))
        return e2e.UpdateServer(self, root).url

    def bird_file(self, name, build=1234, **options):
        return e2e.Bird(self.work.cwd / name, build, **options)

    def set(self, name, value):
        self.sim.control("set %s %s %s" % (SERIAL, name, value))

    def update(self, *args, **options):
        return self.work.run("-U", "-d", SERIAL, *args, **options)

    # -- checks --

    def assert_installed(self, bird, firmware=None):
        state = self.sim.control.wait_for(
            SERIAL, lambda s: s["online"] and s["mode"] == "firmware", timeout=10)
        self.assertEqual(self.sim.dumped(SERIAL, "loader", e2e.LOADER_ADDRESS), bird.loader)
        self.assertEqual(self.sim.dumped(SERIAL, "firmware", e2e.FIRMWARE_ADDRESS),
                         firmware if firmware is not None else bird.firmware)
        self.assertEqual((state["build"], state["version"]), (bird.build, "3.2.1"))

    def assert_recorded(self, transfer):
        settings = self.work.settings(SERIAL)
        self.assertEqual(settings.get("LATEST_TRANSFER"), transfer)
        self.assertRegex(settings.get("LAST_TRANSFER_DATE", ""), e2e.CTIME_RE)

    def assert_not_recorded(self):
        settings = self.work.settings(SERIAL)
        self.assertNotIn("LATEST_TRANSFER", settings)
        self.assertNotIn("LAST_TRANSFER_DATE", settings)

    def assert_failed_after_connecting(self, result):
        self.assertEqual(result.status, 1, result)
        self.assertRegex(result.out_lines[-1], UPDATE_TIME)
        self.assert_not_recorded()


@e2e.inside_only
class BuildChoice(UpdateCase):
    def test_latest_build_named_by_the_server_and_in_the_store(self):
        url = self.server([1234], latest=1234)
        bird = self.work.put_build(SERIAL, 1234)
        result = self.update("-u", url)
        self.assertEqual(result.status, 0, result)
        firmware_length = len(bird.firmware) + 4
        self.assertEqual(result.out_lines[:-2], [VERSION_LINE, *e2e.update_lines(1234, firmware_length)])
        self.assertRegex(result.out_lines[-2], UPDATE_TIME)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build 1234" % SERIAL)
        self.assertEqual(result.stderr, "")
        self.assert_installed(bird)
        self.assert_recorded("1234.bird")

        # The module now runs the new firmware, and discovery shows it.
        listed = self.work.run("-D", "-t", "TCP")
        self.assertIn("    %s  02       02      Osprey         3.2.1 (1234) [%s]"
                      % (SERIAL, e2e.MODULE_IP), listed.out_lines)

    def test_settings_name_the_build_when_the_server_cannot_be_asked(self):
        for key, line in (("LATEST_DOWNLOAD", "Updating with the Latest Download"),
                          ("LATEST_TRANSFER", "Updating with the Latest Transfer")):
            with self.subTest(key):
                bird = self.work.put_build(SERIAL, 1234, **{key: "1234.bird"})
                result = self.update("-u", self.no_server)
                self.assertEqual(result.status, 0, result)
                self.assertEqual(result.out_lines[1:3], [line, "Updating firmware with build: 1234"])
                self.assert_installed(bird)
                self.assert_recorded("1234.bird")

    def test_no_build_anywhere(self):
        # The store holds a build, but neither the server nor the settings name one.
        self.work.put_build(SERIAL, 1234)
        result = self.update("-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines[:2], [
            "Could not find valid build for this device.",
            "No build for device 0F5849A1: the update server named none held in the store, and no "
            "download or transfer is recorded"])
        # Then why the server named none.
        self.assertEqual(len(result.err_lines), 4, result)
        self.assertEqual(result.err_lines[3], UNCHANGED % SERIAL)
        self.assertRegex(result.err_lines[2], r"^Query of the latest build for device 0F5849A1 failed: Failed to "
                                              r"connect to 127\.0\.0\.1 port [0-9]+ after [0-9]+ ms: Couldn't "
                                              r"connect to server$")
        self.assertEqual(result.out_lines, [VERSION_LINE])
        self.assertEqual(self.sim.state(SERIAL)["stats"]["connections"], 0)
        self.assert_not_recorded()

    def test_server_names_a_build_missing_from_the_store(self):
        url = self.server([1240], latest=1240)
        bird = self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird")
        result = self.update("-u", url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[1:4], [
            "New firmware is available.  Updater will proceed if valid firmware is found locally.",
            "Updating with the Latest Download",
            "Updating firmware with build: 1234"])
        self.assert_installed(bird)
        self.assert_recorded("1234.bird")

    def test_bird_file_named_for_a_device_without_a_store_directory(self):
        bird = self.bird_file("fw-1234.bird", serial=SERIAL_NUMBER)
        typed = "./fw-1234.bird"
        result = self.update("-f", typed, "-u", self.no_server)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[1], "Updating from Birdfile: " + typed)
        self.assert_installed(bird)
        # The record goes into the device's own directory of the store, made for it, never
        # into a settings file of the working directory.
        self.assert_recorded(typed)
        self.assertFalse((self.work.cwd / ".settings").exists())

    def test_get_then_update_installs_exactly_the_downloaded_build(self):
        url = self.server([1234, 1240], latest=1240)
        self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird")
        result = self.work.run("-G", "-U", "-d", SERIAL, "-u", url)
        self.assertEqual(result.status, 0, result)
        self.assertIn("Updating firmware with build: 1240", result.out_lines)
        downloaded = e2e.Bird(self.work.root / "expected" / "1240.bird", 1240, serial=SERIAL_NUMBER)
        self.assert_installed(downloaded)
        self.assert_recorded("1240.bird")
        self.assertEqual(self.work.settings(SERIAL)["LATEST_DOWNLOAD"], "1240.bird")


@e2e.inside_only
class Validation(UpdateCase):
    def test_generic_file_gets_the_device_serial_number_in_its_image(self):
        serial_at, descriptor_at = 0x100, 0x200
        bird = self.bird_file("generic.bird", serial=0, offsets=(serial_at, descriptor_at))
        result = self.update("-f", "generic.bird", "-u", self.no_server)
        self.assertEqual(result.status, 0, result)
        expected = bytearray(bird.firmware)
        expected[serial_at:serial_at + 4] = struct.pack("<I", SERIAL_NUMBER)
        for i, char in enumerate(SERIAL.encode()):
            expected[descriptor_at + 2 * i] = char
        self.assertNotEqual(bytes(expected), bird.firmware)
        self.assert_installed(bird, firmware=bytes(expected))
        self.assert_recorded("generic.bird")

    def test_file_made_for_another_device_is_refused(self):
        self.bird_file("other.bird", serial=0x12345678)
        result = self.update("-f", "other.bird", "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, ["Bird serial number 12345678 does not match device 0F5849A1",
                                            "Birdfile failed validation", UNCHANGED % SERIAL])
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x00), [])
        self.assert_not_recorded()

    def test_model_mismatch_is_refused_unless_overridden(self):
        bird = self.bird_file("plover.bird", serial=SERIAL_NUMBER, model="Plover")
        result = self.update("-f", "plover.bird", "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, [
            "Connected device model and Bird file model do not match [Osprey]",
            "Birdfile failed validation", UNCHANGED % SERIAL])
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x00), [])
        self.assert_not_recorded()

        result = self.update("-f", "plover.bird", "-u", self.no_server, "-OVERRIDE")
        self.assertEqual(result.status, 0, result)
        self.assert_installed(bird)
        self.assert_recorded("plover.bird")


@e2e.inside_only
class Faults(UpdateCase):
    def setUp(self):
        super().setUp()
        self.bird = self.bird_file("fw.bird", serial=SERIAL_NUMBER)

    def run_update(self, *extra):
        return self.update("-f", "fw.bird", "-u", self.no_server, *extra)

    def test_wrong_data_count_is_answered_by_sending_the_chunk_again(self):
        self.set("data_count_wrong", 1)
        result = self.run_update()
        self.assertEqual(result.status, 0, result)
        data = self.sim.upgrade_requests(SERIAL, 0x01)
        self.assertEqual(data[0], data[1])
        self.assert_installed(self.bird)
        self.assert_recorded("fw.bird")

    def test_chunk_refused_again_and_again_ends_the_update(self):
        self.set("data_count_wrong", "always")
        result = self.run_update()
        self.assert_failed_after_connecting(result)
        data = self.sim.upgrade_requests(SERIAL, 0x01)
        self.assertEqual(len(data), 11)
        self.assertEqual(len(set(data)), 1)
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x02), [])

    def test_sum_mismatch_fails_the_update(self):
        self.set("sum_wrong", 1)
        result = self.run_update()
        self.assert_failed_after_connecting(result)
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x02), [])   # the loader never started

    def test_module_restarting_into_its_loader_is_reconnected(self):
        self.set("load_mode", "restart")
        result = self.run_update("-X", "0x501")
        self.assertEqual(result.status, 0, result)
        self.assertIn("NETWORK: Attempting to reconnect. Attempt: 1 of 5", result.err_lines)
        self.assertIn("NETWORK: Reconnected to device", result.err_lines)
        # The restart showed as the link going down: no answer is waited for on the new link.
        self.assertIn("NETWORK: Loader started: the link dropped and was made again", result.err_lines)
        self.assertNotIn("Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.",
                         result.err_lines)
        self.assert_installed(self.bird)
        self.assert_recorded("fw.bird")

    def test_module_back_in_loader_mode_only_after_the_reconnect_gave_up_is_found_again(self):
        # LOAD restarts the module for longer than _reconnect tries (5 + 5 attempts, 500 ms
        # apart); the update then looks for it again on its own transport and goes on.
        self.set("load_mode", "restart")
        self.set("load_restart_ms", 9000)
        result = self.run_update("-X", "0x101")
        self.assertEqual(result.status, 0, result)
        self.assertIn("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 5 of 5", result.err_lines)
        self.assertTrue(any(line.startswith("Looking for the device in loader mode, attempt 1 of 15")
                            for line in result.err_lines), result)
        self.assert_installed(self.bird)
        self.assert_recorded("fw.bird")

    def test_module_vanishing_mid_transfer_ends_the_update(self):
        # The loader takes 12 DATA packets; the module vanishes on the 20th, in the firmware.
        self.set("vanish_after_data", 20)
        result = self.run_update()
        self.assert_failed_after_connecting(result)
        self.assertTrue(self.sim.state(SERIAL)["vanished"])
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x06), [])

    def test_block_size_zero_is_refused(self):
        self.set("block_size", 0)
        result = self.run_update()
        self.assert_failed_after_connecting(result)
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x05), [])
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x06), [])

    def test_indirect_update_through_a_router_that_does_not_answer(self):
        result = self.update("-r", "D272031D", "-f", "fw.bird", "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, ["Failed to connect to link module [D272031D]",
                                            "Connecting to link module D272031D failed: not found on USB or TCP/IP",
                                            UNCHANGED % SERIAL])
        self.assertEqual(self.sim.state(SERIAL)["stats"]["connections"], 0)
        self.assert_not_recorded()


# Each point where -U can fail: the fault switches that make it fail there, and the one error
# line that names the step and the cause.
FAILURE_LINES = [
    ("init", {"short_init": 1},
     r"Failed to start the update \(INIT\): INIT reply of 5 bytes, 6 expected"),
    ("loader_prepare", {"prepare_fail": 1},
     r"Failed to write loader block 1 at 0x10000000: module refused PREPARE \(status 0x03\)"),
    ("loader_data", {"data_count_wrong": "always"},
     r"Failed to write loader block 1 at 0x10000000: "
     r"module acknowledged a 26-byte DATA chunk with another count 11 times"),
    ("loader_sum", {"sum_wrong": 1},
     r"Failed to write loader block 1 at 0x10000000: "
     r"SUM mismatch: module 0x[0-9A-F]{8}, sent 0x[0-9A-F]{8} \(status 0x00\)"),
    ("firmware_prepare", {"block_size": 0},
     r"Failed to write firmware block 1 at 0x00000000: module named block size 0 in its PREPARE reply"),
    ("firmware_data", {"vanish_after_data": 20},
     r"Failed to write firmware block 1 at 0x00000000: the link to module 0F5849A1 was lost \(.+\)"),
    ("firmware_write", {"write_fail": 1},
     r"Failed to write firmware block 1 at 0x00000000: module refused WRITE of [0-9]+ bytes \(status 0x03\)"),
]


@e2e.inside_only
class FailureLines(UpdateCase):
    def check_failure(self, switches, line):
        self.bird_file("fw.bird", serial=SERIAL_NUMBER)
        for name, value in switches.items():
            self.set(name, value)
        result = self.update("-f", "fw.bird", "-u", self.no_server)
        self.assert_failed_after_connecting(result)
        self.assertEqual(len([e for e in result.err_lines if re.fullmatch(line, e)]), 1, result)

    def test_module_not_found(self):
        self.bird_file("fw.bird", serial=SERIAL_NUMBER)
        result = self.work.run("-U", "-d", "0F5849A2", "-f", "fw.bird", "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Failed to connect to module [0F5849A2]", result.err_lines)
        self.assertIn("Connecting to module 0F5849A2 failed: not found on USB or TCP/IP", result.err_lines)

    def test_unreadable_inputs_name_the_file_and_the_cause(self):
        (self.work.cwd / "junk.bird").write_bytes(b"bird\x01\x01 no zlib stream here")
        cases = [
            (["-f", "junk.bird"], r"Failed to read bird file junk\.bird: .+"),
            (["-b", "99"], r"Failed to read build 99 from the store: .*/%s/99\.bird is missing or no bird file"
             % SERIAL),
        ]
        for args, line in cases:
            with self.subTest(args):
                result = self.update(*args, "-u", self.no_server)
                self.assertEqual(result.status, 1, result)
                self.assertTrue(any(re.fullmatch(line, e) for e in result.err_lines), result)
                self.assertEqual(result.err_lines[-2:], ["Failed to load bird file", UNCHANGED % SERIAL], result)
                self.assertEqual(self.sim.state(SERIAL)["stats"]["connections"], 0)


def _failure_test(switches, line):
    return lambda self: self.check_failure(switches, line)


for _name, _switches, _line in FAILURE_LINES:
    setattr(FailureLines, "test_" + _name, _failure_test(_switches, _line))


@e2e.inside_only
class Terminal(UpdateCase):
    def test_progress_and_spinner_only_on_a_terminal(self):
        self.bird_file("fw.bird", serial=SERIAL_NUMBER)
        shown = self.update("-f", "fw.bird", "-u", self.no_server, terminal=True)
        self.assertEqual(shown.status, 0, shown)
        self.assertIn("\r[" + "=" * 69 + "> ] (100% ) ", shown.stdout)
        self.assertIn("\r (Verifying Update) .      \r", shown.stdout)
        self.assertIn("\r" + " " * 88 + "\r", shown.stdout)

        self.sim.control.wait_for(SERIAL, lambda s: s["online"] and s["mode"] == "firmware",
                                  timeout=10)
        piped = self.update("-f", "fw.bird", "-u", self.no_server)
        self.assertEqual(piped.status, 0, piped)
        self.assertNotIn("\r", piped.stdout)
        self.assertNotIn("Verifying Update", piped.stdout)
        # The same lines otherwise.
        strip = [line for line in shown.stdout.replace("\r", "\n").split("\n")
                 if line.strip() and not line.startswith((" (", "[")) and "Update time" not in line]
        self.assertEqual(strip, [line for line in piped.out_lines if "Update time" not in line])


def write_blocks(path, blocks):
    path.write_bytes(e2e.mkbird.make(blocks))
    os.chmod(path, 0o644)


@e2e.inside_only
class Hardening(UpdateCase):
    def assert_untouched(self, result, errors):
        """Refused before the first packet: the module still runs its old firmware, saw no
        upgrade packet, and nothing was recorded."""
        self.assertEqual(result.status, 1, result)
        for line in errors:
            self.assertIn(line, result.err_lines, result)
        state = self.sim.state(SERIAL)
        self.assertEqual((state["mode"], state["build"]), ("firmware", 1000))
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x00), [])
        self.assert_not_recorded()

    def test_file_without_a_usable_image_is_refused_before_the_first_packet(self):
        loader = e2e.mkbird.loader_block(e2e.LOADER_ADDRESS, e2e.loader_image())
        firmware = e2e.mkbird.firmware_block(e2e.FIRMWARE_ADDRESS, e2e.firmware_image(1234, "3.2.1"))
        info = e2e.mkbird.info_block(build=1234, version="3.2.1", serial=SERIAL_NUMBER, model="Osprey")
        cases = {
            "no image block at all": ([info], "loader"),
            "no firmware block": ([loader, info], "firmware"),
            "no loader block": ([firmware, info], "loader"),
            "empty firmware image": ([loader, e2e.mkbird.firmware_block(0, b""), info], "firmware"),
            "2-byte firmware block": ([loader, firmware, e2e.mkbird.raw_block(1, b"\x00\x00"), info],
                                      "firmware"),
            "2-byte loader block": ([e2e.mkbird.raw_block(0, b"\x10\x00"), loader, firmware, info],
                                    "loader"),
        }
        for name, (blocks, missing) in cases.items():
            with self.subTest(name):
                path = self.work.cwd / "bad.bird"
                write_blocks(path, blocks)
                result = self.update("-f", "bad.bird", "-u", self.no_server, "-OVERRIDE")
                self.assert_untouched(result, [
                    "Bird file bad.bird holds no usable %s image; nothing was sent to the device" % missing])

    def test_downloaded_build_without_firmware_is_not_installed(self):
        root = self.work.root / "server" / SERIAL
        root.mkdir(parents=True)
        write_blocks(root / "1240.bird", [
            e2e.mkbird.loader_block(e2e.LOADER_ADDRESS, e2e.loader_image()),
            e2e.mkbird.info_block(build=1240, version="3.2.1", serial=SERIAL_NUMBER, model="Osprey")])
        url = e2e.UpdateServer(self, self.work.root / "server").url
        result = self.work.run("-G", "-U", "-d", SERIAL, "-u", url)
        self.assert_untouched(result, [
            "Bird file %s holds no usable firmware image; nothing was sent to the device"
            % (self.work.device(SERIAL) / "1240.bird")])

    def test_failed_download_installs_nothing(self):
        # The store holds an older build the settings name; the download of the latest fails.
        self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird")
        url = self.server([1240], latest=1240)
        with urllib.request.urlopen(url.replace("/cgi/u", "/ctl/fault?") + "cut=100&ops=bird",
                                    timeout=10) as reply:
            self.assertEqual(reply.status, 200)
        result = self.work.run("-G", "-U", "-d", SERIAL, "-u", url)
        self.assert_untouched(result, ["Download failed", "Download failed: no firmware was installed"])
        self.assertEqual(self.work.settings(SERIAL)["LATEST_DOWNLOAD"], "1234.bird")

    def test_local_input_that_would_block_is_refused_at_once(self):
        fifo = self.work.cwd / "fifo.bird"
        os.mkfifo(fifo)
        for name in ("fifo.bird", "/dev/zero", "."):
            with self.subTest(name):
                result = self.update("-f", name, "-u", self.no_server, timeout=30)
                self.assert_untouched(result, ["Bird file %s is not a regular file" % name,
                                               "Failed to load bird file"])
                self.assertLess(result.seconds, 20)

        self.bird_file("fw.bird", serial=SERIAL_NUMBER)
        settings = self.work.device(SERIAL) / ".settings"
        # The refusals above are in the device's history: its directory, and the settings file the
        # second one made, are there already.
        settings.parent.mkdir(parents=True, exist_ok=True)
        settings.unlink(missing_ok=True)
        os.mkfifo(settings)
        self.work.give_store_to_runner()
        result = self.update("-f", "fw.bird", "-u", self.no_server, timeout=30)
        self.assertLess(result.seconds, 20)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, ["Could not read the settings file %s; it is left as it is" % settings,
                                            UNCHANGED % SERIAL])
        self.assertTrue(settings.is_fifo())
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x00), [])

    def test_long_settings_line_is_kept_by_an_update(self):
        bird = self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird", NOTE="n" * 5000, ZULU="last")
        result = self.update("-u", self.no_server)
        self.assertEqual(result.status, 0, result)
        self.assert_installed(bird)
        settings = self.work.settings(SERIAL)
        self.assertEqual((settings["NOTE"], settings["ZULU"]), ("n" * 5000, "last"))
        self.assert_recorded("1234.bird")


OTHER = "0F5849A2"


@e2e.inside_only
class Concurrent(unittest.TestCase):
    ROUNDS = e2e.CONCURRENCY_ROUNDS

    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000,reboot_ms=100,"
                        "load_restart_ms=100" % SERIAL,
            "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000,reboot_ms=100,"
                        "load_restart_ms=100" % OTHER)
        self.no_server = e2e.closed_port_url()

    def test_updates_of_two_modules_at_the_same_time_both_succeed(self):
        birds = {serial: e2e.Bird(self.work.cwd / ("%s.bird" % serial), 1234, serial=int(serial, 16))
                 for serial in (SERIAL, OTHER)}
        for round_ in range(self.ROUNDS):
            with ThreadPoolExecutor(2) as pool:
                runs = {serial: pool.submit(self.work.run, "-U", "-d", serial, "-f", "%s.bird" % serial,
                                            "-u", self.no_server)
                        for serial in birds}
                results = {serial: run.result() for serial, run in runs.items()}
            for serial, result in results.items():
                self.assertEqual(result.status, 0, "round %d %s: %r" % (round_, serial, result))
                self.sim.control.wait_for(serial, lambda s: s["online"] and s["mode"] == "firmware",
                                          timeout=10)
        for serial, bird in birds.items():
            self.assertEqual(self.sim.dumped(serial, "firmware", e2e.FIRMWARE_ADDRESS), bird.firmware)

    def test_download_while_an_update_runs_keeps_both_records(self):
        root = self.work.root / "server"
        e2e.Bird(root / SERIAL / "1240.bird", 1240, serial=SERIAL_NUMBER)
        url = e2e.UpdateServer(self, root).url
        # A large image keeps the module in loader mode for a while.
        e2e.Bird(self.work.cwd / "fw.bird", 1234, serial=SERIAL_NUMBER,
                 firmware=e2e.firmware_image(1234, "3.2.1", size=60000))
        self.work.put_build(SERIAL, 1000)   # the device has its directory and settings
        with ThreadPoolExecutor(1) as pool:
            update = pool.submit(self.work.run, "-U", "-d", SERIAL, "-f", "fw.bird", "-u", self.no_server)
            # The update read the settings at its start and writes them at its end.
            self.sim.control.wait_for(SERIAL, lambda s: s["mode"] == "loader", timeout=30)
            download = self.work.run("-G", "-d", SERIAL, "-u", url)
            updated = update.result()
        self.assertEqual((updated.status, download.status), (0, 0), (updated, download))
        settings = self.work.settings(SERIAL)
        self.assertEqual(settings.get("LATEST_TRANSFER"), "fw.bird")
        self.assertEqual(settings.get("LATEST_DOWNLOAD"), "1240.bird")


ROUTER = "D272031D"


@e2e.inside_only
class Routed(UpdateCase):
    """-U -r ROUTER -d SERIAL: the module sits behind a router at an address the user does not
    give; the update finds it by scanning the router's device network."""

    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(self, self.work.root, *e2e.routed_module_args(ROUTER, SERIAL))
        self.no_server = e2e.closed_port_url()
        self.bird = self.bird_file("fw.bird", serial=SERIAL_NUMBER)

    def test_update_through_the_router_installs_the_firmware(self):
        for load_mode in ("answer", "restart"):
            with self.subTest(load_mode=load_mode):
                self.set("load_mode", load_mode)
                result = self.update("-r", ROUTER, "-f", "fw.bird", "-u", self.no_server)
                self.assertEqual(result.status, 0, result)
                self.assertEqual(result.stderr, "")
                self.assert_installed(self.bird)
                self.assert_recorded("fw.bird")
                self.assertEqual(self.sim.state("11111111")["mode"], "firmware")
                self.assertEqual(self.sim.upgrade_requests("11111111", 0x00), [])
                # Routing ends with the update.
                self.assertEqual(self.sim.state(ROUTER)["route_to_me"], 0)

    def test_serial_number_not_behind_the_router(self):
        result = self.work.run("-U", "-d", "22222222", "-r", ROUTER, "-f", "fw.bird", "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, ["Module [22222222] not found behind router [%s]" % ROUTER,
                                            UNCHANGED % "22222222"])
        self.assertEqual(self.sim.state(ROUTER)["route_to_me"], 0)
        self.assertEqual(self.sim.upgrade_requests(SERIAL, 0x00), [])
        self.assertEqual(list(self.work.store.glob("*/.settings")), [])


Outside = e2e.namespace_suite("cli.test_updater_update", "BuildChoice", "Validation", "Faults", "FailureLines",
                              "Terminal", "Hardening", "Concurrent", "Routed")


if __name__ == "__main__":
    unittest.main()
