"""-N and -U -t RECOVER end to end against the simulated LPC boot ROM (sim/lpc_rom.py on a pty)
and the simulated update server.

The recovery identifies the chip at 115200 baud, asks the server which device and build belong
to its fingerprint, downloads that build (encoded for this chip) into the store, decodes it and
writes it into flash through the ISP commands; the simulator's flash is compared with the plain
image and its command history with the pieces the flash session must send.
"""

import os
import random
import signal
import termios
import unittest
import urllib.parse

from support.common import sanitizer_builds_skip, starts_first
from support import recovery as rs
from support.recovery import mkbird

CHIP = (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)
OTHER_CHIP = (0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10)
UNKNOWN_CHIP = (0xFFFF0000, 0x0000FFFF, 0x00FF00FF, 0xFF00FF00)
SERIAL = "0012ABCD"
BUILD = 1234
STAGING = 0x10001000
FLASH_SIZE = 512 * 1024
SYNC = b"?Synchronized\r\n14746\r\n"
# The line after a failed flash step: what the module is left as and what to do next.
UNTOUCHED_ADVICE = ("Nothing was written: the module's flash is as it was and its chip waits in its boot ROM; "
                    "run the recovery again")
NO_FIRMWARE_ADVICE = "The module has no sound firmware now and was not started; run the recovery again to write it"
# An interrupted run must end this soon after the signal: the longest exchange it finishes first is
# the erase of all sectors (about 4 s at most).
SIGNAL_TO_END_LIMIT = 6.0
# The last line of a run that ended before anything was written.
NOTHING_WRITTEN = "Nothing was written to the device; check its port and boot mode, then run the command again"



