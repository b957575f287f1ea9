"""The simulated i.MX boot ROM (sim/imx_rom.py, sim/imx_sdp.py).

Cross-checked against an independent SDP host (imx_uart from Debian's
imx-usb-loader): it writes an image over the pty and jumps, and the
simulator's memory is compared byte for byte.  The paths imx_uart never
takes are driven directly from Python.  Every wait is bounded; the
simulator is stopped by its process id.
"""

import json
import os
import random
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import tty
import unittest

SRC_DIR = os.environ.get("SRC_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(SRC_DIR, "sim")

sys.dont_write_bytecode = True
sys.path.insert(0, SIM_DIR)
import imx_rom  # noqa: E402
import imx_sdp  # noqa: E402
from support.imx_rom import ImxRomProcess  # noqa: E402

SECURITY = struct.pack(">I", 0x56787856)
FILE_OK = struct.pack(">I", 0x88888888)
IDLE = struct.pack(">I", 0xF0F0F0F0)
ASSOCIATION = bytes([0x23, 0x45, 0x45, 0x23])
STEP_TIMEOUT = 5.0

IMX_UART_CONFIG = "mx6_sim\nhid,1024,0x910000,0x10000000,1G,0x00900000,0x40000\n"
LOAD_ADDRESS = 0x00910000


def command(kind, address=0, fmt=0, count=0, data=0, reserved=0):
    return struct.pack(">BBIBIIB", kind, kind, address, fmt, count, data, reserved)


def status_cmd():
    return command(0x05)


def write_cmd(address, count):
    return command(0x04, address, 0x20, count)


def read_cmd(address, count=4):
    return command(0x01, address, 0x20, count)


def jump_cmd(address):
    return command(0x0B, address)


def image(size, seed):
    return random.Random(seed).randbytes(size)


class RomProcess(ImxRomProcess):
    """The simulator with the state and dump readings these tests use."""

    def wait_state(self, predicate, what):
        deadline = time.monotonic() + STEP_TIMEOUT
        while time.monotonic() < deadline:
            state = self.state()
            if predicate(state):
                return state
            time.sleep(0.01)
        raise AssertionError("simulator never reached: %s; last state %r" % (what, state))

    def dumped_state(self):
        with open(os.path.join(self.dump_dir, "state.json")) as f:
            return json.load(f)


class Host:
    """The host end of the port, opened the way a serial client opens it."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def send(self, data):
        view = memoryview(data)
        deadline = time.monotonic() + STEP_TIMEOUT
        while view:
            _, ready, _ = select.select([], [self.fd], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("port stopped accepting data")
            view = view[os.write(self.fd, view):]

    def receive(self, count):
        """Exactly `count` bytes, or fail after the step time-out."""
        data = b""
        deadline = time.monotonic() + STEP_TIMEOUT
        while len(data) < count:
            ready, _, _ = select.select([self.fd], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("got %r, wanted %d bytes" % (data, count))
            data += os.read(self.fd, count - len(data))
        return data

    def pending(self):
        """Whatever already waits on the port, without waiting."""
        data = b""
        while select.select([self.fd], [], [], 0)[0]:
            chunk = os.read(self.fd, 4096)
            if not chunk:
                break
            data += chunk
        return data

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class SimTestCase(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="imx_rom_test_")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.roms = []

    def start(self, *args):
        rom = RomProcess(self.workdir, *args)
        self.addCleanup(rom.stop)
        return rom

    def connect(self, rom):
        host = Host(rom.link)
        self.addCleanup(host.close)
        return host

    def command_count(self, rom, count):
        return rom.wait_state(lambda s: len(s["commands"]) >= count,
                              "%d commands taken" % count)

    def assertStatusReply(self, host, status=IDLE):
        self.assertEqual(host.receive(8), SECURITY + status)

    def assertNothingMore(self, host):
        self.assertEqual(host.pending(), b"")


class ImxUartCrossCheck(SimTestCase):
    """imx_uart writes an image and jumps; the simulator's memory decides."""

    def run_imx_uart(self, rom, options, image_path):
        config = os.path.join(self.workdir, "job.conf")
        with open(config, "w") as f:
            f.write(IMX_UART_CONFIG)
            f.write("%s:load 0x%08x,jump 0x%08x\n" % (image_path, LOAD_ADDRESS, LOAD_ADDRESS))
        try:
            return subprocess.run(["imx_uart", "-n"] + options + [rom.link, config],
                                  capture_output=True, text=True, timeout=30)
        except subprocess.TimeoutExpired as err:
            self.fail("imx_uart did not finish: %s" % err)

    def test_imx_uart_writes_image_and_jumps(self):
        if shutil.which("imx_uart") is None:
            self.fail("imx_uart is missing: install Debian's imx-usb-loader (scripts/setup.sh)")
        cases = [
            ("association", [], 70000),
            ("no association, read back", ["-N", "-v"], 4100),
        ]
        for name, options, size in cases:
            with self.subTest(name):
                workdir = tempfile.mkdtemp(dir=self.workdir)
                rom = RomProcess(workdir, "--banner", "program started\\r\\n")
                self.addCleanup(rom.stop)
                data = image(size, seed=size)
                image_path = os.path.join(workdir, "image.bin")
                with open(image_path, "wb") as f:
                    f.write(data)
                self.run_imx_uart(rom, options, image_path)
                self.assertEqual(rom.stop(), 0)
                state = rom.dumped_state()
                self.assertEqual(state["associations"], 0 if "-N" in options else 1)
                # imx_uart appends an image vector table behind the file and
                # jumps to it: one write covering both
                [write] = state["writes"]
                self.assertEqual((write["address"], write["received"], write["result"]),
                                 (LOAD_ADDRESS, write["count"], "accepted"))
                [region] = state["regions"]
                with open(os.path.join(rom.dump_dir, region["file"]), "rb") as f:
                    memory = f.read()
                self.assertEqual(region["address"], LOAD_ADDRESS)
                self.assertEqual(memory[:size], data)
                ivt = memory[size:size + 32]
                self.assertEqual(ivt[0], 0xD1, "no image vector table behind the image")
                entry, = struct.unpack_from("<I", ivt, 4)
                self.assertEqual(entry, LOAD_ADDRESS)
                self.assertEqual(state["jumps"], [LOAD_ADDRESS + size])
                if "-v" in options:
                    reads = [c for c in state["commands"] if c["name"] == "READ_REGISTER"]
                    self.assertEqual(sum(c["count"] for c in reads), write["count"])

    def test_imx_uart_against_rejected_write_leaves_memory_untouched(self):
        if shutil.which("imx_uart") is None:
            self.fail("imx_uart is missing: install Debian's imx-usb-loader (scripts/setup.sh)")
        rom = self.start("--fault", "reject=0x0BADF00D", "--banner", "program started\\r\\n")
        image_path = os.path.join(self.workdir, "image.bin")
        with open(image_path, "wb") as f:
            f.write(image(2048, seed=1))
        result = self.run_imx_uart(rom, [], image_path)
        self.assertIn("0x0badf00d", result.stdout + result.stderr)
        state = rom.state()
        self.assertEqual([w["result"] for w in state["writes"]][:1], ["rejected"])
        self.assertEqual(state["regions"], [])


class DirectProtocol(SimTestCase):
    """Paths of the protocol that imx_uart does not take."""

    def test_status_without_association(self):
        rom = self.start()
        host = self.connect(rom)
        host.send(status_cmd())
        self.assertStatusReply(host)
        self.command_count(rom, 1)
        self.assertNothingMore(host)
        self.assertEqual(rom.state()["associations"], 0)

    def test_association_echoed_before_status(self):
        rom = self.start()
        host = self.connect(rom)
        host.send(ASSOCIATION + status_cmd())
        self.assertEqual(host.receive(12), ASSOCIATION + SECURITY + IDLE)

    def test_write_in_frames_of_1024_1024_452(self):
        rom = self.start()
        host = self.connect(rom)
        data = image(2500, seed=2500)
        address = 0x20000000
        host.send(write_cmd(address, len(data)))
        sent = 0
        for frame in (1024, 1024, 452):
            self.assertNothingMore(host)
            host.send(data[sent:sent + frame])
            sent += frame
            if sent < len(data):
                rom.wait_state(lambda s, n=sent: s["writes"][0]["received"] == n,
                               "%d bytes received" % sent)
        self.assertEqual(host.receive(8), SECURITY + FILE_OK)
        self.assertNothingMore(host)
        [write] = rom.state()["writes"]
        self.assertEqual((write["address"], write["count"], write["received"], write["result"]),
                         (address, 2500, 2500, "accepted"))
        self.assertEqual(rom.memory(address, 2500), data)
        # the bytes around the image stay unwritten
        self.assertEqual(rom.memory(address - 4, 4) + rom.memory(address + 2500, 4), bytes(8))
        # and the ROM reads them back as the chip would
        host.send(read_cmd(address + 1020, 8))
        self.assertEqual(host.receive(12), SECURITY + data[1020:1028])

    def test_fingerprint_registers(self):
        rom = self.start("--fingerprint", "0x11223344,0xA5B6C7D8")
        host = self.connect(rom)
        cases = [
            (0x401F4410, 0x11223344),
            (0x401F4420, 0xA5B6C7D8),
        ]
        for address, word in cases:
            with self.subTest(address=hex(address)):
                host.send(read_cmd(address))
                # registers travel as the little-endian chip holds them
                self.assertEqual(host.receive(8), SECURITY + struct.pack("<I", word))
        self.assertEqual(rom.control("set fingerprint 0xCAFEF00D 0x00000001"), "ok")
        host.send(read_cmd(0x401F4410) + read_cmd(0x401F4420))
        self.assertEqual(host.receive(16), SECURITY + struct.pack("<I", 0xCAFEF00D)
                         + SECURITY + struct.pack("<I", 1))

    def test_stray_serial_sync_bytes_before_command(self):
        strays = [
            b"?",
            b"?Synchronized\r\n",
            b"?Synchronized\r\n14746\r\n",
            b"\x05?\x04",          # lone command-type bytes
            b"#E",                 # the start of an association, broken off
        ]
        rom = self.start()
        host = self.connect(rom)
        discarded = 0
        for number, stray in enumerate(strays, start=1):
            with self.subTest(stray=stray):
                host.send(stray)
                host.send(status_cmd())
                self.assertStatusReply(host)
                discarded += len(stray)
                state = self.command_count(rom, number)
                self.assertEqual(state["discarded"], discarded)
                self.assertEqual([c["name"] for c in state["commands"]],
                                 ["ERROR_STATUS"] * number)
                self.assertNothingMore(host)

    def test_jump_records_entry_and_goes_quiet(self):
        rom = self.start("--banner", "hello\\r\\n")
        host = self.connect(rom)
        host.send(jump_cmd(0x20000400))
        self.assertEqual(host.receive(4 + 7), SECURITY + b"hello\r\n")
        host.send(status_cmd())
        rom.wait_state(lambda s: s["ignored"] == 16, "status ignored after the jump")
        self.assertNothingMore(host)
        self.assertEqual(rom.state()["jumps"], [0x20000400])

    def test_host_close_resets_rom_but_keeps_memory(self):
        rom = self.start()
        host = self.connect(rom)
        data = image(64, seed=64)
        host.send(write_cmd(0x1000, 64) + data)
        self.assertEqual(host.receive(8), SECURITY + FILE_OK)
        host.send(jump_cmd(0x1000))
        self.assertEqual(host.receive(4), SECURITY)
        host.send(status_cmd()[:8])      # half a command, then the port closes
        rom.wait_state(lambda s: s["ignored"] == 8, "bytes after the jump")
        host.close()
        rom.wait_state(lambda s: s["resets"] == 1, "reset on close")
        host = self.connect(rom)
        host.send(status_cmd() + read_cmd(0x1000, 64))
        self.assertStatusReply(host)
        self.assertEqual(host.receive(68), SECURITY + data)

    def test_half_command_dropped_on_close(self):
        rom = self.start()
        host = self.connect(rom)
        host.send(status_cmd()[:10])
        rom.wait_state(lambda s: s["buffered"] == 10, "half a command buffered")
        host.close()
        rom.wait_state(lambda s: s["resets"] == 1, "reset on close")
        host = self.connect(rom)
        host.send(status_cmd())
        self.assertStatusReply(host)
        self.assertEqual(len(rom.state()["commands"]), 1)


class FaultSwitches(SimTestCase):
    def test_silent_never_answers(self):
        for how in ("start", "control"):
            with self.subTest(how):
                workdir = tempfile.mkdtemp(dir=self.workdir)
                rom = RomProcess(workdir, *(["--fault", "silent"] if how == "start" else []))
                self.addCleanup(rom.stop)
                if how == "control":
                    self.assertEqual(rom.control("fault silent on"), "ok")
                host = Host(rom.link)
                self.addCleanup(host.close)
                host.send(ASSOCIATION + status_cmd() + read_cmd(0x401F4410))
                self.command_count(rom, 2)
                self.assertNothingMore(host)
                self.assertEqual(rom.control("fault silent off"), "ok")
                host.send(status_cmd())
                self.assertStatusReply(host)

    def test_short_status_reply(self):
        rom = self.start()
        host = self.connect(rom)
        self.assertEqual(rom.control("fault short-status on"), "ok")
        host.send(status_cmd())
        self.assertEqual(host.receive(7), SECURITY + IDLE[:3])
        self.command_count(rom, 1)
        self.assertNothingMore(host)
        # only the status check is cut
        host.send(write_cmd(0x100, 4) + b"abcd")
        self.assertEqual(host.receive(8), SECURITY + FILE_OK)
        self.assertEqual(rom.control("clear"), "ok")
        host.send(status_cmd())
        self.assertStatusReply(host)

    def test_bytes_sent_in_the_middle_of_a_transfer(self):
        rom = self.start()
        host = self.connect(rom)
        self.assertEqual(rom.control("fault chatter 1024"), "ok")
        data = image(2500, seed=7)
        host.send(write_cmd(0x8000, len(data)))
        host.send(data[:1000])
        rom.wait_state(lambda s: s["writes"][0]["received"] == 1000, "1000 bytes received")
        self.assertNothingMore(host)
        host.send(data[1000:1024])
        rom.wait_state(lambda s: s["writes"][0]["received"] == 1024, "1024 bytes received")
        self.assertEqual(host.pending(), SECURITY + IDLE)
        host.send(data[1024:])
        # the ROM still finishes the transfer it was given
        self.assertEqual(host.receive(8), SECURITY + FILE_OK)
        self.assertEqual(rom.memory(0x8000, len(data)), data)

    def test_chatter_reaches_a_host_writing_at_full_speed(self):
        # a host that checks for early bytes only between its 1024-byte
        # frames; the pty lets it run about 20 KB ahead of the ROM, so a
        # 64 KB image leaves it many checks after the ROM has spoken
        rom = self.start("--fault", "chatter")
        host = self.connect(rom)
        data = image(65536, seed=9)
        host.send(write_cmd(0x10000, len(data)))
        early = b""
        for offset in range(0, len(data), 1024):
            early = host.pending()
            if early:
                break
            host.send(data[offset:offset + 1024])
        self.assertTrue(early.startswith(SECURITY), early)
        self.assertLess(offset, len(data) - 1024, "the host never saw the early bytes")

    def test_rejected_write(self):
        rom = self.start()
        host = self.connect(rom)
        cases = [("on", 0x0BADF00D), ("0x12345678", 0x12345678)]
        for value, status in cases:
            with self.subTest(value):
                self.assertEqual(rom.control("fault reject " + value), "ok")
                host.send(write_cmd(0x4000, 8) + b"12345678")
                self.assertEqual(host.receive(8), SECURITY + struct.pack(">I", status))
        self.assertEqual([w["result"] for w in rom.state()["writes"]], ["rejected"] * 2)
        self.assertEqual(rom.memory(0x4000, 8), bytes(8))
        self.assertEqual(rom.control("fault reject off"), "ok")
        host.send(write_cmd(0x4000, 8) + b"12345678")
        self.assertEqual(host.receive(8), SECURITY + FILE_OK)
        self.assertEqual(rom.memory(0x4000, 8), b"12345678")

    def test_control_rejects_bad_requests(self):
        rom = self.start()
        cases = [
            "fault reject 0x88888888",    # that is the accepted value
            "fault nonsense on",
            "set fingerprint 1",
            "set silent maybe",
            "read 0 99999999",
            "frobnicate",
        ]
        for line in cases:
            with self.subTest(line):
                self.assertTrue(rom.control(line).startswith("error"), line)
        self.assertEqual(json.loads(rom.control("get")[3:])["reject"], None)

    def test_paced_line_still_carries_every_byte(self):
        rom = self.start("--pace", "--pace-input")
        host = self.connect(rom)
        data = image(2500, seed=3)
        host.send(ASSOCIATION + status_cmd() + write_cmd(0x3000, len(data)) + data
                  + read_cmd(0x3000, 64))
        self.assertEqual(host.receive(4 + 8 + 8 + 68),
                         ASSOCIATION + SECURITY + IDLE + SECURITY + FILE_OK
                         + SECURITY + data[:64])
        self.assertEqual(rom.memory(0x3000, len(data)), data)


class InputLineTiming(unittest.TestCase):
    """The paced line from the host (imx_rom.InputPacer) against a simulator that wakes late:
    a UART keeps receiving while its chip is held up, so a late wake-up costs the line no time."""

    BYTE = imx_rom.BYTE_TIME

    def busy_line(self, at):
        """A pacer whose last byte left the line at `at`, with more bytes waiting."""
        pacer = imx_rom.InputPacer()
        pacer.taken(1, 1, at - self.BYTE)
        self.assertFalse(pacer.idle)
        self.assertAlmostEqual(pacer.line_free, at)
        return pacer

    def test_a_late_wake_up_takes_what_the_line_carried_meanwhile(self):
        pacer = self.busy_line(10.0)
        self.assertEqual(pacer.allowance(10.0 + 500 * self.BYTE + 1e-9), 500)
        pacer.taken(500, 500, 10.3)
        self.assertAlmostEqual(pacer.line_free, 10.0 + 500 * self.BYTE)

    def test_where_the_next_byte_starts_after_the_line_was_seen_empty(self):
        slack = imx_rom.LINE_IDLE_SLACK_S
        cases = [
            # (seconds after the last byte when the next one is read, where the line goes on)
            ("the host wrote its next frame at once", slack / 2, 0.0),
            ("the host paused", slack * 4, slack * 4),
        ]
        for name, after, start in cases:
            with self.subTest(name):
                pacer = self.busy_line(10.0)
                pacer.taken(3, 40, 10.0)             # drained: fewer bytes than allowed
                self.assertTrue(pacer.idle)
                last = pacer.line_free
                self.assertIsNone(pacer.wait(last + after))
                self.assertGreaterEqual(pacer.allowance(last + after), 1)
                pacer.taken(1, 1, last + after)
                self.assertAlmostEqual(pacer.line_free, last + start + self.BYTE)
                self.assertFalse(pacer.idle)


class HidReplyLayout(unittest.TestCase):
    """The protocol core formats HID reports for the USB front end."""

    def test_report_sizes(self):
        def total(replies):
            return sum(1 + len(payload) for _, payload in replies)

        rom = imx_sdp.SdpRom(hid=True)
        status = rom.command(status_cmd())
        self.assertEqual([(rid, len(p)) for rid, p in status], [(3, 4), (4, 64)])
        self.assertEqual(total(status), 70)
        rom.settings.apply("short-status", "1")
        self.assertEqual(total(rom.command(status_cmd())), 69)
        rom.settings.apply("short-status", "off")

        self.assertEqual(rom.command(write_cmd(0x10, 100)), [])
        self.assertEqual(rom.data(bytes(range(100))[:64]), [])
        done = rom.data(bytes(range(100))[64:])
        self.assertEqual(done[0], (3, SECURITY))
        self.assertEqual(done[1][1][:4], FILE_OK)
        self.assertEqual(rom.memory.read(0x10, 100), bytes(range(100)))

        read = rom.command(read_cmd(0x10, 100))
        self.assertEqual([(rid, len(p)) for rid, p in read], [(3, 4), (4, 64), (4, 64)])
        self.assertEqual(b"".join(p for _, p in read[1:])[:100], bytes(range(100)))

    def test_command_during_data_phase_aborts_the_write(self):
        rom = imx_sdp.SdpRom(hid=True)
        rom.command(write_cmd(0x10, 2048))
        rom.data(bytes(1024))
        self.assertEqual(len(rom.command(status_cmd())), 2)
        self.assertTrue(rom.writes[0]["result"].startswith("aborted"))


if __name__ == "__main__":
    unittest.main()
