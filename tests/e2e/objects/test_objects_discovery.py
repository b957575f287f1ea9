"""Module discovery over TCP/IP (UDP multicast) by the C++ runtime, inside private network
namespaces only: with simulated modules on the far end of a veth pair, and on a host whose
only interface is loopback.  The discovery driver prints what the runtime found."""

import os
import socket
import threading
import time
import unittest

from support import objects
from support.common import DatagramSender

DRIVER = objects.driver_path("discovery_driver")
TCPIP = 2
REPLY_TIMEOUT_MS = 2000


def enumerate_modules(*extra):
    return objects.run_driver([DRIVER, "enumerate", str(TCPIP)] + [str(e) for e in extra])


class Outside(unittest.TestCase):
    @unittest.skipUnless(objects.WHERE == "outside", "runs in the machine's namespace")
    @unittest.skipUnless(objects.can_make_namespaces(), "needs root, unshare and ip")
    def test_with_simulated_modules(self):
        objects.run_inside(self, "objects.test_objects_discovery", "WithModules", "veth")

    @unittest.skipUnless(objects.WHERE == "outside", "runs in the machine's namespace")
    @unittest.skipUnless(objects.can_make_namespaces(), "needs root, unshare and ip")
    def test_on_a_loopback_only_host(self):
        objects.run_inside(self, "objects.test_objects_discovery", "LoopbackOnly", "loopback")

    @unittest.skipUnless(objects.WHERE == "outside", "runs in the machine's namespace")
    def test_driver_refuses_to_multicast_here(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("HALYARD_NETNS")}
        import subprocess
        result = subprocess.run([DRIVER, "enumerate", "2"], env=env, capture_output=True,
                                text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn("netns_run", result.stderr)
        self.assertEqual(result.stdout, "")


@objects.skip_unless("veth")
class WithModules(unittest.TestCase):
    MODULES = [
        # serial, address, model, port
        ("0F5849A1", 2, 19, 0x221F),
        ("D272031D", 4, 10, 0x1F22),
        ("00000007", 0xFE, 0, 0x0100),
    ]

    def start(self, *extra):
        args = []
        for serial, address, model, port in self.MODULES:
            args += ["--module", "serial=%s,address=%d,model=%d,port=%d,heartbeat_ms=0"
                     % (serial, address, model, port)]
        self.sim = objects.start_sim(self, *(args + list(extra)))

    def test_every_module_is_found_with_every_field(self):
        self.start()
        result = enumerate_modules()
        self.assertEqual(result["count"], 3)
        found = sorted(result["modules"], key=lambda m: m["serial"])
        expected = sorted(({"type": TCPIP, "serial": serial, "address": address, "router": address,
                            "routerSerial": serial, "model": model, "ip": objects.MODULE_IP,
                            "port": port} for serial, address, model, port in self.MODULES),
                          key=lambda m: m["serial"])
        self.assertEqual(found, expected)
        # One request per interface address other than loopback: the one from the host's end
        # crossed the veth pair, the one from the modules' end looped back there (and the
        # simulator ignores it).
        requests = self.sim.packets("DISCOVERY", "UDP-RX")
        self.assertEqual(sorted(r.split(":")[0] for r in requests),
                         sorted([objects.HOST_IP, objects.MODULE_IP]))
        for request in requests:
            self.assertEqual(request.split(" ", 1)[1], "01" + " 00" * 15)

    def test_a_twelve_byte_reply_gives_model_ff(self):
        self.start()
        self.sim.control("set D272031D short_discovery on")
        result = enumerate_modules()
        models = {m["serial"]: m["model"] for m in result["modules"]}
        self.assertEqual(models, {"0F5849A1": 19, "D272031D": 0xFF, "00000007": 0})
        short = self.sim.packets("D272031D", "UDP-TX")
        self.assertEqual(len(short[0].split(" ", 1)[1].split()), 12)

    def test_callback_stops_the_walk(self):
        self.start()
        result = enumerate_modules(1)
        self.assertEqual((result["count"], result["calls"]), (1, 1))

    def test_find_module_by_serial_number(self):
        self.start()
        result = objects.run_driver([DRIVER, "find", str(TCPIP), "D272031D"])
        self.assertTrue(result["found"])
        self.assertEqual(result["module"], {
            "type": TCPIP, "serial": "D272031D", "address": 4, "router": 4,
            "routerSerial": "D272031D", "model": 10, "ip": objects.MODULE_IP, "port": 0x1F22})

    def test_unknown_serial_number_is_null_after_the_reply_time_out(self):
        self.start()
        result = objects.run_driver([DRIVER, "find", str(TCPIP), "12345678"])
        self.assertFalse(result["found"])
        self.assertGreaterEqual(result["ms"], REPLY_TIMEOUT_MS)

    def test_find_first_module(self):
        self.start()
        result = objects.run_driver([DRIVER, "first", str(TCPIP)])
        self.assertTrue(result["found"])
        self.assertIn(result["module"]["serial"], [m[0] for m in self.MODULES])

    def test_no_module_answers(self):
        self.start()
        self.sim.control("set * no_discovery on")
        result = enumerate_modules()
        self.assertEqual((result["count"], result["calls"]), (0, 0))
        self.assertGreaterEqual(result["ms"], REPLY_TIMEOUT_MS)

    def test_serial_transport_is_not_enumerated(self):
        self.start()
        result = objects.run_driver([DRIVER, "enumerate", "3"])
        self.assertEqual((result["count"], result["calls"]), (0, 0))
        self.assertEqual(self.sim.packets("DISCOVERY", "UDP-RX"), [])

    def test_endless_replies_do_not_hold_discovery_forever(self):
        # A peer that keeps sending replies (every 50 ms, so never 2 s of silence) must not
        # keep the caller waiting: collection ends at its limit.
        reply = bytes([2, 8, 0x10, 0x27, 1, 2, 3, 4, 0, 0, 0, 0, 5, 0, 0, 0])
        with DatagramSender(objects.MODULE_IP, (objects.HOST_IP, 9889), [reply], 0.05) as flood:
            result = enumerate_modules()
        # The same module answering again and again is offered once.
        self.assertEqual((result["count"], result["calls"]), (1, 1))
        self.assertGreater(flood.sent, 10)
        # Discovery gave up while the replies were still coming.
        self.assertFalse(flood.ran_out)

    def test_garbage_and_repeated_replies_offer_each_module_once(self):
        # Datagrams too short to carry a serial number are ignored; a 12-byte reply that carries
        # one counts (its model byte is missing); repeats and a flood of the same modules add
        # nothing.
        datagrams = [b"", b"\x02", bytes(7), bytes([2, 8, 0x10, 0x27, 1, 2, 3]),
                     bytes([2, 8, 0x10, 0x27, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0, 0]),
                     bytes([2, 6, 0x10, 0x27, 1, 2, 3, 4, 0, 0, 0, 0, 5, 0, 0, 0])]
        with DatagramSender(objects.MODULE_IP, (objects.HOST_IP, 9889), datagrams, 0.005):
            result = enumerate_modules()
        serials = sorted(module["serial"] for module in result["modules"])
        self.assertEqual(serials, ["04030201", "DDCCBBAA"])
        self.assertEqual(result["count"], 2)
        models = {module["serial"]: module["model"] for module in result["modules"]}
        self.assertEqual(models["DDCCBBAA"], 0xFF)


@objects.skip_unless("loopback")
class LoopbackOnly(unittest.TestCase):
    """Only 127.0.0.1: no request may leave, and no reply is waited for."""

    def test_nothing_is_sent_and_nothing_collected(self):
        sniffer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sniffer.close)
        sniffer.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sniffer.bind(("", 9888))
        sniffer.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                           socket.inet_aton("232.2.2.2") + socket.inet_aton("127.0.0.1"))
        sniffer.settimeout(0.5)

        # Replies keep arriving on port 9889 all along: discovery that listened would count them.
        stop = threading.Event()

        def keep_replying():
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            reply = bytes([2, 2, 0x10, 0x27, 1, 2, 3, 4, 0, 0, 0, 0, 5, 0, 0, 0])
            try:
                for _ in range(1000):
                    if stop.is_set():
                        break
                    sock.sendto(reply, ("127.0.0.1", 9889))
                    stop.wait(0.005)
            finally:
                sock.close()

        thread = threading.Thread(target=keep_replying)
        thread.start()
        try:
            time.sleep(0.1)
            result = enumerate_modules()
            found = objects.run_driver([DRIVER, "find", str(TCPIP), "04030201"])
        finally:
            stop.set()
            thread.join(timeout=5)
        self.assertEqual((result["count"], result["calls"]), (0, 0))
        self.assertFalse(found["found"])
        with self.assertRaises(socket.timeout):
            sniffer.recvfrom(64)

        # The sniffer does see a request sent out of the loopback interface.
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(probe.close)
        probe.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        probe.sendto(bytes([1] + [0] * 15), ("232.2.2.2", 9888))
        self.assertEqual(sniffer.recvfrom(64)[0][0], 1)


if __name__ == "__main__":
    unittest.main()
