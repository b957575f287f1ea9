"""An i.MX recovery cut off in the middle of the live loader's write is finished by running it again,
against boot ROMs that keep their data phase when the host goes away, as the silicon does
(sim/imx_rom.py and the HID boot ROM of sim/usb_modules.py with on-close=keep): the ROM still
waits for the rest of the announced bytes, and the second run ends that write before its own.

Serial: the ROM on a pty reads no faster than 115200 baud, so the write is long enough to be cut
by SIGINT (the program closes the port itself) or SIGKILL (the kernel closes it). HID: the boot
ROM's USB HID device on the emulated bus.
"""

import signal
import unittest

from recovery import test_recovery_imx as imx
from support.imx_rom import ImxRomProcess
from support.common import sanitizer_builds_skip

# Far more than the pty buffers hold, far less than the largest write the program ends.
BIG_LOADER = imx.loader_code(size=96 * 1024, seed=5)
CUT_AFTER = 8192
SIGNAL_TO_END_LIMIT = 5


def receiving(writes):
    """True once the last write has taken CUT_AFTER bytes and is still waiting for more."""
    return bool(writes) and writes[-1]["result"] == "receiving" and writes[-1]["received"] >= CUT_AFTER


class ResumeChecks:
    def assert_cut_then_finished(self, first, second, how, writes, left_as):
        """left_as: how the first run, cut by SIGINT, says it left the device."""
        self.assertEqual(first.status, -how, first)
        if how == signal.SIGINT:
            self.assertEqual(first.err_lines, [
                "Recovery interrupted by SIGINT while the live loader was written; " + left_as], first)
        self.assertLess(first.signal_to_end, SIGNAL_TO_END_LIMIT, first)
        self.assertEqual(second.status, 0, (second, writes, self.rom_records()))
        self.assertEqual(second.err_lines, [], second)
        # The run ends with the time it took, then what the recovered module now runs.
        self.assertRegex(second.out_lines[-2], r"^Update time: [0-9]+\.[0-9]{4} sec$", second)
        self.assertRegex(second.out_lines[-1], r"^Module [0-9A-F]{8} now runs build \d+$", second)
        self.assertEqual(self.firmware_received(), imx.firmware_code())
        # The cut write was ended by the second run (its bytes taken, the ROM answered), then the
        # live loader was written whole and started.
        self.assertEqual([(w["count"], w["result"]) for w in writes],
                         [(len(BIG_LOADER), "accepted"), (len(BIG_LOADER), "accepted")])


class SerialResume(imx.ImxCase, ResumeChecks):
    def setUp(self):
        super().setUp()
        self.data.add_build(imx.LOADER, imx.LOADER_BUILD, imx.live_loader_file(loader=BIG_LOADER))
        self.rom = ImxRomProcess(self.work, "--pace", "--pace-input", "--set", "on-close=keep", for_all_users=True)
        self.addCleanup(self.rom.stop)
        self.start_bus("--module", "serial=%s,start_in_loader=on,plugged=off,uid=%s" % (
            imx.LOADER, ":".join("0x%08X" % w for w in imx.UID)))
        self.plugged = False

    def rom_records(self):
        state = self.rom.state()
        return {k: state[k] for k in ("commands", "discarded", "ignored", "closes", "pending", "buffered")}

    def plug_after_jump(self):
        """The chip's live loader arrives on USB once the ROM has jumped to it."""
        if not self.plugged and self.rom.state()["jumps"]:
            self.bus("plug " + imx.LOADER)
            self.plugged = True

    def cut_then_run_again(self, how):
        first = self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url,
                             signal_when=(lambda: receiving(self.rom.state()["writes"]), how))
        # Identification's LPC session, then the live loader's: two closes.
        self.bus.wait_for(lambda: self.rom.state()["closes"] >= 2, what="the ROM seeing the port closed")
        state = self.rom.state()
        self.assertEqual(state["jumps"], [])
        self.assertEqual(state["writes"][-1]["result"], "receiving", state["writes"])
        self.assertGreater(state["pending"]["remaining"], 0)
        second = self.updater("-U", "-t", "RECOVER", "-s", self.rom.link, "-u", self.server.url,
                              while_running=self.plug_after_jump)
        self.assert_cut_then_finished(first, second, how, self.rom.state()["writes"], "the port is closed")
        self.assertEqual(self.rom.state()["jumps"], [imx.DEFAULT_ENTRY])

    def test_write_cut_by_sigint_is_finished_by_the_next_run(self):
        self.cut_then_run_again(signal.SIGINT)

    @sanitizer_builds_skip('the next run takes the path it takes after SIGINT')
    def test_write_cut_by_sigkill_is_finished_by_the_next_run(self):
        self.cut_then_run_again(signal.SIGKILL)


class HidResume(imx.ImxCase, ResumeChecks):
    def setUp(self):
        super().setUp()
        self.data.add_build(imx.LOADER, imx.LOADER_BUILD, imx.live_loader_file(loader=BIG_LOADER))
        keys = ["uid=%s" % ":".join("0x%08X" % w for w in imx.UID), "boot_ms=300", "rom.on-close=keep"]
        self.start_bus("--imx", ",".join(keys))

    def rom_records(self):
        return self.bus("imx state")

    def cut_then_run_again(self, how):
        first = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url,
                             signal_when=(lambda: receiving(self.bus("imx state")["writes"]), how))
        state = self.bus("imx state")
        self.assertEqual(state["jumps"], [])
        self.assertEqual(state["writes"][-1]["result"], "receiving", state["writes"])
        self.assertGreater(state["pending"]["remaining"], 0)
        second = self.updater("-U", "-t", "RECOVER", "-s", "USB", "-u", self.server.url)
        self.assert_cut_then_finished(first, second, how, self.bus("imx state")["writes"],
                                      "the boot ROM is released, the next run ends the write it began")
        self.assertEqual(self.bus("imx state")["jumps"], [imx.DEFAULT_ENTRY])

    def test_write_cut_by_sigint_is_finished_by_the_next_run(self):
        self.cut_then_run_again(signal.SIGINT)

    def test_write_cut_by_sigkill_is_finished_by_the_next_run(self):
        self.cut_then_run_again(signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
