"""The object layer (Link, Module, SystemClass) against simulated modules over TCP/IP, inside a
private network namespace: discovery and connection by serial number, address learning, the
UEI byte layouts, command packets, byte blocks, routing through a link module, reconnection
and the connect errors.  The objects driver performs the operations; the simulator's packet
log and state show what went over the wire."""

import unittest

from support import objects

TCPIP = 2
ERR = objects.ERR

ROUTER = "0F5849A1"
OTHER = "D272031D"
BEHIND_A = "11111111"
BEHIND_B = "22222222"


class Outside(unittest.TestCase):
    @unittest.skipUnless(objects.WHERE == "outside", "runs in the machine's namespace")
    @unittest.skipUnless(objects.can_make_namespaces(), "needs root, unshare and ip")
    def test_inside_a_private_namespace(self):
        objects.run_inside(self, "objects.test_objects_link", "AgainstSimulator", "veth")


@objects.skip_unless("veth")
class AgainstSimulator(unittest.TestCase):
    def setUp(self):
        self.sim = objects.start_sim(
            self,
            "--module", f"serial={ROUTER},model=19,address=2,version=2.1.5,build=99519470,"
                        f"uid=0x01020304:0x05060708:0x090A0B0C:0x0D0E0F10,reset_ms=300",
            "--module", f"serial={OTHER},model=13,address=6,version=1.0.3,build=7,heartbeat_ms=100",
            "--behind", f"router={ROUTER},serial={BEHIND_A},address=4,model=14,version=1.2.3",
            "--behind", f"router={ROUTER},serial={BEHIND_B},address=10,model=15",
            "--heartbeat-ms", "0")
        self.driver = objects.Driver(self)

    def rows(self, who, kind):
        return self.sim.packets(who, kind)

    def state(self, serial):
        return self.sim.control.state(serial)

    def connect(self, name, serial, address=2):
        self.assertEqual(self.driver(f"module {name} {address}"), {"ok": True})
        return self.driver(f"connect {name} {TCPIP} {serial}")

    def test_connect_by_serial_number_learns_the_address(self):
        result = self.connect("m", OTHER)
        self.assertEqual(result["err"], ERR["None"], result)
        self.assertEqual(result["address"], 6)
        state = self.driver("state m")
        self.assertTrue(state["connected"])
        self.assertEqual(state["spec"], {
            "type": TCPIP, "serial": OTHER, "address": 6, "router": 6, "routerSerial": OTHER,
            "model": 13, "ip": objects.MODULE_IP, "port": self.sim.module(OTHER)["port"]})
        rx = self.rows(OTHER, "RX")
        self.assertEqual(rx[:2], ["AF 01 01", "AD 00"])     # link start, then the magic query
        self.assertIn("06 00", self.rows(OTHER, "TX"))
        self.assertEqual(self.state(OTHER)["stats"]["connections"], 1)

    def test_uei_requests_and_replies_byte_for_byte(self):
        self.assertEqual(self.connect("m", OTHER)["err"], ERR["None"])
        table = [
            # command, expected result, value, request frame, reply frame
            ("sys m serial", ERR["None"], 0xD272031D, "06 03 03 49 20", "06 07 03 09 00 D2 72 03 1D"),
            ("sys m model", ERR["None"], 13, "06 03 03 48 20", "06 04 03 08 00 0D"),
            ("sys m version", ERR["None"], 0x10000003, "06 03 03 47 20", "06 07 03 07 00 10 00 00 03"),
            ("sys m module", ERR["None"], 6, "06 03 03 41 20", "06 04 03 01 00 06"),
            ("sys m router", ERR["None"], 6, "06 03 03 42 20", "06 04 03 02 00 06"),
            ("sys m route 1", ERR["None"], None, "06 04 03 94 20 01", "06 04 03 D4 00 01"),
            ("get32 m 10", ERR["InvalidOption"], None, "06 03 03 4A 20", "06 04 03 0A 80 1D"),
            ("set8 m 12 1", ERR["InvalidOption"], None, "06 04 03 8C 20 01", "06 04 03 CC 80 1D"),
        ]
        for command, err, value, request, reply in table:
            with self.subTest(command):
                result = self.driver(command)
                self.assertEqual(result["err"], err, result)
                self.assertEqual(result.get("value"), value)
                if "touched" in result:
                    self.assertEqual(result["touched"], value is not None)
                self.assertEqual(self.rows(OTHER, "RX")[-1], request)
                self.assertEqual(self.rows(OTHER, "TX")[-1], reply)

    def test_unique_identifier_words_and_build_number(self):
        self.assertEqual(self.connect("r", ROUTER)["err"], ERR["None"])
        for word, value in enumerate([0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10]):
            with self.subTest(word=word):
                result = self.driver(f"sys r uid {word}")
                self.assertEqual((result["err"], result["value"]), (ERR["None"], value))
                self.assertEqual(self.rows(ROUTER, "RX")[-1], "02 04 03 67 20 %02X" % word)
        # Sub-index 4 is refused by the module; the output stays as it was.
        result = self.driver("sys r uid 4")
        self.assertEqual((result["err"], result["touched"]), (ERR["IndexRange"], False))
        self.assertEqual(self.driver("send r 2 0x49 FF")["err"], ERR["None"])
        result = self.driver("recv r 2 49FF")
        self.assertEqual((result["err"], result["data"]), (ERR["None"], "49FF05EE8BEE"))

    def test_send_packet_length_limits(self):
        self.assertEqual(self.connect("m", OTHER)["err"], ERR["None"])
        args27 = "".join("%02X" % i for i in range(27))
        self.assertEqual(self.driver(f"send m 6 0x55 {args27}")["err"], ERR["None"])
        self.assertEqual(self.driver(f"send m 6 0x55 {args27}1B")["err"], ERR["Param"])
        self.assertEqual(self.driver("send m 0 0x55 00")["err"], ERR["Packet"])
        self.assertEqual(self.driver("send m 7 0x55 00")["err"], ERR["Packet"])
        self.sim.control.wait_for(OTHER, lambda s: s["stats"]["rx"] >= 3)
        sent = [r for r in self.rows(OTHER, "RX") if r.startswith("06 1C 55")]
        self.assertEqual(sent, ["06 1C 55 " + " ".join("%02X" % i for i in range(27))])
        self.assertFalse([r for r in self.rows(OTHER, "RX") if r.startswith("06 1D")])

    def test_byte_block_of_50_bytes_is_three_packets(self):
        self.assertEqual(self.connect("m", OTHER)["err"], ERR["None"])
        block = bytes(range(0x30, 0x30 + 50))
        result = self.driver(f"setbytes m 10 {block.hex()}")
        # The simulated system entity has no option 10: its error reply ends the set.
        self.assertEqual(result["err"], ERR["InvalidOption"])
        self.sim.control.wait_for(OTHER, lambda s: s["stats"]["rx"] >= 5)
        packets = [bytes.fromhex(r) for r in self.rows(OTHER, "RX") if r.startswith("06 1C 03 8A")
                   or r.startswith("06 06 03 8A")]
        self.assertEqual(len(packets), 3)
        self.assertEqual([p[1] for p in packets], [28, 28, 6])
        self.assertEqual([p[-1] for p in packets], [0x80, 0x81, 0x02])
        self.assertEqual(b"".join(p[5:-1] for p in packets), block)

    def test_modules_behind_a_router_share_its_link(self):
        self.assertEqual(self.connect("r", ROUTER)["err"], ERR["None"])
        self.assertEqual(self.driver("module a 4"), {"ok": True})
        self.assertEqual(self.driver("module b 10"), {"ok": True})
        for name, address in (("a", 4), ("b", 10)):
            result = self.driver(f"through {name} r")
            self.assertEqual((result["err"], result["address"]), (ERR["None"], address))
        self.assertEqual(self.state(ROUTER)["sessions"], 1)
        self.assertEqual(self.state(ROUTER)["stats"]["connections"], 1)

        # Not routed until routeToMe(1).
        self.assertEqual(self.driver("sys a serial")["err"], ERR["Timeout"])
        self.assertEqual(self.driver("sys r route 1")["err"], ERR["None"])
        self.assertEqual(self.rows(ROUTER, "RX")[-1], "02 04 03 94 20 01")
        self.assertEqual(self.rows(ROUTER, "TX")[-1], "02 04 03 D4 00 01")
        for name, serial, model in (("a", BEHIND_A, 14), ("b", BEHIND_B, 15)):
            with self.subTest(name):
                result = self.driver(f"sys {name} serial")
                self.assertEqual((result["err"], result["value"]), (ERR["None"], int(serial, 16)))
                self.assertEqual(self.driver(f"sys {name} model")["value"], model)
                self.assertEqual(self.driver(f"sys {name} router")["value"], 2)

        # The router answers the magic query; the module behind keeps the address it was given.
        result = self.driver("reconnect a")
        self.assertEqual((result["err"], result["address"]), (ERR["None"], 4))
        # Releasing the router module leaves the shared link to the others.
        self.assertEqual(self.driver("free r"), {"ok": True})
        self.assertEqual(self.driver("sys a serial")["value"], int(BEHIND_A, 16))
        self.assertEqual(self.state(ROUTER)["stats"]["connections"], 1)
        self.assertEqual(self.driver("free a"), {"ok": True})
        self.assertEqual(self.driver("free b"), {"ok": True})
        self.sim.control.wait_for(ROUTER, lambda s: s["sessions"] == 0)
        self.assertEqual(self.rows(ROUTER, "RX")[-1], "AF 01 00")   # link stop on the last use

    def test_reconnect_after_the_simulator_closed_the_connection(self):
        self.assertEqual(self.connect("m", ROUTER)["err"], ERR["None"])
        self.assertEqual(self.driver("sys m serial")["value"], int(ROUTER, 16))
        # The TCP stream opens a new connection by itself; reconnect finds the link running.
        self.assertEqual(self.sim.control(f"close {ROUTER} rst"), 1)
        result = self.driver("reconnect m")
        self.assertEqual((result["err"], result["address"]), (ERR["None"], 2))
        self.assertEqual(self.driver("sys m serial")["value"], int(ROUTER, 16))
        self.assertEqual(self.state(ROUTER)["stats"]["connections"], 2)
        # As the update flow does it: disconnect, then reconnect from the remembered specifier.
        self.assertEqual(self.sim.control(f"close {ROUTER} rst"), 1)
        self.driver("disconnect m")
        self.assertFalse(self.driver("state m")["connected"])
        result = self.driver("reconnect m")
        self.assertEqual((result["err"], result["address"]), (ERR["None"], 2))
        self.assertEqual(self.driver("sys m serial")["value"], int(ROUTER, 16))
        state = self.sim.control.wait_for(ROUTER, lambda s: s["sessions"] == 1)
        self.assertGreaterEqual(state["stats"]["connections"], 3)
        self.assertEqual(self.rows(ROUTER, "RX").count("AF 01 01"), 2)   # one link start per engine link

    def test_reconnect_after_a_module_reset(self):
        self.assertEqual(self.connect("m", ROUTER)["err"], ERR["None"])
        # The reply to the reset call leaves before the module restarts.
        self.assertEqual(self.driver("sys m reset")["err"], ERR["None"])
        self.sim.control.wait_for(ROUTER, lambda s: s["stats"]["restarts"] == 1 and s["online"])
        self.driver("disconnect m")
        self.assertEqual(self.driver("reconnect m")["err"], ERR["None"])
        self.assertEqual(self.driver("sys m model")["value"], 19)

    def test_connect_errors(self):
        self.assertEqual(self.driver("module m 2"), {"ok": True})
        # No module has this serial number: not found after the discovery time-out.
        self.assertEqual(self.driver(f"connect m {TCPIP} 12345678")["err"], ERR["NotFound"])
        self.assertEqual(self.driver(f"connect m {TCPIP} 0")["err"], ERR["Param"])
        # Nothing to connect to yet.
        self.assertEqual(self.driver("reconnect m")["err"], ERR["Configuration"])
        self.assertNotIn("spec", self.driver("state m"))
        # The module answers discovery but refuses connections.
        self.sim.control(f"set {OTHER} refuse on")
        self.assertEqual(self.driver(f"connect m {TCPIP} {OTHER}")["err"], ERR["Connection"])
        self.assertFalse(self.driver("state m")["connected"])
        self.sim.control(f"set {OTHER} refuse off")
        self.sim.control.wait_for(OTHER, lambda s: s["online"])
        self.assertEqual(self.driver(f"connect m {TCPIP} {OTHER}")["err"], ERR["None"])
        # Already connected.
        port = self.sim.module(ROUTER)["port"]
        self.assertEqual(self.driver(f"spec m {objects.MODULE_IP} {port}")["err"], ERR["Busy"])
        self.assertEqual(self.driver("sys m serial")["value"], int(OTHER, 16))
        # A module whose link is gone answers no query, quickly and with the usual codes.
        self.driver("disconnect m")
        self.assertEqual(self.driver("sys m serial")["err"], ERR["Connection"])
        self.assertEqual(self.driver("magic m")["err"], ERR["NotReady"])

    def test_connect_from_a_specifier_and_discover_by_model(self):
        port = self.sim.module(ROUTER)["port"]
        self.assertEqual(self.driver("module s 8"), {"ok": True})
        result = self.driver(f"spec s {objects.MODULE_IP} {port}")
        self.assertEqual((result["err"], result["address"]), (ERR["None"], 2))
        self.assertEqual(self.driver("module k 2 13"), {"ok": True})
        result = self.driver(f"discover k {TCPIP} 0")
        self.assertEqual((result["err"], result["address"]), (ERR["None"], 6))
        self.assertEqual(self.driver("sys k serial")["value"], int(OTHER, 16))
        self.assertEqual(self.driver("module n 2 99"), {"ok": True})
        self.assertEqual(self.driver(f"discover n {TCPIP} 0")["err"], ERR["NotFound"])

    def test_engine_answers_the_heartbeats_with_b_plus_2(self):
        self.assertEqual(self.connect("m", OTHER)["err"], ERR["None"])
        state = self.sim.control.wait_for(OTHER, lambda s: s["stats"]["heartbeats_ok"] >= 4,
                                          timeout=10)
        self.assertEqual(state["stats"]["heartbeats_bad"], 0)
        self.assertEqual(state["stats"]["heartbeats_unexpected"], 0)
        tx, rx = self.rows(OTHER, "TX"), self.rows(OTHER, "RX")
        self.assertIn("06 02 00 00", tx)
        self.assertIn("06 02 00 02", rx)
        self.assertIn("06 02 00 01", tx)
        self.assertIn("06 02 00 03", rx)
        # Heartbeats never reach the callers: requests are answered meanwhile.
        for _ in range(5):
            self.assertEqual(self.driver("sys m model")["value"], 13)


if __name__ == "__main__":
    unittest.main()
