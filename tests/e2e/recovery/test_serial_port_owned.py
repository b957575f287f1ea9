"""A recovery owns its serial port, and no other program on the port can make it hang: a second
recovery started on the same port says the port is in use (with the first one's process id);
another program that changes the port's settings in the middle of a recovery (as `stty -F PORT
min 1 time 0` does) does not block a read; SIGHUP (the terminal or the remote session closed)
ends a recovery with one line and the port's settings restored.

Serial i.MX boot ROM (sim/imx_rom.py, paced at 115200 baud, so that the live loader's write
lasts seconds) with the live loader on the emulated USB bus, and the LPC boot ROM
(sim/lpc_rom.py) with its flash times.
"""

import os
import re
import signal
import termios
import unittest

from support import recovery as rs
from recovery import test_recovery_imx as imx
from recovery import test_recovery_lpc as lpc
from support.imx_rom import ImxRomProcess

LOADER = imx.loader_code(size=64 * 1024, seed=4)
SIGNAL_TO_END_LIMIT = 5


def writing(rom, least=4096):
    writes = rom.state()["writes"]
    return bool(writes) and writes[-1]["result"] == "receiving" and writes[-1]["received"] >= least


def settings_of(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


def change_settings(path, change):
    """Another program (root passes the port's exclusive mode) changes the port's settings."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attributes = termios.tcgetattr(fd)
        change(attributes)
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
    finally:
        os.close(fd)


def blocking_reads(attributes):
    """What `stty min 1 time 0` does: a read of a blocking port waits for a byte."""
    attributes[6][termios.VMIN] = 1
    attributes[6][termios.VTIME] = 0


def process_command_line(pid):
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        return f.read().split(b"\0")


class ImxSerial(imx.ImxCase):
    def setUp(self):
        super().setUp()
        self.data.add_build(imx.LOADER, imx.LOADER_BUILD, imx.live_loader_file(loader=LOADER))
        self.rom = ImxRomProcess(self.work, "--pace", "--pace-input", for_all_users=True)
        self.addCleanup(self.rom.stop)
        self.start_bus("--module", "serial=%s,start_in_loader=on,plugged=off,uid=%s" % (
            imx.LOADER, ":".join("0x%08X" % w for w in imx.UID)))
        self.plugged = False

    def plug_after_jump(self):
        if not self.plugged and self.rom.state()["jumps"]:
            self.bus("plug " + imx.LOADER)
            self.plugged = True

    def recover(self, **options):
        return self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url, **options)

    def assert_recovered_once(self, result):
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        self.assertEqual(self.firmware_received(), imx.firmware_code())
        self.assertEqual([(w["count"], w["result"]) for w in self.rom.state()["writes"]],
                         [(len(LOADER), "accepted")])

    def test_second_recovery_on_the_port_is_told_it_is_in_use(self):
        second = []
        holders = []

        def start_second():
            self.plug_after_jump()
            if not second and writing(self.rom):
                second.append(self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url))
                match = re.search(r"\(process (\d+)\)$", second[0].err_lines[0] if second[0].err_lines else "")
                if match:
                    holders.append(process_command_line(int(match.group(1))))

        first = self.recover(while_running=start_second)
        self.assert_recovered_once(first)
        self.assertTrue(second, "the second recovery never started")
        self.assertEqual(second[0].status, 1, second[0])
        self.assertEqual(len(second[0].err_lines), 3, second[0])
        self.assertRegex(second[0].err_lines[0], r"^Identification failed: serial port %s is in use by another "
                                                 r"program \(process \d+\)$" % re.escape(self.rom.link))
        self.assertEqual(second[0].err_lines[1:], ["Could not get Device Identifier",
                                                   "Nothing was written to the device; check its port and boot "
                                                   "mode, then run the command again"])
        self.assertLess(second[0].seconds, 10, second[0])
        # The process named is the first recovery.
        self.assertTrue(holders, second[0])
        self.assertIn(self.rom.link.encode(), holders[0])
        self.assertIn(b"RECOVER", holders[0])

    def test_settings_changed_by_another_program_block_no_read(self):
        changed = []

        def meddle():
            self.plug_after_jump()
            if not changed and writing(self.rom):
                change_settings(self.rom.link, blocking_reads)
                changed.append(True)

        result = self.recover(while_running=meddle)
        self.assertTrue(changed)
        self.assert_recovered_once(result)

    def test_sighup_ends_the_recovery_and_restores_the_port(self):
        change_settings(self.rom.link, lambda a: (a.__setitem__(4, termios.B9600), a.__setitem__(5, termios.B9600)))
        before = settings_of(self.rom.link)
        result = self.recover(signal_when=(lambda: writing(self.rom), signal.SIGHUP))
        self.assertEqual(result.status, -signal.SIGHUP, result)
        self.assertLess(result.signal_to_end, SIGNAL_TO_END_LIMIT, result)
        self.assertEqual(result.err_lines,
                         ["Recovery interrupted by SIGHUP while the live loader was written; the port is closed"],
                         result)
        self.bus.wait_for(lambda: self.rom.state()["resets"] >= 2, what="the ROM seeing the port closed")
        self.assertEqual(settings_of(self.rom.link), before)


@rs.needs_updater
class LpcSerial(rs.RecoveryCase):
    def setUp(self):
        super().setUp()
        self.plain = lpc.image(70000, 1)
        self.data.add_build(lpc.SERIAL, lpc.BUILD, lpc.recovery_file([(0, self.plain), (0x7F000, b"\x01\x02\x03\x04")]))
        self.data.add_fingerprint(lpc.CHIP, lpc.SERIAL, lpc.BUILD)
        chip_dir = self.work / "chip"
        chip_dir.mkdir()
        os.chmod(chip_dir, 0o755)
        # The flash erase takes its datasheet time (3 s for the whole chip): the recovery waits
        # for its answer while the settings change.
        self.rom = rs.LpcRom(str(chip_dir), lpc.CHIP, "--timing", "datasheet")
        self.addCleanup(self.rom.stop)

    def test_settings_changed_during_the_erase_block_no_read(self):
        server = self.start_server()
        changed = []

        def meddle():
            if not changed and any(line.startswith("E ") for line in self.rom.commands()):
                change_settings(self.rom.link, blocking_reads)
                changed.append(True)

        result = self.run_updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", server.url,
                                  while_running=meddle)
        self.assertTrue(changed)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        self.assertEqual(self.rom.flash()[:len(self.plain)], self.plain)


if __name__ == "__main__":
    unittest.main()
