"""The module simulator on its own, over loopback TCP: framing, link frames, UEI replies,
routing, heartbeats, fault switches and the packet log."""

import json
import os
import tempfile
import time
import unittest

from support.common import ModuleSim, run_module_sim
import halyard_host as host  # noqa: E402  (on the path through support.common)
import halyard_module as logic  # noqa: E402

ROUTER = "0F5849A1"
OTHER = "D272031D"
BEHIND_A = "11111111"
BEHIND_B = "22222222"


def start_sim(add_cleanup, *extra, heartbeat_ms=0):
    """Starts a simulator; add_cleanup is a test's or a class's addCleanup.
    Returns (sim, log path, dump dir)."""
    sim = ModuleSim(
        add_cleanup,
        "--module", f"serial={ROUTER},model=19,address=2,version=2.1.5,build=99519470,"
                    f"uid=0x01020304:0x05060708:0x090A0B0C:0x0D0E0F10",
        "--module", f"serial={OTHER},model=13,address=6,version=1.0.3,build=7",
        "--behind", f"router={ROUTER},serial={BEHIND_A},address=4,model=14,version=1.2.3,build=44",
        "--behind", f"router={ROUTER},serial={BEHIND_B},address=10,model=15,build=55",
        "--heartbeat-ms", str(heartbeat_ms), *extra)
    return sim, sim.log, sim.dump


def connect(testcase, sim, serial=ROUTER, **kw):
    m = sim.module(serial)
    link = host.HostLink(m["ip"], m["port"], **kw)
    testcase.addCleanup(link.close)
    return link


def h(text):
    return bytes.fromhex(text)


