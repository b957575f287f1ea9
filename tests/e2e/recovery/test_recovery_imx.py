"""-N and -U -t RECOVER end to end on an i.MX chip: the live loader written through the boot ROM
(the emulated USB HID boot ROM with -s USB, sim/imx_rom.py on a pty with a serial port), found as
USB module 0xDEADDEAD on the emulated bus (sim/usb_modules.py), identified by its unique
identifier and updated through the upgrade protocol, with the simulated update server.

On a serial port the LPC identification runs first; the i.MX ROM skips its bytes. In the serial
case the live loader arrives on the USB bus once the ROM on the pty has jumped (the test plugs
it in, as the chip would). The Updater only discovers over USB here: no packet can leave the
machine. The simulators run as the Updater's user so that it can open the USB test bed.
"""

import os
import signal
import termios
import unittest
import urllib.parse

from support import recovery as rs
from support import usb
from support.common import give_to_run_user, write_settings
from support.imx_rom import ImxRomProcess
from support.recovery import mkbird

LOADER = rs.LIVE_LOADER_SERIAL
# The live loader's unique identifier, sub-index 0..3; the fingerprint holds it backwards.
UID = (0x11112222, 0x33334444, 0x55556666, 0x77778888)
FINGERPRINT = tuple(reversed(UID))
DEVICE = "0A0B0C0D"
BUILD = 4321
LOADER_BUILD = 7
LOADER_ADDRESS = 0x20000000
DEFAULT_ENTRY = 0x20000400
# The last line of a run that ended before anything was written.
NOTHING_WRITTEN = "Nothing was written to the device; check its port and boot mode, then run the command again"



def loader_code(size=3000, seed=1):
    return bytes((i * 13 + seed) & 0xFF for i in range(size))


def firmware_code(size=5000):
    body = bytes(((i * 131) >> 3 ^ i) & 0xFF for i in range(size))
    # The device's own firmware: after the live loader's reboot the module answers as the device.
    return body + b"FWINFO build=4321 version=3.2.1 serial=0A0B0C0D\0"


def live_loader_file(start=None, loader=None):
    blocks = [mkbird.loader_block(LOADER_ADDRESS, loader if loader is not None else loader_code())]
    if start is not None:
        blocks.append(mkbird.start_address_block(start))
    return mkbird.make(blocks)


def device_file(serial=int(DEVICE, 16), offsets=None, loader=False):
    blocks = [mkbird.info_block(build=BUILD, version="3.2.1", serial=serial, model="Osprey"),
              mkbird.firmware_block(0, firmware_code())]
    if loader:  # a file named with -f also carries the live loader
        blocks.insert(0, mkbird.loader_block(LOADER_ADDRESS, loader_code()))
    if offsets is not None:
        blocks.append(mkbird.serial_offsets_block(*offsets))
    return mkbird.make(blocks)


def can_run():
    return rs.can_run() and usb.HAVE_UMOCKDEV


@unittest.skipUnless(can_run(), "needs root, setpriv, umockdev and UPDATER_BIN")
class ImxCase(rs.RecoveryCase):
    def setUp(self):
        super().setUp()
        self.dump = self.work / "dump"
        self.dump.mkdir()
        os.chown(self.dump, rs.RUN_UID, rs.RUN_UID)
        self.data.add_build(LOADER, LOADER_BUILD, live_loader_file())
        self.data.add_build(DEVICE, BUILD, device_file())
        # i.MX images go out as they are: the live loader takes them through the upgrade protocol.
        self.data.add_fingerprint(FINGERPRINT, DEVICE, BUILD, encode=False)
        self.server = self.start_server()

    def start_bus(self, *args):
        self.bus = usb.UsbBus(self, "--dump-dir", str(self.dump), *args, run_as=rs.RUN_UID)
        return self.bus

    def updater(self, *args, long_wait_ms=None, **options):
        """long_wait_ms: the test hook's cut of the program's waits of many seconds."""
        return self.run_updater(*args, env=self.bus.updater_env(long_wait_ms), **options)

    def loader_state(self):
        return self.bus.state(LOADER)

    def firmware_received(self):
        self.bus("dump " + LOADER)
        path = self.dump / LOADER / "firmware-00000000.bin"
        return path.read_bytes() if path.exists() else None

    def assert_outcome_last(self, result):
        """The update time, then the recovered module found under its own serial number running
        the recovery build."""
        self.assertTrue(len(result.out_lines) >= 2 and rs.UPDATE_TIME_RE.match(result.out_lines[-2]), result)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (DEVICE, BUILD), result)

    def assert_recovered(self, result):
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        length = len(firmware_code()) + 4
        for line in ("Recovering firmware with build: %d" % BUILD, "Downloading firmware build %d" % BUILD,
                     "Transferring firmware block 1 of 1, %d bytes" % length,
                     "Transferred 1 blocks, %d total bytes" % length):
            self.assertIn(line, result.out_lines, result)
        self.assert_outcome_last(result)
        self.assertEqual(self.firmware_received(), firmware_code())
        fix = [q for q in self.server.queries() if "op=fix&" in q]
        self.assertEqual(len(fix), 1, self.server.queries())
        self.assertEqual(urllib.parse.parse_qs(fix[0])["fp"], ["77778888 55556666 33334444 11112222"])
        # The default live loader and the device's build, both kept in the store.
        self.assertEqual(self.settings(LOADER).get("LATEST_DOWNLOAD"), "%d.bird" % LOADER_BUILD)
        self.assertEqual((self.store(DEVICE) / ("%d.bird" % BUILD)).read_bytes(), device_file())


