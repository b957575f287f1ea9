"""-D and -U over emulated USB (sim/usb_modules.py): the built Updater lists the modules on the
bus with the exact table lines, and installs firmware into a module that drops off USB when it
starts its loader and comes back in loader mode.

The Updater runs as a user id without a password entry, with HOME in a temporary directory
(its store never touches a real home), inside a network namespace of its own holding no
interface at all, so that a fall-back to TCP/IP discovery could not send a packet anywhere.
The simulator runs as the same user so that the Updater can open its test bed."""

import json
import os
import re
import shutil
import unittest

from support import updater as e2e
from support import usb
from support.common import UPDATER, in_namespace

SERIAL = "0F5849A1"
SECOND = "D272031D"
TITLE = "Discovered Devices: (USB)"
HEADER = "    Device    Module   Router  Model          Firmware Version (Build)"
UPDATE_TIME = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")
# Devices on the bus that are not modules: the family's vendor with a product id of 0x8000 or
# more, serial strings of 7 and 9 characters, another vendor. Each is a complete module behind
# the odd identity, so taking it for one would show in the table.
NOT_MODULES = [
    usb.module_arg(serial="11111111", pid=0x8013, heartbeat_ms=0),
    usb.module_arg(serial="22222222", serial_string="2222222", heartbeat_ms=0),
    usb.module_arg(serial="33333333", serial_string="333333333", heartbeat_ms=0),
    usb.module_arg(serial="44444444", vid=0x1234, heartbeat_ms=0),
]


def can_run():
    return (usb.HAVE_UMOCKDEV and os.geteuid() == 0 and UPDATER and os.access(UPDATER, os.X_OK)
            and all(shutil.which(tool) for tool in ("unshare", "setpriv")))


def flatten(groups):
    return [arg for group in groups for arg in group]


def run_updater(work, bus, *args, enter=in_namespace, long_wait_ms=None, **options):
    """The Updater on the bus, as the run-as user, in a network namespace without any interface
    (or the one `enter` puts a command into). long_wait_ms: the test hook's cut of the program's
    waits of many seconds; options: those of common.run_updater (timeout)."""
    return work.run(*args, env=bus.updater_env(long_wait_ms), enter=enter, **options)