class WireReplies(unittest.TestCase):
    """Requests and the exact bytes the module answers, with no heartbeats in the way."""

    @classmethod
    def setUpClass(cls):
        cls.sim, cls.log, _ = start_sim(cls.addClassCleanup)

    def setUp(self):
        self.link = connect(self, self.sim)

    def exchange(self, request, count=1, timeout=2.0):
        self.link.send(request)
        got = []
        for _ in range(count):
            frame = self.link.expect(timeout=timeout)
            if frame is None:
                break
            got.append(bytes([frame[0], len(frame[1])]) + frame[1])
        return b"".join(got)

    def test_requests_are_answered_to_the_byte(self):
        table = [
            ("magic query", "AD 00", "02 00"),
            ("serial number", "02 03 03 49 20", "02 07 03 09 00 0F 58 49 A1"),
            ("model", "02 03 03 48 20", "02 04 03 08 00 13"),
            ("version", "02 03 03 47 20", "02 07 03 07 00 21 00 00 05"),
            ("module address", "02 03 03 41 20", "02 04 03 01 00 02"),
            ("router address of a direct module", "02 03 03 42 20", "02 04 03 02 00 02"),
            ("unique id word 0", "02 04 03 67 20 00", "02 07 03 27 00 01 02 03 04"),
            ("unique id word 3", "02 04 03 67 20 03", "02 07 03 27 00 0D 0E 0F 10"),
            ("build number", "02 02 49 FF", "02 06 49 FF 05 EE 8B EE"),
            ("routeToMe(0)", "02 04 03 94 20 00", "02 04 03 D4 00 00"),
            ("get with a sub-index ignores it", "02 04 03 49 20 07", "02 07 03 09 00 0F 58 49 A1"),
            ("unknown option get", "02 03 03 4A 20", "02 04 03 0A 80 1D"),
            ("unknown option set", "02 04 03 8C 20 01", "02 04 03 CC 80 1D"),
            ("set of a read-only option", "02 07 03 89 20 00 00 00 01", "02 04 03 C9 80 1D"),
            ("unique id sub-index 4", "02 04 03 67 20 04", "02 04 03 27 80 1A"),
            ("unique id without sub-index", "02 03 03 67 20", "02 04 03 27 80 1B"),
            ("system entity index 1", "02 03 03 49 21", "02 04 03 09 81 1A"),
            ("unknown entity", "02 03 07 41 20", "02 04 07 01 80 1C"),
        ]
        for name, request, expected in table:
            with self.subTest(name):
                self.assertEqual(self.exchange(h(request)).hex(" "), h(expected).hex(" "))

    def test_second_module_answers_from_its_own_address(self):
        link = connect(self, self.sim, OTHER)
        link.send(h("06 03 03 49 20"))
        self.assertEqual(link.expect(timeout=2), (6, h("03 09 00 D2 72 03 1D")))
        link.send(host.MAGIC_QUERY)
        self.assertEqual(link.expect(timeout=2), (6, b""))

    def test_sync_pattern_gets_one_empty_frame_per_magic_frame(self):
        self.assertEqual(self.exchange(host.SYNC_PATTERN, count=7, timeout=1.0), h("02 00") * 6)

    def test_junk_and_foreign_frames_are_skipped(self):
        # A zero byte begins no frame; a length above 28 drops the frame start; an odd
        # address other than the link's own frames and a packet for an unknown address
        # are ignored. The request behind them is still answered.
        self.link.send(h("00") + h("02 1D") + h("51 00") + h("08 03 03 49 20")
                       + h("02 03 03 48 20"))
        self.assertEqual(self.link.expect(timeout=2), (2, h("03 08 00 13")))
        self.assertIsNone(self.link.expect(timeout=0.3))

    def test_routing_only_while_route_to_me_is_on(self):
        link = self.link
        self.assertIsNone(host.get_uei(link, 4, 9, timeout=0.5))
        self.assertEqual(host.set_uei8(link, 2, 20, 1), h("03 D4 00 01"))
        try:
            table = [
                (4, 9, "03 09 00 11 11 11 11"),
                (4, 1, "03 01 00 04"),
                (4, 2, "03 02 00 02"),
                (4, 8, "03 08 00 0E"),
                (4, 7, "03 07 00 12 00 00 03"),
                (10, 9, "03 09 00 22 22 22 22"),
                (10, 8, "03 08 00 0F"),
            ]
            for address, option, expected in table:
                with self.subTest(address=address, option=option):
                    reply = host.get_uei(link, address, option)
                    self.assertEqual(reply, h(expected))
            build = link.request(4, h("49 FF"))
            self.assertEqual(build, h("49 FF 00 00 00 2C"))
            # The magic query is answered by the module at the end of the link only.
            link.send(host.MAGIC_QUERY)
            self.assertEqual(link.expect(timeout=2), (2, b""))
            self.assertIsNone(link.expect(timeout=0.3))
            # Addresses with nobody behind them stay silent.
            self.assertIsNone(host.get_uei(link, 8, 9, timeout=0.3))
        finally:
            self.assertEqual(host.set_uei8(link, 2, 20, 0), h("03 D4 00 00"))
        self.assertIsNone(host.get_uei(link, 4, 9, timeout=0.5))

    def test_packet_log_records_both_directions(self):
        self.link.send(h("02 03 03 48 20"))
        self.assertIsNotNone(self.link.expect(timeout=2))
        self.link.send(h("08 03 03 49 20"))
        self.link.send(h("02 03 03 48 20"))
        self.assertIsNotNone(self.link.expect(timeout=2))
        rows = host.read_log(self.log)
        kinds = [(who, kind, rest) for _, who, kind, rest in rows]
        self.assertIn((ROUTER, "RX", "02 03 03 48 20"), kinds)
        self.assertIn((ROUTER, "TX", "02 04 03 08 00 13"), kinds)
        self.assertIn((ROUTER, "RX", "08 03 03 49 20"), kinds)
        rx = kinds.index((ROUTER, "RX", "02 03 03 48 20"))
        self.assertEqual(kinds[rx + 1][1:], ("TX", "02 04 03 08 00 13"))
        times = [t for t, _, _, _ in rows]
        self.assertEqual(times, sorted(times))


