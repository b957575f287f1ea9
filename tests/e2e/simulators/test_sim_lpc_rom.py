"""The simulated LPC17xx boot ROM (sim/lpc_rom.py).

Cross-checked against independent ISP hosts from Debian: lpc21isp flashes an
image and the simulator's flash is compared byte for byte; lpcprog and lpcisp
(lpctools) read the serial number, boot code version, part id and memory.
The paths those tools never take (checksum rejections, failing commands, a
silent chip, programming without erase) are driven by a small Python host.
Every wait is bounded; the simulator is stopped by its process id.
"""

import binascii
import os
import random
import select
import shutil
import struct
import subprocess
import tempfile
import time
import tty
import unittest

from support.lpc_rom import LpcRom

PART_ID = 0x26013F37
RAM = 0x10000000
STAGING = 0x10001000
FLASH_SIZE = 512 * 1024
TOOL_TIMEOUT = 180
STEP_TIMEOUT = 5.0
SERIAL = (0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00C0FFEE)

# lpcprog handles uniform sectors only: describe the LPC1768 by its 16 small
# sectors (64 KB), staging at RAM + 0x800 in 1 KB blocks, uuencoded.
LPCTOOLS_PARTS = ("0x26013F37, LPC1768, 0x00000000, 0x10000, 16, 0x04, "
                  "0x10000000, 0x8000, 0x800, 0x400, 1\n")


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def with_vector_checksum(data):
    """Word 7 becomes the two's complement of the sum of words 0-6."""
    words = struct.unpack("<7I", data[:28])
    return data[:28] + struct.pack("<I", -sum(words) & 0xFFFFFFFF) + data[32:]


def uu_line(data):
    return binascii.b2a_uu(data, backtick=True).rstrip(b"\n")


def have(tool):
    return shutil.which(tool) is not None


class SimTestCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="lpc-sim-")
        self.sim = LpcRom(self.tmp, *self.sim_args)
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.addCleanup(self.sim.stop)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def run_tool(self, *argv):
        return subprocess.run(list(argv), cwd=self.tmp, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=TOOL_TIMEOUT, text=True, errors="replace")


# ---------------------------------------------------------------------------
# A small host of our own

