"""LPC recovery end to end against a simulated chip that resets whenever the port closes: a board
whose DTR drives the chip's reset, with its ISP pin held, brings the chip back in its boot ROM,
unsynchronised, at every open of the port. The recovery opens the port for the identification,
again for the flash session and again after a change of rate: each time it finds out whether the
chip is still synchronised and synchronises it again when not.
"""

import os
import random

from support import recovery as rs
from support.recovery import mkbird

CHIP = (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)
SERIAL = "0012ABCD"
BUILD = 1234
FLASH_SIZE = 512 * 1024
IMAGE_SIZE = 9000
UNTOUCHED_ADVICE = ("Nothing was written: the module's flash is as it was and its chip waits in its boot ROM; "
                    "run the recovery again")


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


@rs.needs_updater
class LpcChipThatResetsAtEveryCloseTest(rs.RecoveryCase):
    def setUp(self):
        super().setUp()
        self.plain = image(IMAGE_SIZE, 21)
        blocks = [mkbird.info_block(build=BUILD, version="2.0.0", serial=int(SERIAL, 16), model="Osprey"),
                  mkbird.firmware_block(0, self.plain), mkbird.firmware_block(0x7F000, b"\x01\x02\x03\x04")]
        self.data.add_build(SERIAL, BUILD, mkbird.make(blocks))
        self.data.add_fingerprint(CHIP, SERIAL, BUILD)
        self.server = self.start_server()

    def chip(self, name, *args):
        path = self.work / name.replace(" ", "_")
        path.mkdir()
        os.chmod(path, 0o755)
        rom = rs.LpcRom(str(path), CHIP, *args, on_close="reset")
        self.addCleanup(rom.stop)
        return rom

    def recover(self, rom, *args):
        return self.run_updater("-U", "-t", "RECOVER", "-s", rom.link, "-u", self.server.url, *args)

    def assert_recovered(self, rom, result):
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, [], result)
        self.assertIn("Rebooting Device", result.out_lines, result)
        flash = rom.flash()
        self.assertEqual(flash[:IMAGE_SIZE], self.plain)
        self.assertEqual(flash[IMAGE_SIZE:], b"\xff" * (FLASH_SIZE - IMAGE_SIZE))

    def test_recovery_at_115200_and_at_other_rates(self):
        # The port is opened twice, for the identification and for the flash session, and the
        # second opening finds the chip reset by the close before it: it is synchronised again.
        # A change of rate moves the open port, which resets nothing.
        for rate in (None, 57600, 230400):
            with self.subTest(rate):
                rom = self.chip("at %s" % rate)
                result = self.recover(rom, *(("-o", str(rate)) if rate else ()))
                self.assert_recovered(rom, result)
                status = rom.wait_closed(2)
                self.assertEqual((status["opens"], status["on_close"]), (2, "reset"), status)
                self.assertEqual(status["resets"], 3, status)  # power-on, then every close
                history = rom.control("history")["history"]
                lines = [entry["line"] for entry in history]
                # No command of the flash session went to a chip that had not been synchronised
                # since the port last opened: the unlock is answered, and so is all that follows.
                unlock = lines.index("U 23130")
                self.assertEqual([entry["code"] for entry in history[unlock:] if entry["line"][:1] != "G"],
                                 [0] * (len(history) - unlock - 1), history)
                self.assertEqual(lines[-1], "G 0 T", lines)
                if rate:
                    self.assertEqual(lines.count("B %d 1" % rate), 1, lines)
                self.assertEqual(status["garbled"], 0, status)

    def test_a_run_again_after_a_failure_at_the_unlock_completes(self):
        rom = self.chip("unlock fails once", "--fault", "fail U none once")
        result = self.recover(rom)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err_lines, [
            "Recovery failed at the unlock of the flash: the chip did not confirm it within 1.0 s; "
            "the flash is untouched", UNTOUCHED_ADVICE], result)
        self.assertEqual(rom.flash(), b"\xff" * FLASH_SIZE)
        # The advice holds: the run again finds the chip reset by the close, and writes it.
        again = self.recover(rom)
        self.assert_recovered(rom, again)

    def test_fingerprint_twice_on_a_chip_that_resets(self):
        rom = self.chip("fingerprint")
        for run in range(2):
            result = self.run_updater("-N", "-s", rom.link, "-u", rs.closed_port_url())
            self.assertEqual(result.status, 0, result)
            self.assertEqual(result.out_lines[-1], "[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]", result)
        self.assertEqual(rom.control("status")["resets"], 3)