class Heartbeats(unittest.TestCase):
    def test_heartbeats_follow_link_start_and_replies_are_checked(self):
        sim, log, _ = start_sim(self.addCleanup, heartbeat_ms=100)
        link = connect(self, sim)
        # Nothing before the link-start frame.
        self.assertFalse(link.wait_heartbeats(1, timeout=0.5))
        link.send(host.LINK_START)
        self.assertTrue(link.wait_heartbeats(4, timeout=5))
        self.assertEqual(link.heartbeats[:4], [(2, 0), (2, 1), (2, 0), (2, 1)])
        state = sim.control.wait_for(ROUTER, lambda s: s["stats"]["heartbeats_ok"] >= 4)
        self.assertEqual(state["stats"]["heartbeats_bad"], 0)
        self.assertEqual(state["stats"]["heartbeats_missed"], 0)
        self.assertIn((ROUTER, "TX", "02 02 00 01"), [r[1:] for r in host.read_log(log)])
        self.assertIn((ROUTER, "RX", "02 02 00 03"), [r[1:] for r in host.read_log(log)])

        # A wrong reply (b + 3) is counted as bad.
        link.heartbeat_reply = lambda b: b + 3
        state = sim.control.wait_for(ROUTER, lambda s: s["stats"]["heartbeats_bad"] >= 2)
        events = [r[3] for r in host.read_log(log) if r[2] == "EV"]
        self.assertTrue(any(e.startswith("heartbeat bad b=00 expected=02 got=03") for e in events))

        # Link stop ends the heartbeats.
        link.send(host.LINK_STOP)
        sent = sim.control.wait_for(ROUTER, lambda s: True)["stats"]["heartbeats_sent"]
        time.sleep(0.5)
        self.assertLessEqual(sim.control.state(ROUTER)["stats"]["heartbeats_sent"], sent + 1)

    def test_unanswered_heartbeats_are_missed_and_can_drop_the_link(self):
        sim, log, _ = start_sim(self.addCleanup, heartbeat_ms=100)
        sim.control(f"set {ROUTER} heartbeat_drop_after 3")
        link = connect(self, sim, answer_heartbeats=False)
        link.send(host.LINK_START)
        self.assertEqual(link.wait_closed(timeout=5), "reset")
        state = sim.control.state(ROUTER)
        self.assertGreaterEqual(state["stats"]["heartbeats_missed"], 3)
        self.assertEqual(state["stats"]["heartbeats_ok"], 0)
        events = [r[3] for r in host.read_log(log) if r[2] == "EV"]
        self.assertIn("dropping connection after 3 missed heartbeats", events)

    def test_reply_wraps_at_eight_bits(self):
        sim, _, _ = start_sim(self.addCleanup, heartbeat_ms=100)
        sim.control(f"set {ROUTER} heartbeat_values 0xFF")
        link = connect(self, sim)
        link.send(host.LINK_START)
        self.assertTrue(link.wait_heartbeats(2, timeout=5))
        self.assertEqual(link.heartbeats[0], (2, 0xFF))
        state = sim.control.wait_for(ROUTER, lambda s: s["stats"]["heartbeats_ok"] >= 2)
        self.assertEqual(state["stats"]["heartbeats_bad"], 0)