def uu_zero_line(count=45):
    return bytes([32 + count]) + b"`" * (4 * ((count + 2) // 3))


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def recovery_file(firmware, serial=int(SERIAL, 16), fingerprint=None, offsets=None):
    """A bird file with the given (address, image) firmware blocks; encoded for fingerprint."""
    blocks = [mkbird.info_block(build=BUILD, version="2.0.0", serial=serial, model="Osprey")]
    blocks += [mkbird.firmware_block(address, data) for address, data in firmware]
    if offsets is not None:
        blocks.append(mkbird.serial_offsets_block(*offsets))
    return mkbird.make(blocks, fingerprint=fingerprint)


def flash_commands(commands):
    """The flash session's W and C commands as (letter, numbers) tuples."""
    return [(line[0], tuple(int(n) for n in line.split()[1:])) for line in commands if line[:1] in ("W", "C")]


@rs.needs_updater
class LpcRecoveryTest(rs.RecoveryCase):
    def setUp(self):
        super().setUp()
        self.plain = image(70000, 1)
        self.firmware = [(0, self.plain), (0x7F000, b"\x01\x02\x03\x04")]
        self.data.add_build(SERIAL, BUILD, recovery_file(self.firmware))
        self.data.add_fingerprint(CHIP, SERIAL, BUILD)

    def subdir(self, name):
        path = self.work / name.replace(" ", "_")
        path.mkdir()
        os.chmod(path, 0o755)
        return str(path)

    def chip(self, *args, on_close="reset"):
        rom = rs.LpcRom(self.subdir("chip"), CHIP, *args, on_close=on_close)
        self.addCleanup(rom.stop)
        return rom

    def recover(self, rom, *args):
        return self.run_updater("-U", "-t", "RECOVER", "-s", rom.link, *args)

    def assert_flash_untouched(self, rom):
        commands = rom.commands()
        self.assertFalse([line for line in commands if line[:1] in ("U", "P", "E", "W", "C", "G")], commands)
        self.assertEqual(rom.flash(), b"\xff" * FLASH_SIZE)

    # ---- -N --------------------------------------------------------------------------------------

    def test_fingerprint_prints_the_four_serial_words(self):
        rom = self.chip()
        result = self.run_updater("-N", "-s", rom.link, "-u", rs.closed_port_url())
        self.assertEqual(result.status, 0, result)
        self.assertIn("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]", result.out_lines, result)
        self.assertEqual(rom.commands(), ["N"])

    def test_a_chip_whose_answers_come_late_is_identified_and_recovered(self):
        # A USB serial adapter or a busy host may pass the chip's answers on well after their
        # wire time: here every answer, those of the synchronisation too, comes 40 ms late,
        # twice what the synchronisation once waited beyond the wire time.
        rom = self.chip("--fault", "delay 40")
        result = self.run_updater("-N", "-s", rom.link, "-u", rs.closed_port_url())
        self.assertEqual(result.status, 0, result)
        self.assertIn("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]", result.out_lines, result)
        server = self.start_server()
        result = self.recover(rom, "-u", server.url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(rom.flash()[:70000], self.plain)

    # Each takes the better part of a minute (the fill that would end an interrupted i.MX write
    # goes out at the line's rate): two tests, so that they run side by side.
    @starts_first
    @sanitizer_builds_skip("the identification takes the path of the port where nothing answers; "
                           "its time is the fill at the line's rate")
    def test_fingerprint_on_a_mute_lpc_chip(self):
        mute = self.chip("--fault", "mute on")
        self.assert_nothing_answers_fingerprint(mute.link)
        self.assertEqual(mute.control("status")["bytes_out"], 0)

    @starts_first
    def test_fingerprint_on_a_port_where_nothing_answers(self):
        silent = rs.BarePty(str(self.work))
        self.addCleanup(silent.close)
        self.assert_nothing_answers_fingerprint(silent.path, silent.drain)
        # The LPC probe and synchronisation came first, then the fill lines that would end a data
        # phase, a second synchronisation, then the boot ROM status check of the i.MX loader.
        fill = b"0" + b" " * 24 + b"\r\n"
        self.assertTrue(silent.heard.startswith(b"`\r\nN\r\n?" + fill * 21 + b"?" + bytes([0x05, 0x05])),
                        silent.heard)

    def assert_nothing_answers_fingerprint(self, port, watch=None):
        # The i.MX identification that follows the failed LPC one downloads the default live
        # loader and talks to the port's boot ROM: nothing answers that either.
        loader = mkbird.make([mkbird.loader_block(0x20000400, image(64, 2))])
        self.data.add_build(rs.LIVE_LOADER_SERIAL, 7, loader)
        server = self.start_server()
        result = self.run_updater("-N", "-s", port, "-u", server.url, while_running=watch)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, [
            "Identification failed: no LPC boot ROM answered on %s, and the i.MX boot ROM on %s did not "
            "answer its status check, even after 512 KiB to end an interrupted write (the board needs a "
            "power cycle) and no live loader is running on USB" % (port, port),
            "Got no response from chip", NOTHING_WRITTEN], result)
        self.assertEqual(self.settings(rs.LIVE_LOADER_SERIAL).get("LATEST_DOWNLOAD"), "7.bird")

    def test_a_chip_left_synchronised_is_identified_without_a_new_synchronisation(self):
        # What earlier hosts may leave behind on a chip that keeps its state when the port closes
        # (a cable that does not drive its reset).
        w = b"W 268439552 4096\r\n"
        states = [
            ("fresh from reset", b"", None),
            ("half synchronised", b"?Synchronized\r\n", None),
            ("synchronised, echo on", SYNC, None),
            ("synchronised, echo off", SYNC + b"A 0\r\n", None),
            ("half a command pending, echo on", SYNC + b"U 23130\r\nP 0 29\r\nE 0 2", None),
            ("data phase, half a line pending", SYNC + b"A 0\r\n" + w + (uu_zero_line() + b"\r\n") * 7 +
             uu_zero_line()[:20], "write_data"),
            ("data phase, checksum awaited, echo on", SYNC + w + (uu_zero_line() + b"\r\n") * 20, "write_data"),
            ("data phase, group refused", SYNC + b"A 0\r\n" + w + (uu_zero_line() + b"\r\n") * 20 + b"7\r\n",
             "write_data"),
        ]
        for name, earlier, left_in in states:
            with self.subTest(name):
                rom = rs.LpcRom(self.subdir(name), CHIP, on_close="keep")
                try:
                    rom.host_session(earlier)
                    if left_in:
                        self.assertEqual(rom.control("status")["state"], left_in)
                    result = self.run_updater("-N", "-s", rom.link, "-u", rs.closed_port_url())
                    self.assertEqual(result.status, 0, result)
                    self.assertEqual(result.out_lines[-1], "[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]", result)
                    status = rom.control("status")
                    # Left as a synchronisation leaves it, for the session that follows.
                    self.assertEqual((status["state"], status["echo"], status["resets"]), ("command", True, 1))
                    # The half command never ran: no flash command succeeded.
                    history = rom.control("history")["history"]
                    self.assertFalse([h for h in history if h["line"][:1] in ("E", "C", "G") and h["code"] == 0],
                                     history)
                finally:
                    rom.stop()

    def test_fingerprint_twice_then_recovery_on_a_chip_that_stays_synchronised(self):
        rom = self.chip(on_close="keep")
        server = self.start_server()
        for run in range(2):
            result = self.run_updater("-N", "-s", rom.link, "-u", server.url)
            self.assertEqual(result.status, 0, result)
            self.assertEqual(result.out_lines[-1], "[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]", result)
        result = self.recover(rom, "-u", server.url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        self.assertEqual(rom.flash()[:70000], self.plain)
        commands = rom.commands()
        # One synchronisation only: the later runs and the flash session were answered by the probe.
        self.assertEqual(commands[:9], ["N", "`", "N", "`", "N", "`", "N", "U 23130", "P 0 29"], commands)
        self.assertEqual(rom.control("status")["resets"], 1)

    # SIGINT and SIGTERM end the exchange under way, close the port and put its settings back.
    def test_recovery_interrupted_by_sigint_in_the_data_phase_runs_again(self):
        self.assert_interrupted_recovery_runs_again("SIGINT", signal.SIGINT, graceful=True)

    @sanitizer_builds_skip('the run again takes the path it takes after SIGINT')
    def test_recovery_interrupted_by_sigterm_in_the_data_phase_runs_again(self):
        self.assert_interrupted_recovery_runs_again("SIGTERM", signal.SIGTERM, graceful=True)

    # A pulled cable (here: a process killed outright) leaves the chip anywhere in a line.
    @sanitizer_builds_skip('the run again takes the path it takes after SIGINT')
    def test_recovery_killed_in_the_data_phase_runs_again(self):
        self.assert_interrupted_recovery_runs_again("killed", signal.SIGKILL, graceful=False)

    def assert_interrupted_recovery_runs_again(self, name, signum, graceful):
        server = self.start_server()
        # The chip keeps the state the interrupted run left it in: the run again must find it there.
        rom = rs.LpcRom(self.subdir(name), CHIP, "--pace", "115200", on_close="keep")
        try:
            before = self.port_settings(rom.link, termios.B9600)
            copies = lambda: sum(1 for line in rom.commands() if line.startswith("C "))
            in_data = lambda: rom.control("status")["state"] == "write_data" and copies() >= 3
            first = self.run_updater("-U", "-t", "RECOVER", "-s", rom.link, "-u", server.url,
                                     signal_when=(in_data, signum))
            self.assertEqual(first.status, -signum, first)
            self.assertLess(first.signal_to_end, SIGNAL_TO_END_LIMIT, first)
            self.assertNotIn("Rebooting Device", first.out_lines, first)
            if graceful:
                self.assertEqual(len(first.err_lines), 1, first)
                self.assertRegex(first.err_lines[0], r"^Recovery interrupted by %s at the write of 4096 "
                                 r"bytes of block 1 \(for flash 0x000[0-9A-F]{5}\) into the chip's RAM: "
                                 r"the flash is erased or partly written; run the recovery again$" % name)
                self.assertEqual(self.port_settings(rom.link), before)
            rom.wait_closed(2)
            second = self.recover(rom, "-u", server.url)
            self.assertEqual(second.status, 0, second)
            self.assertEqual(second.err_lines, [], second)
            self.assertEqual(rom.flash()[:70000], self.plain)
            self.assertEqual(rom.control("status")["resets"], 1)
        finally:
            rom.stop()

    @staticmethod
    def port_settings(path, speed=None):
        """The port's terminal settings (set to speed first when given)."""
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            if speed is not None:
                attributes = termios.tcgetattr(fd)
                attributes[4] = attributes[5] = speed
                termios.tcsetattr(fd, termios.TCSANOW, attributes)
            return termios.tcgetattr(fd)
        finally:
            os.close(fd)

    # ---- -U -t RECOVER ---------------------------------------------------------------------------

    def test_recovery_through_the_server(self):
        rom = self.chip()
        server = self.start_server()
        result = self.recover(rom, "-u", server.url)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        lines = result.out_lines
        for expected in ("Recovering firmware with build: 1234", "Downloading firmware build 1234",
                         "Transferring firmware block 1 of 1, 70000 bytes",
                         "Transferred 1 blocks, 70000 total bytes", "Rebooting Device"):
            self.assertIn(expected, lines, result)
        self.assertLess(lines.index("Transferred 1 blocks, 70000 total bytes"), lines.index("Rebooting Device"))
        self.assert_update_time_last(result)

        fix = [q for q in server.queries() if "op=fix&" in q]
        self.assertEqual(len(fix), 1, server.queries())
        self.assertEqual(urllib.parse.parse_qs(fix[0])["fp"], ["12345678 9ABCDEF0 0F1E2D3C 4B5A6978"])
        # The store keeps the build as served: encoded for this chip.
        stored = (self.store(SERIAL) / "1234.bird").read_bytes()
        self.assertEqual(stored, mkbird.transcode_file(recovery_file(self.firmware), CHIP))
        self.assertEqual(self.settings(SERIAL).get("LATEST_DOWNLOAD"), "1234.bird")

        flash = rom.flash()
        self.assertEqual(flash[:70000], self.plain)
        self.assertEqual(flash[70000:], b"\xff" * (FLASH_SIZE - 70000))  # the 4-byte block ends it

        # One synchronisation (N is the first command), then the flash session without one.
        pieces = []
        for n in range(18):
            length = 4096 if n < 17 else 512  # the 368-byte piece is staged with erased bytes
            # Each copy is compared with its RAM; the boot ROM shows its vectors over flash 0x00-0x3F.
            skip = 64 if n == 0 else 0
            pieces += ["W %d %d" % (STAGING, length), "P %d %d" % (n if n < 16 else 16, n if n < 16 else 16),
                       "C %d %d %d" % (n * 4096, STAGING, length),
                       "M %d %d %d" % (n * 4096 + skip, STAGING + skip, length - skip)]
        self.assertEqual(rom.commands(), ["N", "U 23130", "P 0 29", "E 0 29", "A 0"] + pieces + ["A 1", "G 0 T"])
        self.assertEqual(rom.control("status")["opens"], 2)

    def test_recovery_from_a_bird_file_skips_the_server(self):
        rom = self.chip()
        server = self.start_server()
        path = self.write_file("chip.bird", recovery_file(self.firmware, fingerprint=CHIP))
        result = self.recover(rom, "-f", path, "-u", server.url)
        self.assertEqual(result.status, 0, result)
        self.assertIn("Recovering from Birdfile: %s" % path, result.out_lines, result)
        self.assertEqual(server.queries(), [])
        self.assertEqual(rom.flash()[:70000], self.plain)

    def test_blocks_are_written_whole_and_stop_at_the_end_block(self):
        # Block 1 ends off a 4-byte boundary; its last piece (1101 bytes) is copied as 4096 bytes
        # over flash where block 2 follows. Block 3 lies behind the end block.
        first, second, third = image(4096 + 1101, 3), image(600, 4), image(256, 5)
        blocks = [(0, first), (0x1500, second), (0x7F000, b"\x00\x00\x00\x00"), (0x3000, third)]
        self.data.add_build(SERIAL, BUILD, recovery_file(blocks))
        rom = self.chip()
        result = self.recover(rom, "-u", self.start_server().url)
        self.assertEqual(result.status, 0, result)
        for expected in ("Transferring firmware block 1 of 2, 5197 bytes",
                         "Transferring firmware block 2 of 2, 600 bytes",
                         "Transferred 2 blocks, 5797 total bytes"):
            self.assertIn(expected, result.out_lines, result)
        flash = rom.flash()
        expected = bytearray(b"\xff" * FLASH_SIZE)
        expected[0:len(first)] = first
        expected[0x1500:0x1500 + len(second)] = second
        self.assertEqual(flash, bytes(expected))
        copies = [numbers for letter, numbers in flash_commands(rom.commands()) if letter == "C"]
        self.assertEqual(copies, [(0, STAGING, 4096), (4096, STAGING, 4096), (0x1500, STAGING, 1024)])

    def test_refusals_before_any_write(self):
        generic = recovery_file(self.firmware, serial=0, fingerprint=CHIP, offsets=(0x100, 0))
        generic_path = self.write_file("generic.bird", generic)
        self.data.add_build("00C0FFEE", BUILD, recovery_file(self.firmware, serial=0, offsets=(0x100, 0)))
        self.data.add_fingerprint(OTHER_CHIP, "00C0FFEE", BUILD)
        cases = [
            ("generic bird file named", CHIP, ["-f", generic_path],
             ["Updater does not support offline recovery"]),
            ("generic bird file from the server", OTHER_CHIP, [],
             ["Updater does not support offline recovery"]),
            ("chip unknown to the server", UNKNOWN_CHIP, [],
             ['Recovery query for chip %08X %08X %08X %08X failed: the update server answered "error": '
              'unknown fingerprint' % UNKNOWN_CHIP,
              "The update server named no recovery image for this chip", "Failed to load bird file"]),
        ]
        server = self.start_server()
        for name, chip, args, errors in cases:
            with self.subTest(name):
                rom = rs.LpcRom(self.subdir(name), chip)
                try:
                    result = self.recover(rom, *args, "-u", server.url)
                    self.assertEqual(result.status, 1, result)
                    self.assertEqual(result.err_lines, errors + [NOTHING_WRITTEN], result)
                    self.assert_no_update_time(result)
                    self.assert_flash_untouched(rom)
                finally:
                    rom.stop()
        self.assertFalse(self.store("00000000").exists())

    def test_images_that_do_not_fit_the_flash_are_refused_before_the_erase(self):
        cases = [
            ("address off a 256-byte boundary", 0x80, 1000, "address 0x00000080, 1000 bytes"),
            ("past the end of the flash", 0x7F800, 4096, "address 0x0007F800, 4096 bytes"),
        ]
        server = self.start_server()
        rom = self.chip()
        for name, address, size, where in cases:
            with self.subTest(name):
                self.data.add_build(SERIAL, BUILD, recovery_file([(address, image(size, 6)), (0, b"\0" * 4)]))
                (self.store(SERIAL) / "1234.bird").unlink(missing_ok=True)
                rom.control("reset")  # a new power-on: the chip synchronises again
                rom.control("history", "clear")
                result = self.recover(rom, "-u", server.url)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines, ["Firmware block 1 does not fit the chip's flash (%s)" % where],
                                 result)
                self.assert_update_time_last(result)
                self.assert_flash_untouched(rom)

    def test_every_failure_tells_its_step_and_cause(self):
        server = self.start_server()
        flash_session = [
            ("unlock refused", "fail U 16", "U 23130",
             "the unlock of the flash: the chip refused it with return code 16 (INVALID_CODE); "
             "the flash is untouched"),
            ("prepare refused", "fail P 7", "P 0 29",
             "the preparation of sectors 0 to 29: the chip refused it with return code 7 (INVALID_SECTOR); "
             "the flash is untouched"),
            ("erase refused", "fail E 9", "E 0 29",
             "the erase of sectors 0 to 29: the chip refused it with return code 9 "
             "(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION); the flash is untouched"),
            ("erase not confirmed in time", "fail E none", "E 0 29",
             "the erase of sectors 0 to 29: the chip did not confirm it within 4.9 s; the flash may be erased"),
            ("RAM write rejected", "resend always", "W 268439552 4096",
             "the write of 4096 bytes of block 1 (for flash 0x00000000) into the chip's RAM: the chip rejected "
             "the data's checksum three times; the flash is erased or partly written"),
            ("no answer to a RAM write", "fail W none", "W 268439552 4096",
             "the write of 4096 bytes of block 1 (for flash 0x00000000) into the chip's RAM: the chip did not "
             "confirm it within 1.0 s; the flash is erased or partly written"),
            ("copy refused", "fail C 9", "C 0 268439552 4096",
             "the copy of 4096 bytes to flash 0x00000000: the chip refused it with return code 9 "
             "(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION); the flash is erased or partly written"),
        ]
        for name, fault, last, error in flash_session:
            with self.subTest(name):
                rom = rs.LpcRom(self.subdir(name), CHIP, "--fault", fault)
                try:
                    result = self.recover(rom, "-u", server.url)
                    self.assertEqual(result.status, 1, result)
                    advice = UNTOUCHED_ADVICE if error.endswith("untouched") else NO_FIRMWARE_ADVICE
                    self.assertEqual(result.err_lines, ["Recovery failed at " + error, advice], result)
                    self.assertNotIn("Rebooting Device", result.out_lines, result)
                    self.assert_update_time_last(result)
                    commands = rom.commands()
                    self.assertEqual(commands[-1], last, commands)
                finally:
                    rom.stop()

        missing = str(self.work / "no-such-port")
        mute = rs.LpcRom(self.subdir("mute"), CHIP, "--fault", "mute on")
        self.addCleanup(mute.stop)
        identification = [
            ("port missing", missing,
             "Identification failed: serial port %s could not be opened: No such file or directory" % missing),
            ("chip silent", mute.link,
             "Identification failed: no LPC boot ROM answered on %s, and no live loader for DEADDEAD: none in "
             "the store and none from the update server" % mute.link),
        ]
        for name, port, error in identification:
            with self.subTest(name):
                result = self.run_updater("-U", "-t", "RECOVER", "-s", port, "-u", server.url)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines, [error, "Could not get Device Identifier", NOTHING_WRITTEN],
                                 result)
                self.assert_no_update_time(result)

    def test_echo_not_restored(self):
        rom = self.chip("--fault", "fail A 12")
        result = self.recover(rom, "-u", self.start_server().url)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, [
            "Recovery Error transfering data to device ==> [2, aErrParam]",
            "The flash holds the new firmware, checked, but the chip was not started; reset the module to start it, "
            "or run the recovery again"], result)
        self.assertNotIn("Rebooting Device", result.out_lines, result)
        self.assert_update_time_last(result)
        self.assertNotIn("G 0 T", rom.commands())


if __name__ == "__main__":
    unittest.main()
