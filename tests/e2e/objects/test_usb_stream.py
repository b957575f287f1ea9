"""The USB stream and the hyusb device layer over emulated USB (sim/usb_modules.py): the
800-byte read transfers, 50-byte write chunks, stalls, time-outs and transfer errors of the
bulk pipes, serial-string matching, claims held by another process, unplugging, and the
family's kernel node used instead of libusb."""

import unittest

from support import usb
from support.usb import ERR

DRIVER = "usb_stream_driver"
SERIAL = "0F5849A1"
OTHER = "D272031D"
MAGIC = "AD00"          # magic query frame; the module at address 2 answers 02 00
STATE_READY, STATE_CLOSED, STATE_ERROR = 4, 2, 5


def usb_stats(bus, serial=SERIAL):
    return bus.state(serial)["usb"]


@usb.needs_umockdev
class BulkPipes(unittest.TestCase):
    def setUp(self):
        self.bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, model=19, heartbeat_ms=0),
                                  *usb.module_arg(serial=OTHER, model=10, heartbeat_ms=0))
        self.driver = usb.Driver(self, self.bus, DRIVER)
        opened = self.driver("open " + SERIAL)
        self.assertEqual(opened["err"], ERR["None"], opened)
        self.bus("reset-stats " + SERIAL)

    def rx_frames(self):
        return self.bus.state(SERIAL)["module"]["stats"]["rx"]

    def test_writes_go_out_in_chunks_of_at_most_50_bytes(self):
        self.assertEqual(self.driver("write " + MAGIC * 65)["err"], ERR["None"])
        self.assertEqual(usb_stats(self.bus)["out_sizes"], [50, 50, 30])
        self.assertEqual(self.rx_frames(), 65)
        reply = self.driver("read 130 3000")
        self.assertEqual(reply["data"], "0200" * 65)
        # One byte goes through the stream's put: a transfer of its own.
        self.bus("reset-stats " + SERIAL)
        self.assertEqual(self.driver("write AD")["err"], ERR["None"])
        self.assertEqual(usb_stats(self.bus)["out_sizes"], [1])

    def test_a_block_longer_than_100_chunks_is_split_and_goes_out_whole(self):
        frames = 2600                                   # 5200 bytes: 104 chunks of 50
        self.assertEqual(self.driver("write " + MAGIC * frames)["err"], ERR["None"])
        stats = usb_stats(self.bus)
        self.assertEqual((stats["out_transfers"], stats["bytes_in"]), (104, 2 * frames))
        self.assertEqual(set(stats["out_sizes"]), {50})
        self.bus.wait_for(lambda: self.rx_frames() == frames, what="all frames at the module")

    def test_reads_are_served_from_800_byte_transfers(self):
        burst = bytes((i * 7 + 3) & 0xFF for i in range(2000))
        self.assertEqual(self.bus("send %s %s" % (SERIAL, burst.hex())), 1)
        reply = self.driver("read 2000 5000")
        self.assertEqual(reply["err"], ERR["None"], reply)
        self.assertEqual(bytes.fromhex(reply["data"]), burst)
        stats = usb_stats(self.bus)
        self.assertEqual(stats["in_data_sizes"], [800, 800, 400])
        self.assertTrue(stats["in_sizes"])
        self.assertEqual(set(stats["in_sizes"]), {800})

    def test_a_stalled_out_pipe_is_cleared_and_the_chunk_sent_again(self):
        self.bus("set %s stall_out 1" % SERIAL)
        self.assertEqual(self.driver("write " + MAGIC * 30)["err"], ERR["None"])
        stats = usb_stats(self.bus)
        self.assertEqual(stats["stalls"], 1)
        self.assertEqual(stats["clear_halt"], [0x01])
        self.assertEqual(stats["out_sizes"], [50, 50, 10])
        self.assertEqual(self.rx_frames(), 30)          # nothing lost, nothing twice
        self.assertEqual(self.driver("read 60 3000")["data"], "0200" * 30)

    def test_a_stalled_in_pipe_is_cleared_and_reads_go_on(self):
        self.bus("send %s 01020304" % SERIAL)
        self.bus("set %s stall_in 1" % SERIAL)
        self.assertEqual(self.driver("get")["err"], ERR["NotReady"])
        self.assertEqual(usb_stats(self.bus)["clear_halt"], [0x81])
        self.assertEqual(self.driver("read 4 3000")["data"], "01020304")

    def test_a_timed_out_chunk_is_retried_with_what_was_not_taken(self):
        self.bus("set %s timeout_out 1" % SERIAL)
        self.assertEqual(self.driver("write " + MAGIC * 10)["err"], ERR["None"])
        stats = usb_stats(self.bus)
        self.assertEqual(stats["timeouts"], 1)
        self.assertEqual(stats["discarded"], 1)
        self.assertEqual(stats["out_sizes"], [20, 20])
        self.assertEqual(self.rx_frames(), 10)

    def test_a_failed_read_leaves_the_stream_failing_without_more_transfers(self):
        self.bus("set %s fail_in 1" % SERIAL)
        self.assertEqual(self.driver("get")["err"], ERR["IO"])
        before = usb_stats(self.bus)
        self.assertEqual(before["failures"], 1)
        self.assertEqual(self.driver("get")["err"], ERR["IO"])
        self.assertEqual(self.driver("write " + MAGIC)["err"], ERR["IO"])
        after = usb_stats(self.bus)
        self.assertEqual((after["in_transfers"], after["out_transfers"]),
                         (before["in_transfers"], before["out_transfers"]))
        self.assertEqual(self.driver("close")["err"], ERR["None"])

    def test_a_module_that_unplugs_fails_the_stream_and_can_be_opened_again(self):
        self.bus("unplug " + SERIAL)
        self.bus.wait_for(lambda: not self.bus.state(SERIAL)["plugged"], what="unplug")
        self.assertEqual(self.driver("get")["err"], ERR["IO"])
        self.assertEqual(self.driver("write " + MAGIC)["err"], ERR["IO"])
        self.assertEqual(self.driver("close")["err"], ERR["None"])
        # Releasing the interface of a module that left fails (LIBUSB_ERROR_NO_DEVICE); the
        # transport keeps that to itself: nothing on standard output.
        self.assertEqual(self.driver.printed, [])
        self.bus("plug " + SERIAL)
        self.bus.wait_for(lambda: self.bus.state(SERIAL)["plugged"], what="plug")
        self.assertEqual(self.driver("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(self.driver("write " + MAGIC)["err"], ERR["None"])
        self.assertEqual(self.driver("read 2 3000")["data"], "0200")


@usb.needs_umockdev
class DeviceLayer(unittest.TestCase):
    def setUp(self):
        self.bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, heartbeat_ms=0))
        self.driver = usb.Driver(self, self.bus, DRIVER)
        self.assertEqual(self.driver("hy create")["state"], 1)

    def test_a_transfer_error_moves_to_state_5_after_which_everything_fails(self):
        cases = [
            # fault, operation that meets it
            ("fail_in 1", "hy get"),
            ("fail_out 2", "hy write " + MAGIC),   # the chunk and its one retry
        ]
        for fault, operation in cases:
            with self.subTest(fault=fault):
                opened = self.driver("hy open " + SERIAL)
                self.assertEqual((opened["err"], opened["state"]), (ERR["None"], STATE_READY))
                self.bus("set %s %s" % (SERIAL, fault))
                failed = self.driver(operation)
                self.assertEqual((failed["err"], failed["state"]), (ERR["IO"], STATE_ERROR))
                before = usb_stats(self.bus)
                self.assertEqual(self.driver("hy get")["err"], ERR["IO"])
                self.assertEqual(self.driver("hy write " + MAGIC)["err"], ERR["IO"])
                after = usb_stats(self.bus)
                self.assertEqual((after["in_transfers"], after["out_transfers"]),
                                 (before["in_transfers"], before["out_transfers"]))
                closed = self.driver("hy close")
                self.assertEqual((closed["err"], closed["state"]), (ERR["None"], STATE_CLOSED))

    def test_closing_a_device_that_is_not_open_gives_mode(self):
        self.assertEqual(self.driver("hy close")["err"], ERR["Mode"])
        self.assertEqual(self.driver("hy open " + SERIAL)["state"], STATE_READY)
        closed = self.driver("hy close")
        self.assertEqual((closed["err"], closed["state"], closed["handle"]), (ERR["None"], STATE_CLOSED, False))
        self.assertEqual(self.driver("hy close")["err"], ERR["Mode"])
        self.assertEqual(usb_stats(self.bus)["releases"], 1)
        self.assertEqual(self.driver("hy destroy")["nulled"], True)


