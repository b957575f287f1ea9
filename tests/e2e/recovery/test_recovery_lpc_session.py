"""LPC recovery's flash session end to end against the simulated LPC boot ROM (sim/lpc_rom.py on a
pty): the switch to the rate -o names, the chip's compare of every copy before it is started, and
a run again straight after one killed while the chip erased its flash.
"""

import os
import random
import signal
import unittest

from support import recovery as rs
from support.recovery import mkbird

CHIP = (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)
SERIAL = "0012ABCD"
BUILD = 1234
STAGING = 0x10001000
FLASH_SIZE = 512 * 1024
IMAGE_SIZE = 9000
ROM_VECTORS_END = 0x40

UNTOUCHED_ADVICE = ("Nothing was written: the module's flash is as it was and its chip waits in its boot ROM; "
                    "run the recovery again")
NO_FIRMWARE_ADVICE = "The module has no sound firmware now and was not started; run the recovery again to write it"


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def numbers(line):
    return tuple(int(n) for n in line.split()[1:])


@rs.needs_updater
class LpcFlashSessionTest(rs.RecoveryCase):
    def setUp(self):
        super().setUp()
        self.plain = image(IMAGE_SIZE, 11)
        blocks = [mkbird.info_block(build=BUILD, version="2.0.0", serial=int(SERIAL, 16), model="Osprey"),
                  mkbird.firmware_block(0, self.plain), mkbird.firmware_block(0x7F000, b"\x01\x02\x03\x04")]
        self.data.add_build(SERIAL, BUILD, mkbird.make(blocks))
        self.data.add_fingerprint(CHIP, SERIAL, BUILD)
        self.server = self.start_server()

    def chip(self, name, *args, on_close="reset"):
        path = self.work / name.replace(" ", "_")
        path.mkdir()
        os.chmod(path, 0o755)
        rom = rs.LpcRom(str(path), CHIP, *args, on_close=on_close)
        self.addCleanup(rom.stop)
        return rom

    def recover(self, rom, *args, **kwargs):
        return self.run_updater("-U", "-t", "RECOVER", "-s", rom.link, "-u", self.server.url, *args, **kwargs)

    def assert_flash_untouched(self, rom):
        commands = rom.commands()
        self.assertFalse([line for line in commands if line[:1] in ("U", "P", "E", "W", "C", "G")], commands)
        self.assertEqual(rom.flash(), b"\xff" * FLASH_SIZE)

    # ---- rates -----------------------------------------------------------------------------------

    def test_recovery_at_the_rate_asked_for(self):
        for rate in (230400, 57600):
            with self.subTest(rate):
                # The chip's line is paced at the rate in force: 115200 until the rate command. It
                # keeps its state over the close, for the look at its rate afterwards.
                rom = self.chip("at %d" % rate, "--pace", "115200", on_close="keep")
                result = self.recover(rom, "-o", str(rate))
                self.assertEqual(result.status, 0, result)
                self.assertEqual(result.err_lines, [], result)
                self.assertIn("Rebooting Device", result.out_lines, result)
                self.assertEqual(rom.flash()[:IMAGE_SIZE], self.plain)
                history = rom.control("history")["history"]
                lines = [entry["line"] for entry in history]
                # Identified at 115200, found synchronised by the probe when the port was opened
                # again, switched before the flash was touched, then the session.
                self.assertEqual(lines[:6], ["N", "`", "N", "B %d 1" % rate, "`", "N"], lines)
                self.assertEqual(history[3]["code"], 0)
                self.assertEqual(lines[6:9], ["U 23130", "P 0 29", "E 0 29"], lines)
                self.assertEqual(lines[-1], "G 0 T")
                status = rom.control("status")
                self.assertEqual((status["rate_changes"], status["uart_rate"], status["pace"]), ([rate], rate, rate))
                # Nothing reached the chip at a rate it was not listening at.
                self.assertEqual(status["garbled"], 0)

    def test_a_rate_the_chip_does_not_take(self):
        cases = [
            ("refused", "refuse-baud 230400",
             ["Recovery failed at the change to 230400 baud: the chip refused it with return code 17 "
              "(INVALID_BAUD_RATE); the flash is untouched", UNTOUCHED_ADVICE]),
            # Confirmed, but the chip's UART stayed at 115200: it hears nothing at the new rate.
            ("not answering", "stuck-baud 230400",
             ["Recovery failed at the change to 230400 baud: the chip did not answer at 230400 baud and was put "
              "back to 115200 baud; the flash is untouched",
              "Nothing was written: the module's flash is as it was and its chip waits in its boot ROM; "
              "run the recovery again at 115200 baud"]),
        ]
        for name, fault, errors in cases:
            with self.subTest(name):
                rom = self.chip(name, "--fault", fault)
                result = self.recover(rom, "-o", "230400")
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines, errors, result)
                self.assert_flash_untouched(rom)
                # The chip is left at 115200, where a run at the default rate finds it.
                again = self.recover(rom)
                self.assertEqual(again.status, 0, again)
                self.assertEqual(rom.flash()[:IMAGE_SIZE], self.plain)

    def test_a_session_that_fails_at_another_rate_leaves_the_chip_where_a_run_again_finds_it(self):
        rom = self.chip("failed at 230400", "--fault", "fail C 9 once")
        result = self.recover(rom, "-o", "230400")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines[-1], NO_FIRMWARE_ADVICE, result)
        self.assertEqual(rom.control("status")["rate_changes"], [230400, 115200])
        again = self.recover(rom)
        self.assertEqual(again.status, 0, again)
        self.assertEqual(rom.flash()[:IMAGE_SIZE], self.plain)

    # ---- compare -----------------------------------------------------------------------------------

    def test_every_copy_is_compared_before_the_chip_is_started(self):
        rom = self.chip("sound")
        result = self.recover(rom)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(rom.flash()[:IMAGE_SIZE], self.plain)
        history = rom.control("history")["history"]
        lines = [entry["line"] for entry in history]
        copies = [i for i, line in enumerate(lines) if line.startswith("C ")]
        self.assertEqual(len(copies), 3, lines)
        compared = set()
        for at in copies:
            flash, ram, count = numbers(lines[at])
            # Right after its copy, the flash is compared with the RAM it came from, and equal.
            self.assertTrue(lines[at + 1].startswith("M "), lines)
            self.assertEqual(history[at + 1]["code"], 0, history[at + 1])
            first, second, length = numbers(lines[at + 1])
            self.assertEqual(first - flash, second - ram)
            compared.update(range(first, first + length))
            # Every byte the copy wrote, but for the boot ROM's vectors, which hide the flash there.
            written = set(range(max(flash, ROM_VECTORS_END), flash + count))
            self.assertEqual(written - compared, set(), lines[at])
        self.assertEqual(min(compared), ROM_VECTORS_END)
        self.assertLess(max(i for i, line in enumerate(lines) if line.startswith("M ")), lines.index("G 0 T"))

    def test_a_copy_that_programs_a_word_wrongly_stops_before_the_chip_is_started(self):
        cases = [
            ("in the first piece", 0x44, "the check of 4032 bytes of flash 0x00000040: flash 0x00000044"),
            ("in the last piece", 0x2120, "the check of 1024 bytes of flash 0x00002000: flash 0x00002120"),
        ]
        for name, word, where in cases:
            with self.subTest(name):
                rom = self.chip(name, "--fault", "bad-word %#x" % word)
                result = self.recover(rom)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines, [
                    "Recovery failed at %s differs from what was written; the flash holds a damaged image" % where,
                    NO_FIRMWARE_ADVICE], result)
                self.assertNotIn("Rebooting Device", result.out_lines, result)
                commands = rom.commands()
                self.assertNotIn("G 0 T", commands)
                self.assertTrue(commands[-1].startswith("M "), commands)
                self.assertIsNone(rom.control("status")["started_at"])

    # ---- a run killed during the erase ------------------------------------------------------------

    def test_a_run_again_straight_after_one_killed_during_the_erase_completes(self):
        # A chip that keeps erasing over the close (its reset is not wired to the port).
        rom = self.chip("killed in the erase", on_close="keep")
        erasing = lambda: "E 0 29" in rom.commands()
        first = self.recover(rom, signal_when=(erasing, signal.SIGKILL))
        self.assertEqual(first.status, -signal.SIGKILL, first)
        rom.wait_closed(2)
        # The chip is still erasing when the second run starts.
        self.assertTrue(rom.control("status")["busy"])
        second = self.recover(rom)
        self.assertEqual(second.status, 0, second)
        self.assertEqual(second.err_lines, [], second)
        self.assertEqual(rom.flash()[:IMAGE_SIZE], self.plain)
        self.assertEqual(rom.control("status")["resets"], 1)

    def test_an_lpc_that_cannot_be_identified_is_not_taken_for_an_imx(self):
        rom = self.chip("no serial number", "--fault", "fail N 1")
        result = self.run_updater("-N", "-s", rom.link, "-u", self.server.url)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines[0], "Identification failed: the LPC boot ROM on %s did not send its device "
                         "serial number; nothing was written, run it again" % rom.link, result)
        self.assertNotIn("i.MX", "\n".join(result.err_lines))
        # No live loader was asked for, nor anything but LPC commands sent.
        self.assertFalse([q for q in self.server.queries() if "DEADDEAD" in q.upper()], self.server.queries())


if __name__ == "__main__":
    unittest.main()
