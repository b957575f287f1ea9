"""The module side of the upgrade protocol in the simulator, over loopback TCP: a whole
update (loader, LOAD, firmware, REBOOT into the new firmware), the bytes kept and dumped,
requests out of order, and the upgrade fault switches."""

import json
import os
import unittest

from support.common import ModuleSim
import halyard_host as host  # noqa: E402  (on the path through support.common)

SERIAL = "0F5849A1"
LOADER_ADDRESS = 0x10000000
FIRMWARE_ADDRESS = 0x00000000
LOADER = bytes((i * 7 + 3) & 0xFF for i in range(60))
FIRMWARE = bytes((i * 13 + 1) & 0xFF for i in range(960)) + b"FWINFO build=4321 version=3.2.1\0"
UPGRADE = 0x5F


def h(text):
    return bytes.fromhex(text)


class UpgradeCase(unittest.TestCase):
    module_extra = ""

    def setUp(self):
        self.sim = ModuleSim(
            self.addCleanup,
            "--module", f"serial={SERIAL},model=19,address=2,version=2.1.5,build=1000,"
                        f"heartbeat_ms=0,reboot_ms=300,load_restart_ms=300" + self.module_extra)
        self.log, self.dump = self.sim.log, self.sim.dump
        self.control = self.sim.control
        self.link = self.connect()

    def connect(self):
        m = self.sim.module(SERIAL)
        link = host.HostLink(m["ip"], m["port"])
        self.addCleanup(link.close)
        link.send(host.LINK_START)
        return link

    def reconnect_after_restart(self):
        self.assertEqual(self.link.wait_closed(timeout=5), "reset")
        self.control.wait_for(SERIAL, lambda s: s["online"])
        self.link = self.connect()

    def init(self):
        return self.link.request(2, h("5F 00"))

    def prepare(self, address, flags=0):
        return host.upgrade_prepare(self.link, 2, address, flags)

    def block(self, data):
        return host.upgrade_block(self.link, 2, data)

    def write(self, length):
        return host.upgrade_write(self.link, 2, length)

    def load(self, timeout=2.0):
        return self.link.request(2, h("5F 02"), timeout=timeout)

    def send_loader(self):
        self.assertEqual(self.init(), h("5F 00 10 00 00 00"))
        self.assertEqual(self.prepare(LOADER_ADDRESS), (0, 512))
        local, status, remote, _ = self.block(LOADER)
        self.assertEqual((status, remote), (0, local))

    def send_firmware(self, image, address=FIRMWARE_ADDRESS):
        status, size = self.prepare(address)
        self.assertEqual(status, 0)
        for offset in range(0, len(image), size):
            chunk = image[offset:offset + size]
            local, status, remote, _ = self.block(chunk)
            self.assertEqual((status, remote), (0, local))
            self.assertEqual(self.write(len(chunk)), 0)

    def dumped(self, kind, address):
        with open(os.path.join(self.dump, SERIAL, "%s-%08X.bin" % (kind, address)), "rb") as f:
            return f.read()

    def events(self):
        return [r[3] for r in host.read_log(self.log) if r[2] == "EV"]