class FaultSwitches(unittest.TestCase):
    def setUp(self):
        self.sim, self.log, _ = start_sim(self.addCleanup)
        self.control = self.sim.control

    def serial_request(self, link, timeout=2.0):
        return link.request(2, h("03 49 20"), prefix=h("03 09"), timeout=timeout)

    def test_drop_next_replies(self):
        link = connect(self, self.sim)
        self.control(f"set {ROUTER} drop 2")
        self.assertIsNone(self.serial_request(link, timeout=0.5))
        self.assertIsNone(self.serial_request(link, timeout=0.5))
        self.assertEqual(self.serial_request(link), h("03 09 00 0F 58 49 A1"))
        drops = [r for r in host.read_log(self.log) if r[2] == "DROP"]
        self.assertEqual(len(drops), 2)
        self.assertEqual(drops[0][3], "02 07 03 09 00 0F 58 49 A1")

    def test_corrupt_a_byte(self):
        link = connect(self, self.sim)
        self.control(f"set {ROUTER} corrupt_offset 0")
        self.control(f"set {ROUTER} corrupt_xor 1")
        self.control(f"set {ROUTER} corrupt 1")
        link.send(h("02 03 03 48 20"))
        time.sleep(0.3)
        # Address 2 became 3: an odd byte where an address belongs.
        self.assertEqual(link.junk[:1], h("03"))
        self.assertEqual(self.serial_request(link), h("03 09 00 0F 58 49 A1"))

    def test_delay_replies(self):
        link = connect(self, self.sim)
        self.control(f"set {ROUTER} delay_ms 1500")
        link.send(h("02 03 03 48 20"))
        link.send(host.MAGIC_QUERY)
        self.assertIsNone(link.expect(timeout=0.3))
        self.assertEqual(link.expect(timeout=5), (2, h("03 08 00 13")))
        self.assertEqual(link.expect(timeout=5), (2, b""))   # order kept

    def test_close_after_packets(self):
        link = connect(self, self.sim)
        self.control(f"set {ROUTER} close_after 2")
        self.assertIsNotNone(self.serial_request(link))
        link.send(h("02 03 03 48 20"))
        self.assertEqual(link.wait_closed(timeout=5), "reset")
        # The second request was answered before the connection went.
        self.assertEqual(link.expect(timeout=0.5), (2, h("03 08 00 13")))
        self.assertIsNotNone(self.serial_request(connect(self, self.sim)))

    def test_close_now_with_reset_or_fin(self):
        for style, seen in (("rst", "reset"), ("fin", "eof")):
            with self.subTest(style):
                link = connect(self, self.sim)
                self.assertIsNotNone(self.serial_request(link))
                self.assertEqual(self.control(f"close {ROUTER} {style}"), 1)
                self.assertEqual(link.wait_closed(timeout=5), seen)

    def test_refuse_connections(self):
        self.control(f"set {ROUTER} refuse on")
        m = self.sim.module(ROUTER)
        with self.assertRaises(ConnectionRefusedError):
            host.HostLink(m["ip"], m["port"])
        self.control(f"set {ROUTER} refuse off")
        self.assertIsNotNone(self.serial_request(connect(self, self.sim)))

    def test_silent_module_keeps_the_connection(self):
        sim = self.sim
        link = connect(self, sim)
        self.control(f"set {ROUTER} heartbeat_ms 100")
        link.send(host.LINK_START)
        self.assertTrue(link.wait_heartbeats(1, timeout=5))
        self.control(f"set {ROUTER} silent on")
        count = len(link.heartbeats)
        self.assertIsNone(self.serial_request(link, timeout=0.5))
        self.assertLessEqual(len(link.heartbeats), count + 1)
        self.assertIsNone(link.closed)
        self.control(f"set {ROUTER} silent off")
        self.assertEqual(self.serial_request(link), h("03 09 00 0F 58 49 A1"))

    def test_garbage_bytes(self):
        link = connect(self, self.sim)
        self.assertIsNotNone(self.serial_request(link))
        self.assertEqual(self.control(f"garbage {ROUTER} 01 03 FF"), 1)
        self.assertEqual(self.serial_request(link), h("03 09 00 0F 58 49 A1"))
        self.assertEqual(bytes(link.junk), h("01 03 FF"))
        self.assertIn((ROUTER, "RAW", "01 03 FF"), [r[1:] for r in host.read_log(self.log)])

    def test_vanish_and_revive(self):
        link = connect(self, self.sim)
        self.assertIsNotNone(self.serial_request(link))
        self.control(f"vanish {ROUTER}")
        self.assertEqual(link.wait_closed(timeout=5), "reset")
        m = self.sim.module(ROUTER)
        with self.assertRaises(ConnectionRefusedError):
            host.HostLink(m["ip"], m["port"])
        self.control(f"revive {ROUTER}")
        self.control.wait_for(ROUTER, lambda s: s["online"])
        self.assertIsNotNone(self.serial_request(connect(self, self.sim)))

    def test_reset_call_answers_then_restarts(self):
        self.control(f"set {ROUTER} reset_ms 300")
        link = connect(self, self.sim)
        self.assertEqual(link.request(2, h("03 8B 20"), prefix=h("03 CB")), h("03 CB 00"))
        self.assertEqual(link.wait_closed(timeout=5), "reset")
        self.control.wait_for(ROUTER, lambda s: s["online"] and s["stats"]["restarts"] == 1)
        self.assertIsNotNone(self.serial_request(connect(self, self.sim)))

    def test_unknown_switch_is_refused(self):
        with self.assertRaises(RuntimeError):
            self.control(f"set {ROUTER} no_such_switch 1")
        with self.assertRaises(RuntimeError):
            self.control("set 12345678 drop 1")


