"""i.MX recovery over USB end to end (-U -t RECOVER -s USB): the built Updater writes the live
loader into the boot ROM behind the emulated HID device and starts it, finds the live loader
on the bus, reads the chip's identifier from it, and installs the firmware through it.

The Updater runs as a user id without a password entry with HOME in a temporary directory, in
a network namespace of its own: one without any interface when it needs no update server, one
with only loopback (shared with the update server) when it does."""

import json
import os
import re
import shutil
import unittest

from cli import test_usb_updater as usb_updater
from support import updater as e2e
from support.common import LoopbackNamespace, UpdateServer
from cli.test_usb_updater import can_run, run_updater

SERIAL = "0F5849A1"
LIVE_LOADER = "DEADDEAD"
LOADER_ADDRESS = 0x00910000
ENTRY = 0x00910400
UID = (0x11111111, 0x22222222, 0x33333333, 0x44444444)
# The identifier's sub-index 0 is the fingerprint's word 3.
FINGERPRINT = "%08X %08X %08X %08X" % tuple(reversed(UID))
UPDATE_TIME = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")


def loader_bird(path, build, loader, start=ENTRY, serial=0):
    """A live-loader file: the loader image at LOADER_ADDRESS and its start address."""
    blocks = [e2e.mkbird.loader_block(LOADER_ADDRESS, loader),
              e2e.mkbird.start_address_block(start),
              e2e.mkbird.info_block(build=build, version="1.0.0", serial=serial, model="Osprey")]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(e2e.mkbird.make(blocks))
    os.chmod(path, 0o644)


def firmware_bird(path, build, firmware, serial, loader=None):
    blocks = [e2e.mkbird.firmware_block(e2e.FIRMWARE_ADDRESS, firmware),
              e2e.mkbird.info_block(build=build, version="3.2.1", serial=serial, model="Osprey")]
    if loader is not None:
        blocks = [e2e.mkbird.loader_block(LOADER_ADDRESS, loader),
                  e2e.mkbird.start_address_block(ENTRY)] + blocks
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(e2e.mkbird.make(blocks))
    os.chmod(path, 0o644)


@unittest.skipUnless(can_run() and shutil.which("nsenter") and shutil.which("ip"),
                     "needs root, umockdev, unshare, nsenter, ip, setpriv and UPDATER_BIN")
