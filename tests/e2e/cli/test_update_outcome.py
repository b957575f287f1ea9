"""-U ends with proof of its outcome: after the reboot the Updater waits for the module to come
back, reads the build it runs and says so in one last line; every failure ends with the state the
device is left in. The same table runs over TCP/IP (private network namespace), through a router
module and over emulated USB. A link that breaks in the middle of a block is named as lost and
ends the transfer at once.

Each row checks the exit status, the last line and whether the transfer record was written."""

import os
import re
import unittest

from support import updater as e2e
from support import usb
from support.common import UPDATER, in_namespace, sanitizer_builds_skip

SERIAL = "0F5849A1"
SERIAL_NUMBER = 0x0F5849A1
ROUTER = "D272031D"
NEW_BUILD = 1234
OLD_BUILD = 1000
UPDATE_TIME = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")
IN_LOADER = "Device %s is left in its loader without complete firmware: run the same command again" % SERIAL
UNCHANGED = "Device %s was left unchanged: nothing was written, it still runs its old firmware" % SERIAL
# The test hook's cut of the 60 s wait for the module to come back.
SHORT_WAIT_MS = 2500


def image_without_build(size=1500):
    """Firmware the simulator cannot read a build from: after its reboot the module keeps its old
    build, or takes next_build."""
    return bytes((i * 29 + 3) & 0xFF for i in range(size))


class OutcomeRows:
    """The outcome table; a transport class supplies start(), set(), update() and settings()."""

    def bird(self, name, build=NEW_BUILD, **options):
        return e2e.Bird(self.work.cwd / name, build, serial=SERIAL_NUMBER, **options)

    def assert_recorded(self, expected):
        settings = self.settings()
        if expected:
            self.assertEqual(settings.get("LATEST_TRANSFER"), "fw.bird")
            self.assertRegex(settings.get("LAST_TRANSFER_DATE", ""), e2e.CTIME_RE)
        else:
            self.assertNotIn("LATEST_TRANSFER", settings)
            self.assertNotIn("LAST_TRANSFER_DATE", settings)

    def test_module_back_with_the_new_build(self):
        self.start()
        self.bird("fw.bird")
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        self.assertRegex(result.out_lines[-2], UPDATE_TIME)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (SERIAL, NEW_BUILD))
        self.assert_recorded(True)

    def test_module_back_with_its_old_build(self):
        self.start()
        self.bird("fw.bird", firmware=image_without_build())
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines[-1],
                         "Module %s came back running build %d, not build %d of the file: the new firmware did "
                         "not take; run the update again, or recover it with -U -t RECOVER"
                         % (SERIAL, OLD_BUILD, NEW_BUILD))
        self.assertRegex(result.out_lines[-1], UPDATE_TIME)
        self.assert_recorded(False)

    def test_module_back_with_another_build_is_accepted_with_override(self):
        self.start()
        self.bird("fw.bird", firmware=image_without_build())
        result = self.update("-f", "fw.bird", "-OVERRIDE")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [
            "Warning: module %s now runs build %d, not build %d of the file (accepted with -OVERRIDE)"
            % (SERIAL, OLD_BUILD, NEW_BUILD)])
        self.assert_recorded(True)

    def test_module_that_never_comes_back(self):
        self.start(reboot_ms=3600000)
        self.bird("fw.bird")
        result = self.update("-f", "fw.bird", long_wait_ms=SHORT_WAIT_MS)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines[-1],
                         "Module %s did not come back within %.0f s of its reboot: it may not start its new "
                         "firmware; recover it with -U -t RECOVER" % (SERIAL, SHORT_WAIT_MS / 1000))
        # Within the bound: the transfer, the reboot's wait and the test hook's 2.5 s.
        self.assertLess(result.seconds, 30)
        self.assert_recorded(False)

    @sanitizer_builds_skip("the transfer's code is that of every other update, at a slow module's pace")
    def test_slow_module_gets_the_exact_firmware(self):
        # Packets leave as fast as the link's pacing allows; a module whose every reply is late
        # still takes each one, and holds the image byte for byte.
        self.start()
        self.set("delay_ms", 4)
        bird = self.bird("fw.bird", firmware=e2e.firmware_image(NEW_BUILD, "3.2.1", size=6000))
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (SERIAL, NEW_BUILD))
        self.assertEqual(self.firmware(), bird.firmware)

    def test_file_without_a_build_number(self):
        self.start(next_build=4321)
        self.bird("fw.bird", build=0, firmware=image_without_build())
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build 4321 (the file names no build)" % SERIAL)
        self.assert_recorded(True)