class WholeUpdate(UpgradeCase):
    def test_loader_then_firmware_then_reboot_into_new_firmware(self):
        self.send_loader()
        # The 60 loader bytes went as 26, 26 and 8, each acknowledged with its count.
        tx = [r[3] for r in host.read_log(self.log) if r[2] == "TX"]
        self.assertEqual([t for t in tx if t.startswith("02 03 5F 01")],
                         ["02 03 5F 01 1A", "02 03 5F 01 1A", "02 03 5F 01 08"])
        self.assertEqual(self.load(), h("5F 02 00"))
        self.assertEqual(self.control.state(SERIAL)["mode"], "loader")
        self.assertEqual(self.dumped("loader", LOADER_ADDRESS), LOADER)

        self.send_firmware(FIRMWARE)
        state = self.control.state(SERIAL)
        self.assertEqual(state["stats"]["writes"], 2)   # 512 + 480 bytes
        self.assertEqual(state["firmware"][0]["length"], len(FIRMWARE))

        self.link.send(h("02 02 5F 06"))
        self.reconnect_after_restart()
        self.assertEqual(host.get_uei(self.link, 2, 7), h("03 07 00 32 00 00 01"))
        self.assertEqual(self.link.request(2, h("49 FF")), h("49 FF 00 00 10 E1"))
        state = self.control.state(SERIAL)
        self.assertEqual((state["mode"], state["version"], state["build"]),
                         ("firmware", "3.2.1", 4321))
        self.assertEqual(self.dumped("firmware", FIRMWARE_ADDRESS), FIRMWARE)
        self.assertEqual(self.dumped("loader", LOADER_ADDRESS), LOADER)
        with open(os.path.join(self.dump, SERIAL, "index.json")) as f:
            index = json.load(f)
        self.assertEqual([(e["address"], e["length"]) for e in index["firmware"]],
                         [(FIRMWARE_ADDRESS, len(FIRMWARE))])

    def test_blocks_at_separate_addresses_are_kept_apart(self):
        self.send_loader()
        self.assertIsNotNone(self.load())
        self.send_firmware(FIRMWARE[:300], 0x00000000)
        self.send_firmware(FIRMWARE[300:400], 0x00010000)
        self.assertEqual(self.control("dump " + SERIAL)[SERIAL], os.path.join(self.dump, SERIAL))
        self.assertEqual(self.dumped("firmware", 0), FIRMWARE[:300])
        self.assertEqual(self.dumped("firmware", 0x10000), FIRMWARE[300:400])

    def test_reboot_without_firmware_information(self):
        self.send_loader()
        self.assertIsNotNone(self.load())
        self.send_firmware(bytes(100))
        self.control(f"set {SERIAL} next_version 4.0.1")
        self.control(f"set {SERIAL} next_build 77")
        self.link.send(h("02 02 5F 06"))
        self.reconnect_after_restart()
        self.assertEqual(host.get_uei(self.link, 2, 7), h("03 07 00 40 00 00 01"))
        self.assertEqual(self.link.request(2, h("49 FF")), h("49 FF 00 00 00 4D"))


class OutOfOrder(UpgradeCase):
    def test_requests_before_their_time_are_refused(self):
        table = [
            ("PREPARE before INIT", "5F 03 00 00 00 00 00", "5F 07", "5F 07 01 00 00"),
            ("DATA before PREPARE", "5F 01 AA", "5F 01", "5F 01 00"),
            ("SUM before PREPARE", "5F 04", "5F 07", "5F 07 01 00 00 00 00"),
            ("WRITE before LOAD", "5F 05 00 01", "5F 07", "5F 07 04"),
        ]
        for name, request, prefix, expected in table:
            with self.subTest(name):
                self.assertEqual(self.link.request(2, h(request), prefix=h(prefix)), h(expected))

    def test_write_of_another_length_commits_nothing(self):
        self.send_loader()
        self.assertIsNotNone(self.load())
        self.assertEqual(self.prepare(0)[0], 0)
        self.block(bytes(range(40)))
        self.assertEqual(self.write(39), 2)
        self.assertEqual(self.control.state(SERIAL)["firmware"], [])

    def test_data_packet_sizes(self):
        self.assertIsNotNone(self.init())
        self.assertEqual(self.prepare(LOADER_ADDRESS)[0], 0)
        self.assertEqual(self.link.request(2, h("5F 01")), h("5F 01 00"))
        # 29 data bytes cannot be framed: the module skips the bytes as junk ...
        self.assertIsNone(self.link.request(2, h("5F 01") + bytes(27), timeout=0.5))
        self.assertTrue(any(r[2] == "JUNK" for r in host.read_log(self.log)))
        # ... and answers the next well-formed packet.
        self.assertEqual(self.link.request(2, h("5F 01") + bytes(26)), h("5F 01 1A"))
        self.assertEqual(self.control.state(SERIAL)["stats"]["data_bytes"], 26)


