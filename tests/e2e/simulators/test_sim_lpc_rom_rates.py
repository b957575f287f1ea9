"""The simulated LPC17xx boot ROM (sim/lpc_rom.py): its rate command and its compare command, driven
by a small host on the pty that sets its port's speed as a serial host would.

B answers at the old rate and then listens at the new one; what a host sends at another speed is
lost. M answers CMD_SUCCESS, or COMPARE_ERROR (10) and the offset of the first difference. The
faults refuse-baud, stuck-baud and bad-word. Every wait is bounded; the simulator is stopped by its
process id.
"""

import os
import select
import tempfile
import termios
import time
import tty
import unittest

from support.lpc_rom import LpcRom

STEP_TIMEOUT = 5.0
SPEEDS = {9600: termios.B9600, 57600: termios.B57600, 115200: termios.B115200, 230400: termios.B230400}
SYNC = b"?Synchronized\r\n14746\r\n"


class Host:
    """The host end of the pty at a given speed, echo of the chip taken as it comes."""

    def __init__(self, path, rate):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.speed(rate)

    def speed(self, rate):
        attributes = termios.tcgetattr(self.fd)
        attributes[4] = attributes[5] = SPEEDS[rate]
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes)

    def send(self, data):
        os.write(self.fd, data)

    def read_until(self, ending, timeout=STEP_TIMEOUT):
        """What the chip sends until it ends with `ending` or the time is up."""
        heard = b""
        deadline = time.monotonic() + timeout
        while not heard.endswith(ending) and time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], max(deadline - time.monotonic(), 0))
            if ready:
                heard += os.read(self.fd, 4096)
        return heard

    def command(self, line, answer_lines=1, timeout=STEP_TIMEOUT):
        """Sends a command (echo off) and returns its answer lines."""
        self.send(line + b"\r\n")
        heard = b""
        deadline = time.monotonic() + timeout
        while heard.count(b"\r\n") < answer_lines and time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], max(deadline - time.monotonic(), 0))
            if ready:
                heard += os.read(self.fd, 4096)
        return heard.split(b"\r\n")[:answer_lines] if heard.count(b"\r\n") >= answer_lines else None

    def close(self):
        os.close(self.fd)


class RateAndCompareTest(unittest.TestCase):
    def start(self, *args):
        work = tempfile.mkdtemp(prefix="lpc-rates.")
        rom = LpcRom(work, "--on-close", "keep", *args)
        self.addCleanup(rom.stop)
        host = Host(rom.link, 115200)
        self.addCleanup(host.close)
        host.send(SYNC)
        self.assertTrue(host.read_until(b"OK\r\n14746\r\nOK\r\n").endswith(b"OK\r\n"))
        host.send(b"A 0\r\n")
        self.assertTrue(host.read_until(b"A 0\r\n0\r\n").endswith(b"A 0\r\n0\r\n"))  # echoed, then off
        return rom, host

    def test_the_rate_command_moves_the_chip_to_the_new_rate(self):
        rom, host = self.start("--pace", "115200")
        self.assertEqual(host.command(b"B 230400 1"), [b"0"])
        status = rom.control("status")
        self.assertEqual((status["uart_rate"], status["pace"], status["rate_changes"]), (230400, 230400, [230400]))
        # At the old speed the chip hears garbage and says nothing.
        self.assertIsNone(host.command(b"N", 5, timeout=0.5))
        self.assertGreater(rom.control("status")["garbled"], 0)
        host.speed(230400)
        self.assertEqual(host.command(b"K", 3), [b"0", b"4", b"1"])
        # A reset puts it back to the rate it synchronises at.
        rom.control("reset")
        self.assertIsNone(rom.control("status")["uart_rate"])

    def test_rate_faults(self):
        cases = [
            ("refused", "refuse-baud 230400", [b"17"], None),
            ("not a rate of the chip", "clear", [b"17"], None),
            ("confirmed but not taken", "stuck-baud 230400", [b"0"], 115200),
        ]
        for name, fault, answer, uart in cases:
            with self.subTest(name):
                rom, host = self.start("--fault", fault)
                rate = b"2400" if name == "not a rate of the chip" else b"230400"
                self.assertEqual(host.command(b"B " + rate + b" 1"), answer)
                self.assertEqual(rom.control("status")["uart_rate"], uart)
                # Still heard at 115200.
                self.assertEqual(host.command(b"K", 3), [b"0", b"4", b"1"])

    def test_compare_names_the_first_difference_of_a_word_programmed_wrongly(self):
        rom, host = self.start("--fault", "bad-word 0x1008")
        data = bytes(range(256))
        # 256 bytes into RAM at 0x10001000: six uuencoded lines and their checksum.
        self.assertEqual(host.command(b"W 268439552 256"), [b"0"])
        for at in range(0, 256, 45):
            chunk = data[at:at + 45]
            line = bytes([32 + len(chunk)])
            padded = chunk + bytes(-len(chunk) % 3)
            for i in range(0, len(padded), 3):
                group = int.from_bytes(padded[i:i + 3], "big")
                line += bytes(((group >> s) & 63 or 64) + 32 for s in (18, 12, 6, 0))
            host.send(line + b"\r\n")
        self.assertEqual(host.command(b"%d" % sum(data)), [b"OK"])
        for line in (b"U 23130", b"P 0 1", b"E 0 1", b"P 0 1", b"C 0 268439552 256", b"P 1 1",
                     b"C 4096 268439552 256"):
            self.assertEqual(host.command(line), [b"0"], line)
        # The ROM's vectors hide flash 0x00-0x3F; above them the copy is sound.
        self.assertEqual(host.command(b"M 0 268439552 256", 2), [b"10", b"0"])
        self.assertEqual(host.command(b"M 64 268439616 192"), [b"0"])
        self.assertEqual(host.command(b"M 4096 268439552 256", 2), [b"10", b"8"])
        history = rom.control("history")["history"]
        self.assertEqual(history[-1], {"line": "M 4096 268439552 256", "code": 10})


if __name__ == "__main__":
    unittest.main()