class IspHost:
    """Speaks ISP over the pty; every read is bounded by a deadline."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.buf = b""
        self.echo = True

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        os.write(self.fd, data)

    def read_some(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return b""
        return os.read(self.fd, 4096)

    def read_line(self, timeout=STEP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no line; have %r" % self.buf)
            self.buf += self.read_some(left)
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line.decode("latin-1")

    def quiet_for(self, seconds):
        """True when nothing at all arrives within `seconds`."""
        data = self.read_some(seconds)
        self.buf += data
        return not self.buf

    def sync(self):
        self.send("?")
        assert self.read_line() == "Synchronized"
        self.send("Synchronized\r\n")
        assert self.read_line() == "Synchronized"
        assert self.read_line() == "OK"
        self.send("14746\r\n")
        assert self.read_line() == "14746"
        assert self.read_line() == "OK"

    def command(self, line, extra_lines=0):
        """Send a command; returns (code, extra reply lines)."""
        self.send(line + "\r\n")
        if self.echo:
            echoed = self.read_line()
            assert echoed == line, "echo %r != %r" % (echoed, line)
        code = int(self.read_line())
        return code, [self.read_line() for _ in range(extra_lines if code == 0 else 0)]

    def echo_off(self):
        code, _ = self.command("A 0")
        assert code == 0
        self.echo = False

    def send_line(self, line):
        self.send(line + b"\r\n")
        if self.echo:
            assert self.read_line().encode("latin-1") == line

    def write_ram(self, address, data, resends=3):
        """W with uuencoded lines; returns the checksum answers seen."""
        code, _ = self.command("W %d %d" % (address, len(data)))
        if code:
            return code, []
        answers = []
        done = 0
        while done < len(data):
            group = data[done:done + 20 * 45]
            for i in range(0, len(group), 45):
                self.send_line(uu_line(group[i:i + 45]))
            self.send_line(b"%d" % sum(group))
            answer = self.read_line()
            answers.append(answer)
            if answer == "OK":
                done += len(group)
            elif answer == "RESEND" and resends > 1:
                resends -= 1
            else:
                return None, answers
        return 0, answers

    def read_memory(self, address, count, bad_answers=0):
        """R; answers RESEND on a checksum mismatch. Returns (data, answers)."""
        code, _ = self.command("R %d %d" % (address, count))
        if code:
            return None, code
        data = b""
        answers = []
        while len(data) < count:
            group = b""
            for _ in range(20):
                group += binascii.a2b_uu(self.read_line())
                if len(data) + len(group) >= count:
                    break
            checksum = int(self.read_line())
            answer = "OK" if checksum == sum(group) else "RESEND"
            answers.append(answer)
            self.send_line(answer.encode())
            if answer == "OK":
                data += group
        return data, answers


class HostTestCase(SimTestCase):
    def setUp(self):
        super().setUp()
        self.host = IspHost(self.sim.link)
        self.addCleanup(lambda: self.host.close())

    def synced_host(self, echo=False):
        self.host.sync()
        if not echo:
            self.host.echo_off()
        return self.host

    def reopen(self):
        closes = self.sim.control("status")["closes"]
        self.host.close()
        self.sim.wait_closed(closes + 1)
        self.host = IspHost(self.sim.link)

    def program(self, sector_address, data, erase=True):
        """Unlock, (erase,) stage and copy one block to flash."""
        h = self.host
        sector = sector_address // 0x1000 if sector_address < 0x10000 else \
            16 + (sector_address - 0x10000) // 0x8000
        self.assertEqual(h.command("U 23130")[0], 0)
        if erase:
            self.assertEqual(h.command("P %d %d" % (sector, sector))[0], 0)
            self.assertEqual(h.command("E %d %d" % (sector, sector))[0], 0)
        self.assertEqual(h.write_ram(STAGING, data)[0], 0)
        self.assertEqual(h.command("P %d %d" % (sector, sector))[0], 0)
        self.assertEqual(h.command("C %d %d %d" % (sector_address, STAGING, len(data)))[0], 0)


# ---------------------------------------------------------------------------
# Independent tools

@unittest.skipUnless(have("lpc21isp"), "lpc21isp not installed")
class Lpc21ispTest(SimTestCase):
    def flash_with_lpc21isp(self, fw, *options):
        path = self.write_file("fw.bin", fw)
        result = self.run_tool("lpc21isp", *options, "-bin", path, self.sim.link,
                               "115200", "14746")
        return result

    def test_writes_image_with_vector_checksum(self):
        fw = image(70 * 1024 + 123, seed=1)
        result = self.flash_with_lpc21isp(fw)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("Download Finished", result.stdout)
        self.assertIn("(0x26013F37)", result.stdout)
        flash = self.sim.flash()
        expected = with_vector_checksum(fw)
        self.assertNotEqual(expected[:32], fw[:32])
        self.assertEqual(flash[:len(fw)], expected)
        history = self.sim.history()
        self.assertEqual([h for h in history if h["code"] != 0], [])
        self.assertEqual(history[-1]["line"], "G 0 T")
        self.assertTrue(self.sim.control("status")["user_code_valid"])

    def test_verify_and_wipe(self):
        # Junk everywhere, so that -wipe has something to clear in the last sector.
        preload = self.write_file("junk.bin", bytes(FLASH_SIZE))
        self.sim.control("load", preload)
        fw = image(70000, seed=2)
        result = self.flash_with_lpc21isp(fw, "-verify", "-wipe")
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("Verified correct", result.stdout)
        flash = self.sim.flash()
        self.assertEqual(flash[:len(fw)], with_vector_checksum(fw))
        self.assertEqual(flash[-0x8000:], b"\xff" * 0x8000)
        compares = [h["line"] for h in self.sim.history() if h["line"].startswith("M ")]
        self.assertTrue(compares)
        # The ROM vectors hide flash 0x00-0x3F, so sector 0 is compared from 0x40.
        self.assertIn("M 64 268436032 4032", compares)

    def test_checksum_rejections(self):
        fw = image(20000, seed=3)
        cases = [("once", 0, True), ("always", 7, False)]
        for mode, rc, written in cases:
            with self.subTest(resend=mode):
                self.sim.control("fault", "resend", mode)
                closes = self.sim.control("status")["closes"]
                result = self.flash_with_lpc21isp(fw)
                self.sim.wait_closed(closes + 1)
                self.assertEqual(result.returncode, rc, result.stdout)
                flash = self.sim.flash()
                self.assertEqual(flash[:len(fw)] == with_vector_checksum(fw), written)
                if mode == "once":
                    self.assertEqual(self.sim.control("status")["faults"]["resend"], "off")
                self.sim.control("fault", "resend", "off")
                self.sim.control("load", self.write_file("e", b""))

    def test_silent_chip(self):
        self.sim.control("fault", "mute", "on")
        result = self.flash_with_lpc21isp(image(1024, seed=4), "-try2")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("no answer on '?'", result.stdout)
        self.assertEqual(self.sim.history(), [])


@unittest.skipUnless(have("lpcprog") and have("lpcisp"), "lpctools not installed")
class LpctoolsTest(SimTestCase):
    sim_args = ("--serial",) + tuple("%#x" % w for w in SERIAL) + ("--boot-version", "8", "4")

    def lpcprog(self, *args):
        parts = self.write_file("parts.def", LPCTOOLS_PARTS.encode())
        closes = self.sim.control("status")["closes"]
        result = self.run_tool("lpcprog", "-p", parts, "-d", self.sim.link, "-f", "14746", *args)
        self.sim.wait_closed(closes + 1)
        return result.stdout

    def lpcisp(self, *args):
        closes = self.sim.control("status")["closes"]
        result = self.run_tool("lpcisp", self.sim.link, *args)
        self.sim.wait_closed(closes + 1)
        return result.stdout

    def test_lpcprog_id_reads_serial_part_and_version(self):
        out = self.lpcprog("-c", "id")
        self.assertIn("Part ID is 0x26013f37", out)
        self.assertIn("UID: " + " - ".join("0x%08x" % w for w in SERIAL), out)
        # lpcprog prints the two version lines as second.first
        self.assertIn("Boot code version is 4.8", out)
        lines = [h["line"] for h in self.sim.history()]
        self.assertEqual(lines[0], "A 0")
        self.assertEqual(set(lines[1:]), {"J", "N", "K"})

    def test_lpcprog_flash_and_dump(self):
        fw = image(61000, seed=5)
        out = self.lpcprog("-c", "flash", self.write_file("fw.bin", fw))
        self.assertIn("Writing started", out)
        flash = self.sim.flash()
        self.assertEqual(flash[:len(fw)], with_vector_checksum(fw))
        history = self.sim.history()
        self.assertEqual([h for h in history if h["code"] != 0 and not h["line"].startswith("I ")], [])
        # Sector 0 never reads blank in ISP mode: the ROM vectors sit over it.
        self.assertIn({"line": "I 0 0", "code": 8}, history)

        self.lpcprog("-c", "dump", self.path("dump.bin"))
        with open(self.path("dump.bin"), "rb") as f:
            dump = f.read()
        self.assertEqual(len(dump), 0x10000)
        self.assertEqual(dump[64:], flash[64:0x10000])
        self.assertNotEqual(dump[:64], flash[:64])

    def test_lpcisp_session_across_opens(self):
        # lpcisp synchronises once and expects the chip to stay in its
        # session while the port is closed and opened again.
        self.sim.control("on-close", "keep")
        preload = image(0x3000, seed=6)
        self.sim.control("load", self.write_file("pre.bin", preload))
        self.assertIn("Device session openned", self.lpcisp("-s"))
        self.assertIn("UID: " + " - ".join("0x%08x" % w for w in SERIAL),
                      self.lpcisp("read-uid"))
        self.assertIn("Boot code version is 4.8", self.lpcisp("read-boot-version"))
        self.assertIn("Part ID is 0x26013f37", self.lpcisp("read-part-id"))
        self.lpcisp("read-memory", "4096", "1024", self.path("rd.bin"))
        with open(self.path("rd.bin"), "rb") as f:
            self.assertEqual(f.read(), preload[4096:5120])

        block = image(1024, seed=7)
        steps = [
            (("unlock",), "unlocked"),
            (("write-to-ram", "268437504", self.write_file("blk.bin", block), "1"), None),
            (("copy-ram-to-flash", "8192", "268437504", "1024"),
             "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"),
            (("prepare-for-write", "2", "2"), "prepared"),
            (("erase", "2", "2"), "erased"),
            (("blank-check", "2", "2"), "all blank"),
            (("prepare-for-write", "2", "2"), "prepared"),
            (("copy-ram-to-flash", "8192", "268437504", "1024"), "copied"),
            (("compare", "8192", "268437504", "1024"), "equal"),
            (("compare", "8196", "268437504", "1024"), "COMPARE_ERROR"),
            (("blank-check", "2", "2"), "SECTOR_NOT_BLANK"),
        ]
        for args, expected in steps:
            with self.subTest(args=args):
                out = self.lpcisp(*args)
                if expected is None:   # lpcisp says nothing on success here
                    self.assertNotIn("rror", out)
                else:
                    self.assertIn(expected, out)
        flash = self.sim.flash()
        self.assertEqual(flash[8192:9216], block)
        self.assertEqual(flash[9216:12288], b"\xff" * 3072)
        self.assertEqual(flash[:8192], preload[:8192])


# ---------------------------------------------------------------------------
# Paths the tools do not take

class SynchronisationTest(HostTestCase):
    def test_echo_then_silence_after_a_0(self):
        h = self.host
        h.sync()
        h.send("J\r\n")
        self.assertEqual([h.read_line() for _ in range(3)], ["J", "0", str(PART_ID)])
        h.send("A 0\r\n")
        self.assertEqual([h.read_line() for _ in range(2)], ["A 0", "0"])
        h.send("K\r\n")
        self.assertEqual([h.read_line() for _ in range(3)], ["0", "4", "1"])

    def test_a_host_that_stops_reading_leaves_the_chip_waiting_asleep(self):
        # Echo on, the chip echoes every line it gets; a host that sends and never reads fills its
        # side of the line. The chip then waits for room on its line as a real one does, taking
        # no processor time meanwhile (it runs ahead of the host's programs: a wait that never
        # slept would keep them from the processor).
        h = self.host
        h.sync()
        line = b"J" + b" " * 60 + b"\r\n"
        for _ in range(2000):   # far more than the line and the host's buffers hold
            h.send(line)
        time.sleep(0.5)   # the chip has taken what it can and filled the host's side
        before = self.processor_seconds()
        time.sleep(2.0)
        self.assertLess(self.processor_seconds() - before, 0.5)
        # What it kept is still there for the host to read.
        self.assertIn(b"J", h.read_some(1.0))

    def processor_seconds(self):
        with open("/proc/%d/stat" % self.sim.proc.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def test_wrong_sync_line_returns_to_autobaud(self):
        h = self.host
        h.send("?")
        self.assertEqual(h.read_line(), "Synchronized")
        h.send("Synchronised\r\n")
        self.assertEqual(h.read_line(), "Synchronised")
        self.assertTrue(h.quiet_for(0.3))
        h.sync()

    def test_close_resets_or_keeps_the_session(self):
        self.synced_host()
        self.reopen()
        self.host.send("J\r\n")
        self.assertTrue(self.host.quiet_for(0.3), "a reset chip ignores all but '?'")
        self.host.buf = b""
        self.sim.control("on-close", "keep")
        self.synced_host()
        self.assertEqual(self.host.command("U 23130")[0], 0)
        self.reopen()
        self.host.echo = False
        self.assertEqual(self.host.command("J", 1), (0, [str(PART_ID)]))
        # Unlock survived too: erase needs only a prepare.
        self.assertEqual(self.host.command("P 3 3")[0], 0)
        self.assertEqual(self.host.command("E 3 3")[0], 0)

    def test_silent_chip_and_recovery(self):
        self.sim.control("fault", "mute", "on")
        self.host.send("?")
        self.assertTrue(self.host.quiet_for(0.5))
        self.sim.control("fault", "mute", "off")
        self.synced_host()
        self.assertEqual(self.host.command("N", 4), (0, [str(w) for w in (
            0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)]))

    def test_serial_number_set_at_run_time(self):
        self.sim.control("serial", *("%#x" % w for w in SERIAL))
        self.synced_host()
        self.assertEqual(self.host.command("N", 4), (0, [str(w) for w in SERIAL]))


class DataTransferTest(HostTestCase):
    def test_write_groups_and_read_back(self):
        # 904 bytes: 20 lines and one checksum, then one 4-byte line and a second checksum.
        h = self.synced_host(echo=True)
        data = image(904, seed=8)
        self.assertEqual(h.write_ram(STAGING, data), (0, ["OK", "OK"]))
        h.echo_off()
        self.assertEqual(h.read_memory(STAGING, 904), (data, ["OK", "OK"]))

    def test_resend_once_then_ok(self):
        h = self.synced_host()
        self.sim.control("fault", "resend", "once")
        data = image(2000, seed=9)
        self.assertEqual(h.write_ram(STAGING, data), (0, ["RESEND", "OK", "OK", "OK"]))
        self.assertEqual(h.read_memory(STAGING, 2000)[0], data)

    def test_resend_always_holds_the_group(self):
        h = self.synced_host()
        data = image(1300, seed=10)
        self.assertEqual(h.write_ram(STAGING, data[:900]), (0, ["OK"]))
        self.sim.control("fault", "resend", "always")
        code, answers = h.write_ram(STAGING + 900, data[900:])
        self.assertIsNone(code)
        self.assertEqual(answers, ["RESEND"] * 3)
        self.assertEqual(self.sim.control("status")["state"], "write_data")
        self.sim.control("fault", "resend", "off")
        # The chip still waits for that group: sending it once more completes the write.
        group = data[900:]
        for i in range(0, len(group), 45):
            h.send_line(uu_line(group[i:i + 45]))
        h.send_line(b"%d" % sum(group))
        self.assertEqual(h.read_line(), "OK")
        self.assertEqual(h.read_memory(STAGING, 1300)[0], data)

    def test_wrong_checksum_from_the_host_is_rejected(self):
        h = self.synced_host()
        self.assertEqual(h.command("W %d 8" % STAGING)[0], 0)
        h.send_line(uu_line(b"\x01" * 8))
        h.send_line(b"9")
        self.assertEqual(h.read_line(), "RESEND")
        h.send_line(uu_line(b"\x01" * 8))
        h.send_line(b"8")
        self.assertEqual(h.read_line(), "OK")

    def test_read_with_bad_checksum_once(self):
        h = self.synced_host()
        self.sim.control("load", self.write_file("p.bin", image(4096, 11)))
        self.sim.control("fault", "read-checksum", "once")
        data, answers = h.read_memory(0x400, 1200)
        self.assertEqual(answers, ["RESEND", "OK", "OK"])
        self.assertEqual(data, image(4096, 11)[0x400:0x400 + 1200])

    def test_rom_vectors_cover_flash_start(self):
        h = self.synced_host()
        fw = image(128, seed=12)
        self.sim.control("load", self.write_file("p.bin", fw))
        data, _ = h.read_memory(0, 128)
        self.assertNotEqual(data[:64], fw[:64])
        self.assertEqual(data[64:], fw[64:])
        self.assertEqual(h.command("I 0 0", 0), (8, []))


class FlashProgrammingTest(HostTestCase):
    def test_program_without_erase_only_clears_bits(self):
        h = self.synced_host()
        first, second = b"\xf0\x3c" * 128, b"\x0f\x35" * 128
        self.program(0x1000, first)
        self.program(0x1000, second, erase=False)
        flash = self.sim.flash()
        self.assertEqual(flash[0x1000:0x1100], bytes(a & b for a, b in zip(first, second)))
        self.program(0x1000, second)
        self.assertEqual(self.sim.flash()[0x1000:0x1100], second)
        # Large sectors too: 0x18000 is sector 17.
        self.program(0x18000, first * 4)
        flash = self.sim.flash()
        self.assertEqual(flash[0x18000:0x18400], first * 4)
        self.assertEqual(flash[0x18400:0x20000], b"\xff" * (0x20000 - 0x18400))
        self.assertEqual(h.command("M %d %d 1024" % (0x18000, STAGING), 0), (0, []))

    def test_return_codes(self):
        h = self.synced_host()
        self.sim.control("load", self.write_file("p.bin", image(0x2000, 13)))
        cases = [
            ("C 4096 %d 256" % STAGING, 15, "copy before unlock"),
            ("E 1 1", 15, "erase before unlock"),
            ("G 0 T", 15, "go before unlock"),
            ("U 12345", 16, "wrong unlock code"),
            ("U 23130", 0, "unlock"),
            ("C 4096 %d 256" % STAGING, 9, "copy without prepare"),
            ("E 1 1", 9, "erase without prepare"),
            ("P 1 1", 0, "prepare"),
            ("E 1 1", 0, "erase"),
            ("E 1 1", 9, "erase relocks"),
            ("P 1 1", 0, "prepare"),
            ("C 4096 %d 256" % STAGING, 0, "copy"),
            ("C 4096 %d 256" % STAGING, 9, "copy relocks"),
            ("P 5 3", 7, "sectors reversed"),
            ("P 0 30", 7, "no sector 30"),
            ("P 0 x", 12, "not a number"),
            ("P 0", 12, "missing parameter"),
            ("W %d 8" % (STAGING + 2), 13, "RAM address not aligned"),
            ("W %d 6" % STAGING, 6, "count not a multiple of 4"),
            ("W %d 8" % 0x40000000, 14, "not RAM"),
            ("W %d 8" % RAM, 13, "ISP handler's own RAM"),
            ("C 4100 %d 256" % STAGING, 3, "flash address not on 256"),
            ("C 4096 %d 256" % (STAGING + 2), 2, "RAM address not aligned"),
            ("C 4096 %d 300" % STAGING, 6, "copy size"),
            ("C %d %d 4096" % (FLASH_SIZE - 256, STAGING), 5, "past flash end"),
            ("C 4096 %d 256" % 0x40000000, 4, "source not RAM"),
            ("R 2 4", 13, "read not aligned"),
            ("R 0 5", 6, "read count"),
            ("M 64 68 8", 10, "compare mismatch"),
            ("M 4096 4096 8", 0, "compare equal"),
            ("I 29 29", 0, "blank sector"),
            ("I 1 1", 8, "written sector"),
            ("B 1234 1", 17, "baud rate"),
            ("B 9600 3", 18, "stop bits"),
            ("A 2", 12, "echo value"),
            ("G 512 A", 12, "ARM mode"),
            ("X 1", 1, "unknown command"),
            ("J", 0, "part id"),
        ]
        for line, code, why in cases:
            with self.subTest(why, line=line):
                self.assertEqual(h.command(line)[0], code)
                extra = {(8, "I"): 2, (10, "M"): 1, (0, "J"): 1}.get((code, line[0]), 0)
                for _ in range(extra):
                    h.read_line()
        self.assertTrue(h.quiet_for(0.1), "stray output %r" % h.buf)

    def test_blank_check_and_compare_report_where(self):
        h = self.synced_host()
        fw = b"\xff" * 0x1010 + b"\x78\x56\x34\x12"
        self.sim.control("load", self.write_file("p.bin", fw))
        self.assertEqual(h.command("I 1 2", 2), (8, []))
        self.assertEqual([h.read_line(), h.read_line()], ["16", str(0x12345678)])
        self.assertEqual(h.command("M 4096 8192 32"), (10, []))
        self.assertEqual(h.read_line(), "16")

    def test_go_leaves_isp(self):
        h = self.synced_host()
        self.assertEqual(h.command("U 23130")[0], 0)
        self.assertEqual(h.command("G 0 T")[0], 0)
        h.send("J\r\n")
        self.assertTrue(h.quiet_for(0.3))
        self.assertEqual(self.sim.control("status")["state"], "running")


class FlashTimingTest(HostTestCase):
    """--timing datasheet: erase and copy answer only once the flash operation is over, and the
    UART keeps just 16 characters while the chip is busy."""
    sim_args = ("--timing", "datasheet")

    def test_erase_takes_its_flash_time_and_copies_land(self):
        h = self.synced_host(echo=True)
        self.assertEqual(h.command("U 23130")[0], 0)
        self.assertEqual(h.command("P 0 29")[0], 0)
        h.send("E 0 29\r\n")
        self.assertEqual(h.read_line(), "E 0 29", "the echo comes at once")
        self.assertTrue(h.quiet_for(2.5), "30 sectors take 3 s to erase")
        self.assertEqual(h.read_line(timeout=5), "0")
        data = image(4096, 11)
        self.assertEqual(h.write_ram(STAGING, data)[0], 0)
        self.assertEqual(h.command("P 0 0")[0], 0)
        self.assertEqual(h.command("C 0 %d 4096" % STAGING)[0], 0)
        self.assertEqual(self.sim.flash()[0x40:0x1000], data[0x40:])

    def test_characters_sent_while_busy_beyond_the_fifo_are_lost(self):
        h = self.synced_host()
        for line in ("U 23130", "P 0 29"):
            self.assertEqual(h.command(line)[0], 0)
        # The erase keeps the chip busy for 3 s: of the 21 characters sent behind it the UART
        # keeps 16 (five commands and the "J" of a sixth), the last five are lost.
        h.send("E 0 29\r\n" + "J\r\nK\r\nN\r\nJ\r\nJ\r\nJ\r\nJ\r\n")
        self.assertTrue(h.quiet_for(2.5))
        self.assertEqual(h.read_line(timeout=5), "0")
        self.assertEqual([h.read_line(), h.read_line()], ["0", str(PART_ID)])
        self.assertEqual([h.read_line() for _ in range(3)], ["0", "4", "1"])
        self.assertEqual([h.read_line() for _ in range(5)],
                         ["0"] + [str(w) for w in (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)])
        self.assertEqual([h.read_line() for _ in range(4)], ["0", str(PART_ID)] * 2)
        self.assertTrue(h.quiet_for(0.3), "the rest was lost")
        status = self.sim.control("status")
        self.assertEqual((status["overruns"], status["timing"]), (5, "datasheet"))
        # The "J" that arrived without its line end is still waiting for one.
        self.assertEqual(h.command("")[0], 0)
        self.assertEqual(h.read_line(), str(PART_ID))


class FaultSwitchTest(HostTestCase):
    def test_injected_command_failures(self):
        h = self.synced_host()
        self.sim.control("fault", "fail", "E", "11", "once")
        self.sim.control("fault", "fail", "N", "none")
        self.assertEqual(h.command("U 23130")[0], 0)
        self.assertEqual(h.command("P 2 2")[0], 0)
        self.assertEqual(h.command("E 2 2")[0], 11)
        self.assertEqual(h.command("E 2 2")[0], 0, "once means once")
        h.send("N\r\n")
        self.assertTrue(h.quiet_for(0.3), "a command failed with 'none' gets no answer")
        self.sim.control("fault", "fail", "N", "off")
        self.assertEqual(h.command("N", 4)[0], 0)

    def test_dropped_bytes(self):
        h = self.host
        self.sim.control("fault", "drop-out", "next", "5")
        h.send("?")
        self.assertEqual(h.read_line(), "ronized")
        h.send("Synchronized\r\n14746\r\n")
        self.assertEqual([h.read_line() for _ in range(4)], ["Synchronized", "OK", "14746", "OK"])
        h.echo_off()
        self.sim.control("fault", "drop-out", "every", "2")
        h.send("J\r\n")
        self.assertFalse(h.quiet_for(0.3))
        self.assertEqual(h.buf, b"0\r\n637615927\r\n"[0::2])
        h.buf = b""
        self.sim.control("fault", "drop-out", "off")
        self.sim.control("fault", "drop-in", "next", "1")
        h.send("XJ\r\n")
        self.assertEqual([h.read_line(), h.read_line()], ["0", str(PART_ID)])

    def test_reply_delay(self):
        h = self.synced_host()
        self.sim.control("fault", "delay", "2000", "J")
        h.send("J\r\n")
        self.assertTrue(h.quiet_for(0.3), "the delayed reply came early")
        self.assertEqual(h.read_line(timeout=15), "0")
        self.assertEqual(h.read_line(), str(PART_ID))
        self.assertEqual(h.command("K", 2), (0, ["4", "1"]), "only J is delayed")

    def test_paced_output_is_not_instant(self):
        # 14 characters at 100 baud take 1.4 s on a wire; a load can only make them later.
        self.sim.control("pace", "100")
        self.host.send("?")
        first = self.host.read_some(STEP_TIMEOUT)
        self.assertTrue(first)
        self.host.buf = first + self.host.read_some(0.3)
        self.assertNotIn(b"\r\n", self.host.buf)
        self.assertEqual(self.host.read_line(), "Synchronized")

    def test_bad_settings_are_refused(self):
        for words in (["fault", "fail", "E"], ["fault", "drop-out", "every", "1"],
                      ["fault", "resend", "sometimes"], ["fault", "delay", "-5"],
                      ["pace", "fast"], ["serial", "1", "2"], ["frobnicate"]):
            with self.subTest(words=words):
                reply = self.sim.reply(*words)
                self.assertFalse(reply["ok"])
                self.assertTrue(reply["error"])

    def test_flash_dump_and_preload_options(self):
        preload = self.write_file("pre.bin", image(5000, seed=14))
        out = self.path("out.bin")
        second = self.path("second")
        os.mkdir(second)
        sim = LpcRom(second, "--flash-in", preload, "--flash-out", out)
        try:
            host = IspHost(sim.link)
            try:
                host.sync()
                host.echo_off()
                self.assertEqual(host.read_memory(64, 4936)[0], image(5000, seed=14)[64:])
            finally:
                host.close()
        finally:
            sim.stop()
        with open(out, "rb") as f:
            flash = f.read()
        self.assertEqual(len(flash), FLASH_SIZE)
        self.assertEqual(flash[:5000], image(5000, seed=14))
        self.assertEqual(flash[5000:], b"\xff" * (FLASH_SIZE - 5000))


if __name__ == "__main__":
    unittest.main()