@usb.needs_umockdev
class Identification(unittest.TestCase):
    def test_a_lower_case_serial_string_names_the_same_module_as_discovery_lists(self):
        # Discovery reads the eight digits in either case; opening follows the same rule, so a
        # module that -D lists can be opened for -U.
        bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, serial_string=SERIAL.lower(),
                                                       heartbeat_ms=0),
                             *usb.module_arg(serial=OTHER))
        driver = usb.Driver(self, bus, DRIVER)
        self.assertEqual(driver("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(usb_stats(bus, SERIAL)["claims"], 1)
        self.assertEqual(usb_stats(bus, OTHER)["claims"], 0)
        self.assertEqual(driver("write " + MAGIC)["err"], ERR["None"])
        self.assertEqual(driver("read 2 3000")["data"], "0200")
        self.assertEqual(driver("close")["err"], ERR["None"])

    def test_devices_outside_the_family_are_never_opened_as_modules(self):
        bus = usb.UsbBus(self, *usb.module_arg(serial="11111111", pid=0x8013),
                             *usb.module_arg(serial="22222222", vid=0x1234),
                             *usb.module_arg(serial="33333333", serial_string="3333333"))
        driver = usb.Driver(self, bus, DRIVER)
        for serial in ("11111111", "22222222", "33333333"):
            self.assertEqual(driver("open " + serial)["err"], ERR["NotFound"], serial)
            self.assertEqual(usb_stats(bus, serial)["claims"], 0, serial)

    def test_an_interface_held_by_another_process_is_busy(self):
        bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, heartbeat_ms=0))
        holder = usb.Driver(self, bus, DRIVER)
        other = usb.Driver(self, bus, DRIVER)
        self.assertEqual(holder("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(other("open " + SERIAL)["err"], ERR["Busy"])
        self.assertEqual(usb_stats(bus)["claims_refused"], 1)
        self.assertEqual(holder("close")["err"], ERR["None"])
        self.assertEqual(other("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(other("write " + MAGIC)["err"], ERR["None"])
        self.assertEqual(other("read 2 3000")["data"], "0200")


@usb.needs_umockdev
class KernelNode(unittest.TestCase):
    def test_the_node_carries_the_stream_and_no_libusb_context_is_made(self):
        bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, node="on", heartbeat_ms=0),
                             *usb.module_arg(serial=OTHER, heartbeat_ms=0))
        driver = usb.Driver(self, bus, DRIVER)
        self.assertEqual(driver("node " + SERIAL)["installed"], True)
        self.assertEqual(driver("node " + OTHER)["installed"], False)
        self.assertEqual(driver("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(driver("inits")["inits"], 0)
        self.assertEqual(driver("write " + MAGIC * 3)["err"], ERR["None"])
        self.assertEqual(driver("read 6 3000")["data"], "0200" * 3)
        stats = usb_stats(bus, SERIAL)
        self.assertEqual(stats["node_bytes_in"], 6)
        self.assertGreaterEqual(stats["node_reads"], 6)
        self.assertEqual((stats["claims"], stats["out_transfers"], stats["in_transfers"]), (0, 0, 0))
        self.assertEqual(driver("close")["err"], ERR["None"])
        # Without a node the same stream goes through libusb.
        self.assertEqual(driver("open " + OTHER)["err"], ERR["None"])
        self.assertEqual(driver("inits")["inits"], 1)
        self.assertEqual(usb_stats(bus, OTHER)["claims"], 1)

    def test_the_node_goes_and_comes_back_with_the_module(self):
        bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, node="on", heartbeat_ms=0))
        driver = usb.Driver(self, bus, DRIVER)
        self.assertEqual(driver("open " + SERIAL)["err"], ERR["None"])
        bus("unplug " + SERIAL)
        bus.wait_for(lambda: not bus.state(SERIAL)["plugged"], what="unplug")
        self.assertEqual(driver("node " + SERIAL)["installed"], False)
        self.assertEqual(driver("get")["err"], ERR["IO"])          # the node's device left
        self.assertEqual(driver("close")["err"], ERR["None"])
        self.assertEqual(driver("open " + SERIAL)["err"], ERR["NotFound"])   # not on the bus at all
        bus("plug " + SERIAL)
        bus.wait_for(lambda: bus.state(SERIAL)["plugged"], what="plug")
        self.assertEqual(driver("node " + SERIAL)["installed"], True)
        self.assertEqual(driver("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(driver("write " + MAGIC)["err"], ERR["None"])
        self.assertEqual(driver("read 2 3000")["data"], "0200")

    def test_libusb_cannot_claim_a_module_the_kernel_driver_owns(self):
        bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, node="on", heartbeat_ms=0))
        driver = usb.Driver(self, bus, DRIVER)
        driver("hy create")
        self.assertEqual(driver("hy open " + SERIAL)["err"], ERR["Busy"])
        self.assertEqual(usb_stats(bus)["claims_refused"], 1)

    def test_an_empty_node_read_answering_efault_is_not_ready(self):
        bus = usb.UsbBus(self, *usb.module_arg(serial=SERIAL, node="on", heartbeat_ms=0,
                                                       node_efault="on"))
        driver = usb.Driver(self, bus, DRIVER)
        self.assertEqual(driver("open " + SERIAL)["err"], ERR["None"])
        self.assertEqual(driver("get")["err"], ERR["NotReady"])
        self.assertEqual(driver("write " + MAGIC)["err"], ERR["None"])
        self.assertEqual(driver("read 2 3000")["data"], "0200")


if __name__ == "__main__":
    unittest.main()