@unittest.skipUnless(can_run(), "needs root, umockdev, unshare, setpriv and UPDATER_BIN")
class UsbCase(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.dump = self.work.root / "dump"
        self.dump.mkdir()
        os.chown(self.dump, e2e.RUN_UID, e2e.RUN_UID)

    def start_bus(self, *groups):
        self.bus = usb.UsbBus(self, "--dump-dir", str(self.dump), *flatten(groups),
                                  run_as=e2e.RUN_UID)
        return self.bus

    def run_updater(self, *args, **options):
        return run_updater(self.work, self.bus, *args, **options)

    def assert_clean(self, result):
        self.assertEqual(result.stderr, "", result)

    def dumped(self, kind, address, serial=SERIAL):
        """What the module kept of kind ("loader", "firmware") at address, or None."""
        self.bus("dump " + serial)
        path = self.dump / serial / ("%s-%08X.bin" % (kind, address))
        return path.read_bytes() if path.exists() else None


class Discovery(UsbCase):
    def test_table_of_the_modules_on_the_bus_in_usb_list_order(self):
        self.start_bus(usb.module_arg(serial=SERIAL, model=19, address=2, version="0x21000005",
                                          build=99519470),
                       *NOT_MODULES,
                       usb.module_arg(serial=SECOND, model=13, address=4, version="15.1.11259375",
                                          build=4294967295),
                       ("--imx",))
        result = self.run_updater("-D", "-t", "USB")
        self.assertEqual(result.status, 0, result)
        self.assert_clean(result)
        lines = {
            SERIAL: "    0F5849A1  02       02      Osprey         2.1.5 (99519470)",
            SECOND: "    D272031D  04       04      Plover        15.1.11259375 (4294967295)",
        }
        # The order of libusb's device list, as the runtime's own enumeration sees it; libusb
        # lists the devices in the reverse order of their ports: neither the order on the
        # command line nor sorted.
        listed = self.bus.run([usb.driver_path("discovery_driver"), "enumerate", "1"])
        order = [m["serial"] for m in json.loads(listed.stdout)["modules"]]
        self.assertEqual(order, [SECOND, SERIAL])
        self.assertEqual(result.out_lines, [
            "Updater (Version: 1.1 Apr 26 2023)", "Searching for Halyard devices", TITLE, HEADER,
            lines[SECOND], lines[SERIAL]])
        # Discovery only reads: nothing stored, and the modules not taken for ones never opened
        # for a link.
        self.assertEqual(list(self.work.store.iterdir()), [])
        for serial in ("11111111", "22222222", "33333333", "44444444"):
            self.assertEqual(self.bus.state(serial)["usb"]["claims"], 0, serial)

    def test_a_module_held_by_another_process_shows_the_error_line(self):
        self.start_bus(usb.module_arg(serial=SERIAL, model=19),
                       usb.module_arg(serial=SECOND, model=13, address=4))
        holder = usb.Driver(self, self.bus, "usb_stream_driver")
        self.assertEqual(holder("open " + SERIAL)["err"], usb.ERR["None"])
        result = self.run_updater("-D", "-t", "USB")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[2:], [
            TITLE, HEADER,
            "    D272031D  04       04      Plover         1.0.0 (1000)",
            # The link could not be made: the object layer's connection error.
            "    0F5849A1  [Error (25): Is someone else connected to this device?]"])
        self.assertEqual(self.bus.state(SERIAL)["usb"]["claims_refused"], 1)
        # Once the holder lets go, the module is listed normally.
        self.assertEqual(holder("close")["err"], usb.ERR["None"])
        again = self.run_updater("-D", "-t", "USB")
        self.assertIn("    0F5849A1  02       02      Osprey         1.0.0 (1000)", again.out_lines)

    def test_no_module_on_the_bus(self):
        self.start_bus(*NOT_MODULES, ("--imx",))
        result = self.run_updater("-D", "-t", "USB")
        self.assertEqual(result.status, 0, result)
        self.assert_clean(result)
        self.assertEqual(result.out_lines[2:], [TITLE, "    No devices found."])

    def test_a_module_owned_by_the_kernel_driver_is_reached_through_its_node(self):
        self.start_bus(usb.module_arg(serial=SERIAL, model=19, node="on", build=77))
        result = self.run_updater("-D", "-t", "USB")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[2:], [
            TITLE, HEADER, "    0F5849A1  02       02      Osprey         1.0.0 (77)"])
        counters = self.bus.state(SERIAL)["usb"]
        self.assertGreater(counters["node_bytes_in"], 0)
        self.assertEqual((counters["claims"], counters["out_transfers"]), (0, 0))


    def test_pipes_that_stall_or_time_out_once_do_not_change_the_table(self):
        self.start_bus(usb.module_arg(serial=SERIAL, model=19, build=5, stall_out=1, stall_in=1,
                                          timeout_out=1))
        result = self.run_updater("-D", "-t", "USB")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[2:], [
            TITLE, HEADER, "    0F5849A1  02       02      Osprey         1.0.0 (5)"])
        counters = self.bus.state(SERIAL)["usb"]
        self.assertEqual(sorted(counters["clear_halt"]), [0x01, 0x81])
        self.assertEqual((counters["stalls"], counters["timeouts"]), (2, 1))


