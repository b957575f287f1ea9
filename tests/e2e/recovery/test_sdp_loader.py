"""The serial i.MX download loader (SDPLoader over Serial_SDPLoader) against the simulated
boot ROM on a pseudo-terminal.

The driver tests/drivers/sdp_driver runs the loader's steps and prints their results; the
simulator's records and memory (its dump, or its control channel) show what arrived.  Every
wait is bounded; the simulator is stopped by its process id.
"""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from support.imx_rom import ImxRomProcess

SRC_DIR = os.environ.get("SRC_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", ".."))
DRIVER_DIR = os.environ.get("DRIVER_DIR") or os.path.join(SRC_DIR, "build", "tests", "drivers")
DRIVER = os.path.join(DRIVER_DIR, "sdp_driver")

STEP_TIMEOUT = 5.0
DRIVER_TIMEOUT = 120

LIVE_LOADER_ENTRY = 0x20000400
FINGERPRINT = (0x11223344, 0xA5B6C7D8)


def image(size, seed):
    return random.Random(seed).randbytes(size)


class Rom(ImxRomProcess):
    """The simulator with the state and dump readings these tests use."""

    def state_with(self, commands):
        """The state once the ROM has taken `commands` commands (bounded wait)."""
        deadline = time.monotonic() + STEP_TIMEOUT
        state = self.state()
        while len(state["commands"]) < commands and time.monotonic() < deadline:
            time.sleep(0.01)
            state = self.state()
        return state

    def dumped(self):
        with open(os.path.join(self.dump_dir, "state.json")) as f:
            state = json.load(f)
        memory = {}
        for region in state["regions"]:
            with open(os.path.join(self.dump_dir, region["file"]), "rb") as f:
                memory[region["address"]] = f.read()
        return state, memory