class Recovery(usb_updater.UsbCase):
    def setUp(self):
        super().setUp()
        self.loader = bytes((i * 29 + 7) & 0xFF for i in range(3000))
        # The device's own firmware: rebooted into it, the module answers under the device's serial.
        image = e2e.firmware_image(1234, "3.2.1", size=5000, seed=3)
        self.firmware = image[:-1] + b" serial=%s\0" % SERIAL.encode()

    def start_imx_bus(self, loader_serial=LIVE_LOADER):
        imx = "loader_serial=0x%s,loader_model=19,uid=%s,boot_ms=200,reboot_ms=300" % (
            loader_serial, ":".join("%#x" % w for w in UID))
        self.start_bus(("--imx", imx))

    def assert_loader_started(self):
        rom = self.bus("imx state")
        self.assertEqual([(w["address"], w["count"], w["result"]) for w in rom["writes"]],
                         [(LOADER_ADDRESS, len(self.loader), "accepted")])
        self.assertEqual(bytes.fromhex(self.bus("imx read %d %d" % (LOADER_ADDRESS, len(self.loader)))),
                         self.loader)
        self.assertEqual(rom["jumps"], [ENTRY])
        self.assertFalse(rom["plugged"])

    def assert_firmware_installed(self, serial):
        state = self.bus.wait_for(
            lambda: (lambda s: s if s["plugged"] and s["module"]["mode"] == "firmware" else None)(
                self.bus.state(serial)), what="the recovered module back on the bus")
        self.assertEqual((state["module"]["build"], state["module"]["version"]), (1234, "3.2.1"))
        self.assertEqual(self.dumped("firmware", e2e.FIRMWARE_ADDRESS, serial), self.firmware)

    def test_with_a_bird_file_and_the_device_serial_number(self):
        # The live loader built for the device answers under its serial number.
        self.start_imx_bus(SERIAL)
        path = self.work.cwd / "recover.bird"
        firmware_bird(path, 1234, self.firmware, int(SERIAL, 16), loader=self.loader)
        result = run_updater(self.work, self.bus, "-U", "-t", "RECOVER", "-s", "USB", "-d", SERIAL,
                             "-f", path)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        length = len(self.firmware) + 4
        self.assertEqual(result.out_lines[:-2], [
            "Updater (Version: 1.1 Apr 26 2023)",
            "Recovering from Birdfile: %s" % path,
            "Transferring firmware block 1 of 1, %d bytes" % length,
            # The live loader reboots into the firmware: off the bus when its link is closed,
            # which prints nothing.
            "Transferred 1 blocks, %d total bytes" % length])
        self.assertRegex(result.out_lines[-2], UPDATE_TIME)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build 1234" % SERIAL)
        self.assert_loader_started()
        self.assert_firmware_installed(SERIAL)

    def test_from_the_update_server_with_the_default_live_loader(self):
        namespace = LoopbackNamespace(self)
        self.start_imx_bus()
        data = self.work.root / "server"
        loader_bird(data / LIVE_LOADER / "7.bird", 7, self.loader)
        firmware_bird(data / SERIAL / "1234.bird", 1234, self.firmware, int(SERIAL, 16))
        (data / "fingerprints.json").write_text(json.dumps(
            {FINGERPRINT: {"serial": SERIAL, "build": 1234, "encode": False}}))
        server = UpdateServer(self, data, log=data / "queries.log", enter=namespace.enter)
        result = run_updater(self.work, self.bus, "-U", "-t", "RECOVER", "-s", "USB", "-u", server.url,
                             enter=namespace.enter)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        length = len(self.firmware) + 4
        self.assertEqual(result.out_lines[:2], ["Updater (Version: 1.1 Apr 26 2023)",
                                                "Recovering firmware with build: 1234"])
        self.assertEqual(result.out_lines[-4:-2], [
            "Transferring firmware block 1 of 1, %d bytes" % length,
            "Transferred 1 blocks, %d total bytes" % length])
        self.assertRegex(result.out_lines[-2], UPDATE_TIME)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build 1234" % SERIAL)
        self.assert_loader_started()
        self.assert_firmware_installed(LIVE_LOADER)
        # The default live loader (build 7 of DEADDEAD) and the device's build were downloaded,
        # the second for the serial number the server named for the identifier.
        queries = server.queries()
        self.assertTrue(any("op=fix&" in q and "fp=%s&" % FINGERPRINT.replace(" ", "%20") in q
                            for q in queries), queries)
        self.assertIn("bld=1234&fw=default&no_cal=false&op=bird&sn=%s&" % SERIAL, queries)
        self.assertTrue((self.work.store / LIVE_LOADER / "7.bird").exists())
        self.assertTrue((self.work.store / SERIAL / "1234.bird").exists())

    def test_a_rom_that_never_answers_leaves_no_device_identifier(self):
        self.start_imx_bus()
        self.bus("imx set silent on")
        path = self.work.cwd / "recover.bird"
        firmware_bird(path, 1234, self.firmware, int(SERIAL, 16), loader=self.loader)
        result = run_updater(self.work, self.bus, "-U", "-t", "RECOVER", "-s", "USB", "-d", SERIAL,
                             "-f", path)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Could not get Device Identifier", result.err_lines)
        rom = self.bus("imx state")
        self.assertEqual(rom["writes"], [])
        self.assertEqual(rom["jumps"], [])
        self.assertFalse(self.bus.state(LIVE_LOADER)["plugged"])


if __name__ == "__main__":
    unittest.main()