class Configuration(unittest.TestCase):
    def test_json_file_with_defaults_faults_and_behind_modules(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = os.path.join(tmp.name, "modules.json")
        with open(path, "w") as f:
            json.dump({"defaults": {"heartbeat_ms": 0, "block_size": 128},
                       "modules": [{"serial": "0x00ABCDEF", "address": 8, "model": 21,
                                    "version": "0x31000002", "faults": {"drop": 1},
                                    "behind": [{"serial": "BEEF0001", "address": 12,
                                                "short_init": True}]}]}, f)
        sim = ModuleSim(self.addCleanup, "--config", path)
        self.assertEqual([m["serial"] for m in sim.ready["modules"]], ["00ABCDEF"])
        link = connect(self, sim, "00ABCDEF")
        self.assertIsNone(host.get_uei(link, 8, 9, timeout=0.5))   # the dropped reply
        self.assertEqual(host.get_uei(link, 8, 7), h("03 07 00 31 00 00 02"))
        self.assertEqual(host.get_uei(link, 8, 8), h("03 08 00 15"))
        behind = sim.control.state("BEEF0001")
        self.assertEqual((behind["router"], behind["settings"]["block_size"],
                          behind["faults"]["short_init"]), ("00ABCDEF", 128, True))

    def test_bad_configurations_are_refused(self):
        table = [
            (["--module", "serial=1,address=3"], "even"),
            (["--module", "serial=1", "--module", "serial=00000001,port=0"], "twice"),
            (["--module", "serial=1,colour=blue"], "unknown module keys: colour"),
            (["--module", "serial=1", "--behind", "router=2,serial=3,address=4"], "no module 2"),
            (["--module", "serial=1,address=4", "--behind", "router=1,serial=3,address=4"],
             "already taken"),
            (["--module", "serial=1,load_mode=never"], "load_mode"),
            ([], "no module"),
        ]
        for args, message in table:
            with self.subTest(args=args):
                result = run_module_sim(args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(message, result.stderr)


class LogicWithoutTransport(unittest.TestCase):
    """The module logic driven directly, as a USB face will drive it."""

    class Face(logic.ModuleFace):
        def __init__(self):
            self.timers, self.offline, self.online = [], 0, 0

        def schedule(self, delay_s, fn):
            self.timers.append((delay_s, fn))

        def go_offline(self, module):
            self.offline += 1
            for session in list(module.sessions):
                session.close(True)

        def go_online(self, module):
            self.online += 1

        def close_sessions(self, module, reset=True):
            for session in list(module.sessions):
                session.close(reset)

        def run_timers(self):
            while self.timers:
                self.timers.sort(key=lambda t: t[0])
                self.timers.pop(0)[1]()

    def setUp(self):
        self.face = self.Face()
        self.module = logic.HalyardModule("0F5849A1", 19, 2, "2.1.5", 99519470, face=self.face,
                                          heartbeat_ms=0)
        self.sent, self.closed = [], []
        self.clock = [100.0]
        self.session = logic.ModuleSession(self.module, self.sent.append, self.closed.append,
                                           clock=lambda: self.clock[0])

    def out(self):
        data, self.sent[:] = b"".join(self.sent), []
        return data

    def test_frame_parser_table(self):
        table = [
            ("zero-length packet", "02 00", [("frame", 2, b"")]),
            ("full 28-byte packet", "04 1C" + " AA" * 28, [("frame", 4, b"\xAA" * 28)]),
            ("zero address byte", "00 02 00", [("junk", h("00")), ("frame", 2, b"")]),
            ("length 29 is retried as an address", "02 1D 00",
             [("junk", h("02")), ("frame", 0x1D, b"")]),
            ("odd control frame", "AF 01 01", [("frame", 0xAF, h("01"))]),
        ]
        for name, wire, expected in table:
            with self.subTest(name):
                self.assertEqual(logic.FrameParser().feed(h(wire)), expected)

    def test_parser_keeps_state_across_chunks(self):
        parser = logic.FrameParser()
        wire = h("02 03 03 49 20 02 00")
        got = []
        for b in wire:
            got += parser.feed(bytes([b]))
        self.assertEqual(got, [("frame", 2, h("03 49 20")), ("frame", 2, b"")])

    def test_memory_places_bytes_at_their_addresses(self):
        import random
        rng = random.Random(7)
        memory, reference = logic.Memory(), {}
        for _ in range(300):
            address = rng.randrange(0, 600)
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
            memory.write(address, data)
            for i, b in enumerate(data):
                reference[address + i] = b
        rebuilt = {}
        for start, seg in memory.segments:
            for i, b in enumerate(seg):
                rebuilt[start + i] = b
        self.assertEqual(rebuilt, reference)
        ends = [(s, s + len(seg)) for s, seg in memory.segments]
        for (_, end), (start, _) in zip(ends, ends[1:]):
            self.assertLess(end, start)   # separate ranges never touch

    def test_bytes_in_bytes_out(self):
        self.session.feed(h("AF 01 01 AD 00 02 03 03 49"))
        self.assertEqual(self.out(), h("02 00"))
        self.session.feed(h("20"))
        self.assertEqual(self.out(), h("02 07 03 09 00 0F 58 49 A1"))

    def test_heartbeat_timing_follows_the_clock(self):
        self.module.set_value("heartbeat_ms", 500)
        self.session.feed(host.LINK_START)
        self.assertEqual(self.session.poll(), 100.5)
        self.clock[0] = 100.5
        self.session.poll()
        self.assertEqual(self.out(), h("02 02 00 00"))
        self.clock[0] = 101.5   # reply never came: missed once the time-out passed
        self.session.poll()
        self.assertEqual(self.module.stats["heartbeats_missed"], 1)
        self.assertEqual(self.out(), h("02 02 00 01"))
        self.session.feed(h("02 02 00 03"))
        self.assertEqual(self.module.stats["heartbeats_ok"], 1)

    def test_reboot_goes_through_the_face(self):
        self.session.feed(h("02 02 5F 06"))
        self.assertEqual(self.out(), b"")
        self.face.run_timers()
        self.assertEqual((self.face.offline, self.face.online), (1, 1))
        self.assertEqual(self.closed, [True])
        self.assertFalse(self.session.is_open)


if __name__ == "__main__":
    unittest.main()