class UpgradeFaults(UpgradeCase):
    def test_wrong_data_count_n_times(self):
        self.control(f"set {SERIAL} data_count_wrong 2")
        self.assertIsNotNone(self.init())
        self.assertEqual(self.prepare(LOADER_ADDRESS)[0], 0)
        local, status, remote, resends = self.block(LOADER)
        self.assertEqual(resends, 2)
        self.assertEqual((status, remote), (0, local))
        self.control("dump " + SERIAL)
        self.assertEqual(self.dumped("loader", LOADER_ADDRESS), LOADER)

    def test_wrong_data_count_always(self):
        self.control(f"set {SERIAL} data_count_wrong always")
        self.assertIsNotNone(self.init())
        self.assertEqual(self.prepare(LOADER_ADDRESS)[0], 0)
        with self.assertRaises(RuntimeError):
            self.block(LOADER)
        self.assertEqual(self.control.state(SERIAL)["stats"]["data_bytes"], 0)

    def test_wrong_sum_once(self):
        self.control(f"set {SERIAL} sum_wrong 1")
        self.assertIsNotNone(self.init())
        self.assertEqual(self.prepare(LOADER_ADDRESS)[0], 0)
        local, status, remote, _ = self.block(LOADER[:30])
        self.assertEqual((status, remote), (0, (local + 1) & 0xFFFFFFFF))
        local, status, remote, _ = self.block(LOADER[30:])
        self.assertEqual((status, remote), (0, local))

    def test_failing_prepare_and_write(self):
        self.send_loader()
        self.assertIsNotNone(self.load())
        self.control(f"set {SERIAL} prepare_fail 1")
        self.assertEqual(self.prepare(0), (3, 0))
        self.assertEqual(self.prepare(0), (0, 512))
        self.control(f"set {SERIAL} write_fail 1")
        self.block(bytes(10))
        self.assertEqual(self.write(10), 3)
        self.block(bytes(10))
        self.assertEqual(self.write(10), 0)

    def test_short_init_reply(self):
        self.control(f"set {SERIAL} short_init on")
        self.assertEqual(self.init(), h("5F 00 10 00 00"))

    def test_block_size_and_load_base_are_configurable(self):
        self.control(f"set {SERIAL} block_size 0x100")
        self.control(f"set {SERIAL} load_base 0x20000400")
        self.assertEqual(self.init(), h("5F 00 20 00 04 00"))
        self.assertEqual(self.prepare(LOADER_ADDRESS), (0, 256))

    def test_vanish_mid_transfer(self):
        self.control(f"set {SERIAL} vanish_after_data 3")
        self.assertIsNotNone(self.init())
        self.assertEqual(self.prepare(LOADER_ADDRESS)[0], 0)
        with self.assertRaises(TimeoutError):
            self.block(LOADER)
        self.assertEqual(self.link.wait_closed(timeout=5), "reset")
        m = self.sim.module(SERIAL)
        with self.assertRaises(ConnectionRefusedError):
            host.HostLink(m["ip"], m["port"])
        self.assertTrue(self.control.state(SERIAL)["vanished"])
        self.control("revive " + SERIAL)
        self.control.wait_for(SERIAL, lambda s: s["online"])
        self.link = self.connect()
        self.assertIsNotNone(host.get_uei(self.link, 2, 9))
        self.assertEqual(self.control.state(SERIAL)["loader"][0]["length"], 52)


class LoadRestart(UpgradeCase):
    module_extra = ",load_mode=restart"

    def test_load_restarts_without_answer_and_accepts_reconnection(self):
        self.send_loader()
        self.link.send(h("02 02 5F 02"))
        self.reconnect_after_restart()
        self.assertIsNone(self.link.expect_prefix(h("5F 02"), timeout=0.5))
        # Running its loader: firmware blocks need no INIT.
        self.send_firmware(FIRMWARE[:100])
        self.assertIn("load (restart)", self.events())

    def test_load_restart_announces_itself_on_the_new_link(self):
        self.control(f"set {SERIAL} load_mode restart-announce")
        self.send_loader()
        self.link.send(h("02 02 5F 02"))
        self.reconnect_after_restart()
        self.assertEqual(self.link.expect_prefix(h("5F 02"), timeout=2), (2, h("5F 02 00")))
        self.assertEqual(self.control.state(SERIAL)["mode"], "loader")


class StartsInLoader(UpgradeCase):
    module_extra = ",start_in_loader=1"

    def test_live_loader_takes_firmware_without_init(self):
        self.send_firmware(FIRMWARE)
        self.assertEqual(self.control.state(SERIAL)["firmware"][0]["length"], len(FIRMWARE))


class Lifecycle(UpgradeCase):
    def test_sigterm_ends_cleanly_and_dumps_what_was_received(self):
        self.assertIsNotNone(self.init())
        self.assertEqual(self.prepare(LOADER_ADDRESS)[0], 0)
        self.block(LOADER[:52])
        self.assertEqual(self.sim.stop(), 0)
        self.assertEqual(self.link.wait_closed(timeout=5), "reset")
        self.assertEqual(self.dumped("loader", LOADER_ADDRESS), LOADER[:52])
        with open(os.path.join(self.dump, SERIAL, "index.json")) as f:
            self.assertEqual(json.load(f)["mode"], "upgrade")


if __name__ == "__main__":
    unittest.main()
