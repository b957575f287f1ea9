"""i.MX recovery over USB end to end (-U -t RECOVER -s USB): the built Updater writes the live
loader into the boot ROM behind the emulated HID device and starts it, finds the live loader
on the bus, reads the chip's identifier from it, and installs the firmware through it.

The Updater runs as a user id without a password entry with HOME in a temporary directory, in
a network namespace of its own: one without any interface when it needs no update server, one
with only loopback (shared with the update server) when it does."""

import json
import os
import re
import select
import shutil
import subprocess
import time
import unittest

import updater_e2e as e2e
import usb_support as support
from e2e_common import stop_by_pid
from test_usb_updater import can_run, run_updater

SERIAL = "0F5849A1"
LIVE_LOADER = "DEADDEAD"
STOP_TIMEOUT = 15
LOADER_ADDRESS = 0x00910000
ENTRY = 0x00910400
UID = (0x11111111, 0x22222222, 0x33333333, 0x44444444)
# The identifier's sub-index 0 is the fingerprint's word 3.
FINGERPRINT = "%08X %08X %08X %08X" % tuple(reversed(UID))
UPDATE_TIME = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")
START_TIMEOUT = 20


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


class LoopbackNamespace:
    """A network namespace holding only loopback, kept by a sleeping process; programs enter
    it with nsenter."""

    def __init__(self, testcase):
        self.holder = subprocess.Popen(["unshare", "--net", "--", "/bin/sh", "-c",
                                        "ip link set lo up && exec sleep 600"])
        testcase.addCleanup(stop_by_pid, self.holder, STOP_TIMEOUT)
        self.path = "/proc/%d/ns/net" % self.holder.pid
        deadline = time.monotonic() + START_TIMEOUT
        while "UP" not in self._lo_flags():
            if time.monotonic() > deadline or self.holder.poll() is not None:
                raise AssertionError("the namespace's loopback did not come up")
            time.sleep(0.05)
        if os.stat(self.path).st_ino == os.stat("/proc/self/ns/net").st_ino:
            raise AssertionError("not a namespace of its own")

    def _lo_flags(self):
        shown = subprocess.run(["nsenter", "--net=" + self.path, "ip", "-o", "link", "show", "lo"],
                               capture_output=True, text=True, timeout=10)
        return shown.stdout.split(">")[0] if shown.returncode == 0 else ""

    def enter(self, command):
        return ["nsenter", "--net=" + self.path] + list(command)


class Server:
    """sim/update_server.py on the namespace's 127.0.0.1, with a query log."""

    def __init__(self, testcase, namespace, root):
        self.log = root / "queries.log"
        self.proc = subprocess.Popen(namespace.enter([support.PYTHON, str(e2e.SERVER), "--root", str(root),
                                                      "--log", str(self.log), "--quiet"]),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        testcase.addCleanup(self.stop)
        line = b""
        deadline = time.monotonic() + START_TIMEOUT
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                line += chunk
        self.url = line.decode().strip()
        if not self.url:
            raise AssertionError("update server did not start")

    def queries(self):
        return self.log.read_text().splitlines() if self.log.exists() else []

    def stop(self):
        stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()


@unittest.skipUnless(can_run() and shutil.which("nsenter") and shutil.which("ip"),
                     "needs root, umockdev, unshare, nsenter, ip, setpriv and UPDATER_BIN")
class Recovery(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.dump = self.work.root / "dump"
        self.dump.mkdir()
        os.chown(self.dump, e2e.RUN_UID, e2e.RUN_UID)
        self.loader = bytes((i * 29 + 7) & 0xFF for i in range(3000))
        self.firmware = e2e.firmware_image(1234, "3.2.1", size=5000, seed=3)

    def start_bus(self, loader_serial=LIVE_LOADER):
        imx = "loader_serial=0x%s,loader_model=19,uid=%s,boot_ms=200,reboot_ms=300" % (
            loader_serial, ":".join("%#x" % w for w in UID))
        self.bus = support.UsbBus(self, "--dump-dir", str(self.dump), "--imx", imx, run_as=e2e.RUN_UID)

    def dumped(self, serial):
        self.bus("dump " + serial)
        path = self.dump / serial / ("firmware-%08X.bin" % e2e.FIRMWARE_ADDRESS)
        return path.read_bytes() if path.exists() else None

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
        self.assertEqual(self.dumped(serial), self.firmware)

    def test_with_a_bird_file_and_the_device_serial_number(self):
        # The live loader built for the device answers under its serial number.
        self.start_bus(SERIAL)
        path = self.work.cwd / "recover.bird"
        firmware_bird(path, 1234, self.firmware, int(SERIAL, 16), loader=self.loader)
        result = run_updater(self.work, self.bus, "-U", "-t", "RECOVER", "-s", "USB", "-d", SERIAL,
                             "-f", path)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        length = len(self.firmware) + 4
        self.assertEqual(result.out_lines[:-1], [
            "Updater (Version: 1.1 Apr 26 2023)",
            "Recovering from Birdfile: %s" % path,
            "Transferring firmware block 1 of 1, %d bytes" % length,
            # The live loader reboots into the firmware: off the bus when its link is closed,
            # which prints nothing.
            "Transferred 1 blocks, %d total bytes" % length])
        self.assertRegex(result.out_lines[-1], UPDATE_TIME)
        self.assert_loader_started()
        self.assert_firmware_installed(SERIAL)

    def test_from_the_update_server_with_the_default_live_loader(self):
        namespace = LoopbackNamespace(self)
        self.start_bus()
        data = self.work.root / "server"
        loader_bird(data / LIVE_LOADER / "7.bird", 7, self.loader)
        firmware_bird(data / SERIAL / "1234.bird", 1234, self.firmware, int(SERIAL, 16))
        (data / "fingerprints.json").write_text(json.dumps(
            {FINGERPRINT: {"serial": SERIAL, "build": 1234, "encode": False}}))
        server = Server(self, namespace, data)
        result = run_updater(self.work, self.bus, "-U", "-t", "RECOVER", "-s", "USB", "-u", server.url,
                             enter=namespace.enter)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        length = len(self.firmware) + 4
        self.assertEqual(result.out_lines[:2], ["Updater (Version: 1.1 Apr 26 2023)",
                                                "Recovering firmware with build: 1234"])
        self.assertEqual(result.out_lines[-3:-1], [
            "Transferring firmware block 1 of 1, %d bytes" % length,
            "Transferred 1 blocks, %d total bytes" % length])
        self.assertRegex(result.out_lines[-1], UPDATE_TIME)
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
        self.start_bus()
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