class HidBootRom(ImxCase):
    """-s USB: the boot ROM's HID device, then the live loader on the same bus."""

    def start_chip(self, *rom_settings):
        keys = ["uid=%s" % ":".join("0x%08X" % w for w in UID), "boot_ms=300"] + list(rom_settings)
        return self.start_bus("--imx", ",".join(keys))

    def test_recovery(self):
        self.start_chip()
        result = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url)
        self.assert_recovered(result)
        rom = self.bus("imx state")
        self.assertEqual([(w["address"], w["count"], w["result"]) for w in rom["writes"]],
                         [(LOADER_ADDRESS, len(loader_code()), "accepted")])
        self.assertEqual(rom["jumps"], [DEFAULT_ENTRY])
        self.assertEqual(self.bus("imx read 0x%X %d" % (LOADER_ADDRESS, 64)), loader_code()[:64].hex())

    def test_recovery_from_a_bird_file_with_serial_number(self):
        # The named file carries the live loader and the firmware; the server is never asked.
        self.start_chip()
        path = self.write_file("device.bird", device_file(loader=True))
        result = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-d", DEVICE, "-f", path,
                              "-u", self.server.url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        self.assertIn("Recovering from Birdfile: %s" % path, result.out_lines)
        self.assert_outcome_last(result)
        self.assertEqual(self.firmware_received(), firmware_code())
        self.assertEqual(self.server.queries(), [])
        self.assertEqual(self.bus("imx state")["jumps"], [DEFAULT_ENTRY])

    def test_fingerprint(self):
        self.start_chip()
        # "USB" is the HID device even when the working directory holds a port of that name.
        decoy = rs.BarePty(str(self.home), "USB")
        self.addCleanup(decoy.close)
        result = self.updater("-N", "-s", "USB", "-u", self.server.url, while_running=decoy.drain)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(decoy.heard, b"")
        self.assertEqual(result.out_lines[-1], "[ 77778888 55556666 33334444 11112222 ]", result)
        # -N restarts the live loader once it has read the identifier.
        self.bus.wait_for(lambda: self.loader_state()["module"]["stats"]["restarts"] >= 1,
                          what="live loader restart")

    def test_live_loader_from_the_store(self):
        # A device directory with a download is used as it is; one without (a download that
        # failed half-way) gets the default image again instead of never getting a loader.
        stored_loader = loader_code(seed=9)
        cases = [
            ("latest download in the store", {"LATEST_DOWNLOAD": "3.bird"}, stored_loader, False),
            ("directory without a download", {}, loader_code(), True),
        ]
        for name, settings, written, downloads in cases:
            with self.subTest(name):
                store = self.store(LOADER)
                store.mkdir(parents=True, exist_ok=True)
                (store / "3.bird").write_bytes(live_loader_file(loader=stored_loader))
                write_settings(store, settings)
                give_to_run_user(self.home)
                before = len(self.server.queries())
                self.start_chip()
                try:
                    result = self.updater("-N", "-s", "USB", "-u", self.server.url)
                    self.assertEqual(result.status, 0, result)
                    rom = self.bus("imx state")
                    self.assertEqual([w["count"] for w in rom["writes"]], [len(written)])
                    self.assertEqual(self.bus("imx read 0x%X %d" % (LOADER_ADDRESS, 64)), written[:64].hex())
                    asked = [q for q in self.server.queries()[before:] if "sn=%s" % LOADER in q]
                    self.assertEqual(bool(asked), downloads, self.server.queries())
                finally:
                    self.bus.stop()

    def test_start_address_block(self):
        self.data.add_build(LOADER, LOADER_BUILD, live_loader_file(start=0x20000800))
        self.start_chip()
        result = self.updater("-N", "-s", "USB", "-u", self.server.url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(self.bus("imx state")["jumps"], [0x20000800])

    def test_failures(self):
        generic = device_file(serial=0, offsets=(0x100, 0), loader=True)
        cases = [
            # A bird file needs a device serial number: the default image is kept under none.
            ("bird file without serial number", (), ["-f", self.write_file("device.bird", device_file())],
             ["Add serial number or remove the bird filename to use a default recovery image.",
              "Could not get Device Identifier"]),
            ("boot ROM says nothing", ("rom.silent=on",), [],
             ["Identification failed: the i.MX boot ROM on USB did not answer its status check, even after "
              "512 KiB to end an interrupted write (the board needs a power cycle) and no live loader is running "
              "on USB", "Could not get Device Identifier"]),
            ("boot ROM rejects the loader", ("rom.reject=on",), [],
             ["Identification failed: the i.MX boot ROM on USB did not accept the live loader and no live loader "
              "is running on USB", "Could not get Device Identifier"]),
            ("generic bird file", (), ["-d", "0E0E0E0E", "-f", self.write_file("generic.bird", generic)],
             ["Updater does not support offline recovery"]),
        ]
        for name, rom_settings, args, errors in cases:
            with self.subTest(name):
                self.start_chip(*rom_settings)
                try:
                    result = self.updater("-U", "-t", "RECOVER", "-s", "USB", *args, "-u", self.server.url)
                    self.assertEqual(result.status, 1, result)
                    self.assertEqual(result.err_lines, errors + [NOTHING_WRITTEN], result)
                    self.assert_no_update_time(result)
                    self.assertIsNone(self.firmware_received())
                    if name == "bird file without serial number":
                        self.assertEqual(self.bus("imx state")["commands"], [])
                finally:
                    self.bus.stop()

    def test_recovery_interrupted_while_the_live_loader_takes_the_firmware_runs_again(self):
        self.start_chip()
        # Slow answers keep the firmware transfer going long enough to be interrupted in it.
        self.bus("set %s delay_ms 20" % LOADER)
        taking_data = lambda: self.loader_state()["module"]["stats"].get("data_packets", 0) >= 5
        first = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url,
                             signal_when=(taking_data, signal.SIGINT))
        self.assertEqual(first.status, -signal.SIGINT, first)
        self.assertLess(first.signal_to_end, 5, first)
        self.assertNotIn("Transferred 1 blocks", first.stdout)
        # The boot ROM jumped to the live loader and is gone until the chip is reset; the live
        # loader still runs and the second run takes it as it is.
        self.assertFalse(self.bus("imx state")["plugged"])
        # The kernel frees the interface a killed process held at once; the emulated bus does not
        # always hear of that process's end, so the live loader is plugged in again (it keeps
        # running and stays in loader mode).
        self.bus("unplug " + LOADER)
        self.bus("plug " + LOADER)
        self.bus("set %s delay_ms 0" % LOADER)
        second = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url)
        self.assertEqual(second.status, 0, second)
        self.assertEqual(second.err_lines, [], second)
        self.assertIn("Transferred 1 blocks, %d total bytes" % (len(firmware_code()) + 4), second.out_lines)
        self.assert_outcome_last(second)
        self.assertEqual(self.firmware_received(), firmware_code())
        self.assertEqual(self.bus("imx state")["jumps"], [DEFAULT_ENTRY])

    def test_fingerprint_twice_then_recovery(self):
        # -N restarts the live loader: the chip resets into its boot ROM, which starts a live loader
        # again for the next run.
        self.start_chip()
        for run in range(2):
            result = self.updater("-N", "-s", "USB", "-u", self.server.url)
            self.assertEqual(result.status, 0, result)
            self.assertEqual(result.out_lines[-1], "[ 77778888 55556666 33334444 11112222 ]", result)
            self.bus.wait_for(lambda: self.bus("imx state")["plugged"], what="the boot ROM back after the reset")
        result = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        self.assertEqual(self.firmware_received(), firmware_code())
        self.assertEqual(self.bus("imx state")["jumps"], [DEFAULT_ENTRY] * 3)

    def test_live_loader_fails_during_the_firmware(self):
        self.start_chip()
        # The loader answers the identification, then vanishes at the first firmware data.
        self.bus("set %s vanish_after_data 1" % LOADER)
        result = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Failed to write firmware block 1 at 0x00000000: the link to module %s was lost "
                      "(the device left the USB bus)" % LOADER, result.err_lines)
        self.assertEqual(result.err_lines[-2:], [
            "Failed to transfer firmware",
            "Device %s may be left with erased firmware: recover it again with -U -t RECOVER" % DEVICE], result)
        self.assertNotIn("Transferred 1 blocks", result.stdout)
        self.assert_update_time_last(result)