# ---- TCP/IP and a router, inside a private network namespace ---------------------------------------

class NamespaceRows(OutcomeRows):
    module_option = "--module"
    module_prefix = ""

    def start(self, **keys):
        if getattr(self, "sim", None) is not None:
            self.sim.stop()   # one simulated module of that serial number on the network at a time
        self.work = e2e.Workspace(self)
        settings = dict(serial=SERIAL, model=19, address=2, version="2.1.5", build=OLD_BUILD, reboot_ms=300,
                        load_restart_ms=300)
        settings.update(keys)
        self.sim = e2e.Simulator(self, self.work.root, *self.modules(settings))

    def modules(self, settings):
        return ["--module", ",".join("%s=%s" % item for item in settings.items())]

    def update(self, *args, long_wait_ms=None):
        env = {"UPDATER_TEST_HOOK_LONG_WAIT_MS": str(long_wait_ms)} if long_wait_ms else None
        return self.work.run("-U", "-d", SERIAL, *self.route, *args, "-u", e2e.closed_port_url(), env=env)

    def settings(self):
        return self.work.settings(SERIAL)

    def set(self, name, value):
        self.sim.control("set %s %s %s" % (SERIAL, name, value))

    def firmware(self):
        self.sim.control.wait_for(SERIAL, lambda s: s["online"] and s["mode"] == "firmware", timeout=10)
        return self.sim.dumped(SERIAL, "firmware", e2e.FIRMWARE_ADDRESS)

    route = ()


@e2e.inside_only
class TcpOutcome(NamespaceRows, unittest.TestCase):
    def test_module_back_at_its_address_is_found_without_a_discovery(self):
        # A discovery that finds nothing holds the machine's discovery window for its whole reply
        # time-out, keeping every other update from discovering: the rebooting module is looked
        # for where it was, and found there once it is back.
        self.start(reboot_ms=1000)
        self.bird("fw.bird")
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (SERIAL, NEW_BUILD))
        # The one discovery is the connection's, before the update.
        self.assertEqual(self.sim.state(SERIAL)["stats"]["discovery_replies"], 1)


@e2e.inside_only
class RoutedOutcome(NamespaceRows, unittest.TestCase):
    route = ("-r", ROUTER)

    def modules(self, settings):
        settings = dict(settings, address=90)
        return ["--module", "serial=%s,model=13,address=254" % ROUTER,
                "--behind", "router=%s,%s" % (ROUTER, ",".join("%s=%s" % item for item in settings.items()))]


def multi_block_bird(path, blocks=3):
    """A bird file with several firmware blocks, to show that a lost link ends the loop."""
    parts = [e2e.mkbird.loader_block(e2e.LOADER_ADDRESS, e2e.loader_image())]
    for number in range(blocks):
        parts.append(e2e.mkbird.firmware_block(0x1000 * number, bytes((i + number) & 0xFF for i in range(900))))
    parts.append(e2e.mkbird.info_block(build=NEW_BUILD, version="3.2.1", serial=SERIAL_NUMBER, model="Osprey"))
    path.write_bytes(e2e.mkbird.make(parts))
    os.chmod(path, 0o644)


class LostLinkRows:
    def test_link_lost_in_the_middle_of_a_block(self):
        # The loader takes 12 DATA packets; the module vanishes on the 20th, inside firmware
        # block 1 of 3, and refuses to be reached again.
        self.start(vanish_after_data=20)
        multi_block_bird(self.work.cwd / "fw.bird")
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 1, result)
        failures = [line for line in result.err_lines if line.startswith("Failed to write")]
        self.assertEqual(len(failures), 1, result)
        self.assertRegex(failures[0], r"^Failed to write firmware block 1 at 0x00000000: the link to module %s "
                                      r"was lost \(.+\)$" % SERIAL)
        self.assertNotIn("within 1000 ms", result.stderr)
        self.assertIn("Transferred 0 blocks, 0 total bytes", result.out_lines)
        self.assertEqual(result.err_lines[-1], IN_LOADER)
        # Over at once, not after a time-out per block.
        self.assertLess(result.seconds, 15)
        self.assert_recorded(False)