class LoaderTestCase(unittest.TestCase):
    def setUp(self):
        if not os.access(DRIVER, os.X_OK):
            self.fail("test driver missing: %s (build the project with its tests)" % DRIVER)
        self.workdir = tempfile.mkdtemp(prefix="sdp_loader_test_")
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def start_rom(self, *args):
        workdir = tempfile.mkdtemp(dir=self.workdir)
        rom = Rom(workdir, *args)
        self.addCleanup(rom.stop)
        return rom

    def image_file(self, data):
        fd, path = tempfile.mkstemp(dir=self.workdir, suffix=".bin")
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        return path

    def run_loader(self, port, *steps):
        """The driver's JSON result; fails the test when the driver hangs or breaks."""
        try:
            done = subprocess.run([DRIVER, port] + list(steps), capture_output=True, text=True,
                                  timeout=DRIVER_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail("sdp_driver did not finish within %d s" % DRIVER_TIMEOUT)
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def command_names(self, state):
        return [c["name"] for c in state["commands"]]


class WriteAndStart(LoaderTestCase):
    def test_images_held_byte_for_byte_and_entry_recorded(self):
        blocks = [(0x20000000, image(70000, seed=1)), (0x20100000, image(2500, seed=2))]
        rom = self.start_rom()
        steps = ["write:0x%08X:%s" % (address, self.image_file(data)) for address, data in blocks]
        result = self.run_loader(rom.link, *steps, "start:0x%08X" % LIVE_LOADER_ENTRY)
        self.assertEqual(result["init"], 0)
        self.assertEqual([s.get("result") for s in result["steps"]], [0, 0, None])

        self.assertEqual(rom.stop(), 0)
        state, memory = rom.dumped()
        self.assertEqual(self.command_names(state),
                         ["ERROR_STATUS", "WRITE_FILE", "ERROR_STATUS", "WRITE_FILE", "JUMP_ADDRESS"])
        self.assertEqual([(w["address"], w["count"], w["received"], w["result"]) for w in state["writes"]],
                         [(address, len(data), len(data), "accepted") for address, data in blocks])
        self.assertEqual(sorted(memory), [address for address, _ in blocks])
        for address, data in blocks:
            self.assertEqual(memory[address], data, "memory at 0x%08X" % address)
        self.assertEqual(state["jumps"], [LIVE_LOADER_ENTRY])
        # nothing stray reached the ROM: no association, no unframed bytes, nothing after the jump
        self.assertEqual((state["associations"], state["discarded"], state["ignored"]), (0, 0, 0))

    def test_paced_line_reply_waits_for_the_last_bytes(self):
        """At 115200 baud the last frames are still on the line when writing ends; the
        accepted-file reply comes only after them."""
        rom = self.start_rom("--pace", "--pace-input")
        data = image(96 * 1024 + 300, seed=3)  # more than the pty buffers hold
        result = self.run_loader(rom.link, "write:0x20000000:%s" % self.image_file(data))
        self.assertEqual(result["steps"][0]["result"], 0)
        self.assertEqual(rom.memory(0x20000000, len(data)), data)

    def test_port_that_cannot_be_opened(self):
        result = self.run_loader(os.path.join(self.workdir, "no-such-tty"), "fingerprint")
        self.assertEqual((result["init"], result["steps"]), (6, []))


class FaultSwitches(LoaderTestCase):
    def test_each_fault_gives_its_result(self):
        size = 128 * 1024 + 300
        cases = [
            # name, simulator arguments, result, commands the ROM took, write record result
            # silent: zeros that would end a pending write, then the power-cycle result
            ("silent", ["--fault", "silent"], 9, ["ERROR_STATUS"] * 5, None),
            ("short status reply", ["--fault", "short-status"], 2, ["ERROR_STATUS"] * 5, None),
            # paced, and larger than the pty buffers, so that the ROM speaks while frames
            # are still being written
            ("bytes in the middle of a transfer", ["--pace-input", "--fault", "chatter=1024"], 3,
             ["ERROR_STATUS", "WRITE_FILE"], "receiving"),
            ("rejected file", ["--fault", "reject"], 4, ["ERROR_STATUS", "WRITE_FILE"], "rejected"),
        ]
        for name, args, expected, commands, write_result in cases:
            with self.subTest(name):
                rom = self.start_rom(*args)
                data = image(size, seed=len(name))
                result = self.run_loader(rom.link, "write:0x20000000:%s" % self.image_file(data))
                self.assertEqual(result["steps"][0]["result"], expected)
                state = rom.state_with(len(commands))
                self.assertEqual(self.command_names(state), commands)
                self.assertEqual([w["result"] for w in state["writes"]],
                                 [write_result] if write_result else [])
                if write_result == "receiving":
                    # the loader stopped sending once the ROM spoke
                    self.assertLess(state["writes"][0]["received"], size)
                if write_result == "rejected":
                    self.assertEqual(state["regions"], [])


class Fingerprint(LoaderTestCase):
    def test_two_registers_assembled(self):
        low, high = FINGERPRINT
        rom = self.start_rom("--fingerprint", "0x%08X,0x%08X" % (low, high))
        result = self.run_loader(rom.link, "fingerprint")
        self.assertEqual(result["steps"], [{"step": "fingerprint", "result": 0,
                                            "fingerprint": "%08X%08X" % (high, low)}])
        state = rom.state_with(3)
        self.assertEqual([(c["name"], c["address"], c["count"]) for c in state["commands"]],
                         [("ERROR_STATUS", 0, 0), ("READ_REGISTER", 0x401F4410, 4),
                          ("READ_REGISTER", 0x401F4420, 4)])

    def test_silent_rom_gives_no_fingerprint(self):
        rom = self.start_rom("--fault", "silent")
        result = self.run_loader(rom.link, "fingerprint")
        self.assertEqual(result["steps"][0]["result"], 2)
        self.assertEqual(self.command_names(rom.state_with(5)), ["ERROR_STATUS"] * 5)


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    unittest.main()