class Update(UsbCase):
    def start_module(self, **keys):
        settings = dict(serial=SERIAL, model=19, address=2, version="2.1.5", build=1000,
                        load_mode="restart", load_restart_ms=500, reboot_ms=300)
        settings.update(keys)
        self.start_bus(usb.module_arg(**settings),
                       usb.module_arg(serial=SECOND, model=13, address=4, heartbeat_ms=0))
        self.bird = self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234")

    def update(self, **options):
        return self.run_updater("-U", "-d", SERIAL, "-u", e2e.closed_port_url(), **options)

    def test_loader_restart_off_the_bus_and_firmware(self):
        # Heartbeats often enough that several fall within the update (about a second).
        self.start_module(heartbeat_ms=50)
        result = self.update()
        self.assertEqual(result.status, 0, result)
        self.assert_clean(result)
        firmware_length = len(self.bird.firmware) + 4
        # After "Starting Load on Device" the module left the bus; the failed release of its
        # interface (LIBUSB_ERROR_NO_DEVICE) prints nothing.
        self.assertEqual(result.out_lines[:-2], [
            "Updater (Version: 1.1 Apr 26 2023)",
            "Updating with the Latest Download",
            *e2e.update_lines(1234, firmware_length)])
        # Rebooting, the module is off the bus again when its link is closed: nothing printed
        # after the update time but the build the module came back with.
        self.assertRegex(result.out_lines[-2], UPDATE_TIME)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build 1234" % SERIAL)
        state = self.bus.wait_for(
            lambda: (lambda s: s if s["plugged"] and s["module"]["mode"] == "firmware"
                     and s["module"]["build"] == 1234 else None)(self.bus.state(SERIAL)),
            what="module back on the bus with the new firmware")
        # Off the bus twice (loader start, reboot), back three times with the first plugging.
        self.assertEqual((state["usb"]["unplugs"], state["usb"]["plugs"]), (2, 3))
        # The link answered every heartbeat the module sent over the bulk pipes.
        stats = state["module"]["stats"]
        self.assertGreaterEqual(stats["heartbeats_ok"], 3)
        self.assertEqual((stats["heartbeats_bad"], stats["heartbeats_missed"]), (0, 0))
        self.assertEqual(state["module"]["version"], "3.2.1")
        self.assertEqual(self.dumped("loader", e2e.LOADER_ADDRESS), self.bird.loader)
        self.assertEqual(self.dumped("firmware", e2e.FIRMWARE_ADDRESS), self.bird.firmware)
        settings = self.work.settings(SERIAL)
        self.assertEqual(settings.get("LATEST_TRANSFER"), "1234.bird")
        self.assertRegex(settings.get("LAST_TRANSFER_DATE", ""), e2e.CTIME_RE)
        # The other module on the bus was never touched.
        self.assertEqual(self.bus.state(SECOND)["usb"]["claims"], 0)
        listed = self.run_updater("-D", "-t", "USB")
        self.assertIn("    0F5849A1  02       02      Osprey         3.2.1 (1234)", listed.out_lines)

    def test_through_the_kernel_node_across_the_restart(self):
        self.start_module(node="on")
        result = self.update()
        self.assertEqual(result.status, 0, result)
        self.assert_clean(result)
        self.assertNotIn("error release -4", result.out_lines)   # no libusb handle to release
        self.assertEqual(self.dumped("loader", e2e.LOADER_ADDRESS), self.bird.loader)
        self.assertEqual(self.dumped("firmware", e2e.FIRMWARE_ADDRESS), self.bird.firmware)
        counters = self.bus.state(SERIAL)["usb"]
        self.assertEqual((counters["claims"], counters["out_transfers"]), (0, 0))
        self.assertGreater(counters["node_bytes_in"], len(self.bird.firmware))
        self.assertEqual(self.work.settings(SERIAL).get("LATEST_TRANSFER"), "1234.bird")

    def test_a_module_whose_serial_string_is_lower_case_is_listed_and_updated(self):
        self.start_module(serial_string=SERIAL.lower())
        listed = self.run_updater("-D")
        self.assertIn("    0F5849A1  02       02      Osprey         2.1.5 (1000)", listed.out_lines)
        result = self.update()
        self.assertEqual(result.status, 0, result)
        self.assert_clean(result)
        self.assertEqual(self.dumped("firmware", e2e.FIRMWARE_ADDRESS), self.bird.firmware)
        self.assertEqual(self.work.settings(SERIAL).get("LATEST_TRANSFER"), "1234.bird")

    def test_a_module_on_no_bus_is_not_found(self):
        self.start_module()
        result = self.run_updater("-U", "-d", "0BADBEEF", "-f", self.bird.path)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Failed to connect to module [0BADBEEF]", result.err_lines + result.out_lines)
        self.assertEqual(self.bus.state(SERIAL)["usb"]["claims"], 0)

    def test_a_module_back_after_several_rounds_is_still_found(self):
        self.start_module(load_restart_ms=3500)
        result = self.update()
        self.assertEqual(result.status, 0, result)
        self.assertEqual(self.dumped("firmware", e2e.FIRMWARE_ADDRESS), self.bird.firmware)
        self.assertEqual(self.work.settings(SERIAL).get("LATEST_TRANSFER"), "1234.bird")

    def test_a_module_that_never_comes_back_fails_without_a_transfer_record(self):
        self.start_module(load_restart_ms=3600000)
        # The rediscovery's bound (15 rounds one second apart) cut to one round by the test hook.
        result = self.update(long_wait_ms=500)
        self.assertEqual(result.status, 1, result)
        firmware_length = len(self.bird.firmware) + 4
        self.assertEqual(result.out_lines[6:-1], [
            "Starting Load on Device",
            # Not connected: the block's preparation fails and nothing is sent.
            "Transferring firmware block 1 of 1, %d bytes" % firmware_length,
            "Transferred 0 blocks, 0 total bytes"])
        self.assertRegex(result.out_lines[-1], UPDATE_TIME)
        self.assertTrue(any(re.fullmatch(r"Failed to find device %s in loader mode after [0-9]+ attempts: Not found"
                                         % SERIAL, line) for line in result.err_lines), result)
        self.assertTrue(any(re.fullmatch(r"Failed to write firmware block 1 at 0x00000000: could not send PREPARE: .+",
                                         line) for line in result.err_lines), result)
        settings = self.work.settings(SERIAL)
        self.assertNotIn("LATEST_TRANSFER", settings)
        self.assertNotIn("LAST_TRANSFER_DATE", settings)
        state = self.bus.state(SERIAL)
        self.assertFalse(state["plugged"])
        self.assertEqual(state["module"]["firmware"], [])
        self.assertEqual(self.dumped("loader", e2e.LOADER_ADDRESS), self.bird.loader)


if __name__ == "__main__":
    unittest.main()