@e2e.inside_only
class TcpLostLink(LostLinkRows, NamespaceRows, unittest.TestCase):
    pass


# The state line of each point where -U can fail: how to make it fail there, and the last error line.
STATE_LINES = [
    ("connect", {}, ("-d", "0F5849A2"), "Device 0F5849A2 was left unchanged: nothing was written, it still runs "
                                        "its old firmware"),
    ("validation", {}, ("-f", "plover.bird"), UNCHANGED),
    ("loader", {"prepare_fail": 1}, (), UNCHANGED),
    ("firmware", {"write_fail": 1}, (), IN_LOADER),
    ("reboot", {"reboot_ms": 3600000}, (), "Module %s did not come back within 2 s of its reboot: it may not "
                                           "start its new firmware; recover it with -U -t RECOVER" % SERIAL),
    ("verification", {"next_build": 999}, ("-f", "nobuild.bird"),
     "Module %s came back running build 999, not build %d of the file: the new firmware did not take; "
     "run the update again, or recover it with -U -t RECOVER" % (SERIAL, NEW_BUILD)),
]


@e2e.inside_only
class TcpStateLines(NamespaceRows, unittest.TestCase):
    def test_each_failure_point_ends_with_the_state_line(self):
        for step, switches, args, last in STATE_LINES:
            with self.subTest(step):
                self.start()
                self.bird("fw.bird")
                self.bird("plover.bird", model="Plover")
                self.bird("nobuild.bird", firmware=image_without_build())
                for name, value in switches.items():
                    self.sim.control("set %s %s %s" % (SERIAL, name, value))
                extra = list(args)
                if extra[:1] != ["-f"]:
                    extra += ["-f", "fw.bird"]
                if extra[:1] == ["-d"]:
                    result = self.work.run("-U", *extra, "-u", e2e.closed_port_url())
                else:
                    result = self.update(*extra, long_wait_ms=2000)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines[-1], last, result)
                self.assert_recorded(False)


# ---- emulated USB -----------------------------------------------------------------------------------

def usb_can_run():
    return (usb.HAVE_UMOCKDEV and os.geteuid() == 0 and UPDATER and os.access(UPDATER, os.X_OK)
            and not e2e.INSIDE)


@unittest.skipUnless(usb_can_run(), "needs root, umockdev and UPDATER_BIN")
class UsbOutcome(OutcomeRows, LostLinkRows, unittest.TestCase):
    def start(self, **keys):
        self.work = e2e.Workspace(self)
        settings = dict(serial=SERIAL, model=19, address=2, version="2.1.5", build=OLD_BUILD,
                        load_mode="restart", load_restart_ms=300, reboot_ms=300)
        settings.update(keys)
        self.dump = self.work.root / "dump"
        self.dump.mkdir()
        os.chown(self.dump, e2e.RUN_UID, e2e.RUN_UID)
        self.bus = usb.UsbBus(self, "--dump-dir", str(self.dump), *usb.module_arg(**settings),
                                  run_as=e2e.RUN_UID)

    def firmware(self):
        self.bus.wait_for(lambda: self.bus.state(SERIAL)["module"]["mode"] == "firmware",
                          what="module back in its firmware")
        self.bus("dump " + SERIAL)
        return (self.dump / SERIAL / ("firmware-%08X.bin" % e2e.FIRMWARE_ADDRESS)).read_bytes()

    def set(self, name, value):
        self.bus("set %s %s %s" % (SERIAL, name, value))

    def update(self, *args, long_wait_ms=None):
        return self.work.run("-U", "-d", SERIAL, *args, "-u", e2e.closed_port_url(),
                             env=self.bus.updater_env(long_wait_ms), enter=in_namespace)

    def settings(self):
        return self.work.settings(SERIAL)


Outside = e2e.namespace_suite("cli.test_update_outcome", "TcpOutcome", "RoutedOutcome", "TcpLostLink",
                              "TcpStateLines")


if __name__ == "__main__":
    unittest.main()