class SerialBootRom(ImxCase):
    """A serial port: the ROM on a pty hears the LPC identification first, then SDP."""

    def setUp(self):
        super().setUp()
        self.rom = ImxRomProcess(self.work, for_all_users=True)
        self.addCleanup(self.rom.stop)
        self.start_bus("--module", "serial=%s,start_in_loader=on,plugged=off,uid=%s" % (
            LOADER, ":".join("0x%08X" % w for w in UID)))
        self.plugged = False

    def plug_after_jump(self):
        """The chip's live loader arrives on USB once the ROM has jumped to it."""
        if not self.plugged and self.rom.state()["jumps"]:
            self.bus("plug " + LOADER)
            self.plugged = True

    def test_recovery(self):
        result = self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url,
                              while_running=self.plug_after_jump)
        self.assert_recovered(result)
        state = self.rom.state()
        # "?" of the LPC synchronisation was skipped before the first command.
        self.assertGreaterEqual(state["discarded"], 1)
        self.assertEqual([(w["address"], w["count"], w["result"]) for w in state["writes"]],
                         [(LOADER_ADDRESS, len(loader_code()), "accepted")])
        self.assertEqual(state["jumps"], [DEFAULT_ENTRY])

    def test_fingerprint(self):
        result = self.updater("-N", "-s", self.rom.link, "-u", self.server.url, while_running=self.plug_after_jump)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[-1], "[ 77778888 55556666 33334444 11112222 ]", result)

    def test_recovery_interrupted_while_the_boot_rom_takes_the_live_loader_runs_again(self):
        # A loader that takes seconds on a 115200-baud line, and a ROM that reads no faster.
        big_loader = loader_code(size=64 * 1024, seed=3)
        self.data.add_build(LOADER, LOADER_BUILD, live_loader_file(loader=big_loader))
        workdir = self.work / "paced"
        workdir.mkdir()
        self.rom = ImxRomProcess(workdir, "--pace", "--pace-input", for_all_users=True)
        self.addCleanup(self.rom.stop)
        fd = os.open(self.rom.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attributes = termios.tcgetattr(fd)
            attributes[4] = attributes[5] = termios.B9600
            termios.tcsetattr(fd, termios.TCSANOW, attributes)
            before = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        writes = lambda: self.rom.state()["writes"]
        receiving = lambda: bool(writes()) and writes()[-1]["received"] >= 8192
        first = self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url,
                             signal_when=(receiving, signal.SIGINT))
        self.assertEqual(first.status, -signal.SIGINT, first)
        self.assertLess(first.signal_to_end, 5, first)
        self.assertEqual(first.err_lines,
                         ["Recovery interrupted by SIGINT while the live loader was written; the port is closed"],
                         first)
        self.assertEqual(self.rom.state()["jumps"], [])
        # The ROM takes what was still on its way before it notices the close (and resets).
        self.bus.wait_for(lambda: self.rom.state()["resets"] >= 2, what="the ROM seeing the port closed")
        fd = os.open(self.rom.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            self.assertEqual(termios.tcgetattr(fd), before)
        finally:
            os.close(fd)
        second = self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url,
                              while_running=self.plug_after_jump)
        self.assertEqual(second.status, 0, second)
        self.assertEqual(second.err_lines, [], second)
        self.assertEqual(self.firmware_received(), firmware_code())
        self.assertEqual([(w["count"], w["result"]) for w in self.rom.state()["writes"]][-1],
                         (len(big_loader), "accepted"))

    def test_live_loader_that_never_arrives(self):
        # The live loader is looked for until its bound (15 s, cut to 1 s by the test hook), then
        # the identification gives up.
        result = self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url,
                              long_wait_ms=1000)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, [
            "Identification failed: no LPC boot ROM answered on %s, and the live loader did not come up on USB "
            "within 15 s" % self.rom.link, "Could not get Device Identifier", NOTHING_WRITTEN], result)
        self.assertEqual(self.rom.state()["jumps"], [DEFAULT_ENTRY])
        self.assertEqual([q for q in self.server.queries() if "op=fix&" in q], [])


if __name__ == "__main__":
    unittest.main()
