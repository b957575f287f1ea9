"""Discovery of simulated modules over UDP multicast, inside a private network namespace.

Run normally, the class OutsideNamespace starts this same file again under
sim/netns_run.sh, where the class InsideNamespace runs: requests from the host end of the
veth pair, replies on port 9889, TCP connections to the announced ports, an update
followed by a rediscovery.  Nothing here uses the machine's own interfaces."""

import errno
import os
import socket
import unittest

from support.common import ModuleSim, can_make_namespaces, run_module_sim, run_tests_inside
import halyard_host as host  # noqa: E402  (on the path through support.common)

INSIDE = os.environ.get("HALYARD_NETNS") == "1"
HOST_IP = os.environ.get("HALYARD_NETNS_HOST_IP", "10.77.0.1")
MODULE_IP = os.environ.get("HALYARD_NETNS_MODULE_IP", "10.77.0.2")

FIRST = "0F5849A1"
SECOND = "D272031D"
BEHIND = "11111111"


def h(text):
    return bytes.fromhex(text)


@unittest.skipIf(INSIDE, "runs outside the namespace")
class OutsideNamespace(unittest.TestCase):
    @unittest.skipUnless(can_make_namespaces(), "needs root, unshare and ip")
    def test_discovery_inside_a_private_namespace(self):
        run_tests_inside(self, "simulators.test_sim_module_discovery", "InsideNamespace", "veth", timeout=300)

    def test_simulator_refuses_discovery_and_outside_addresses_here(self):
        # In the machine's own namespace the simulator neither answers multicast nor
        # listens anywhere but on loopback, and says why.
        env = {k: v for k, v in os.environ.items() if not k.startswith("HALYARD_NETNS")}
        for args, reason in (
                (["--iface", "127.0.0.1"], "private network namespace"),
                (["--module", "serial=1,ip=0.0.0.0"], "loopback")):
            with self.subTest(args=args):
                base = [] if "--module" in args else ["--module", "serial=1"]
                result = run_module_sim(base + args, env=env)
                self.assertEqual(result.returncode, 2)
                self.assertIn(reason, result.stderr)
                self.assertEqual(result.stdout, "")


@unittest.skipUnless(INSIDE, "runs inside sim/netns_run.sh")
class InsideNamespace(unittest.TestCase):
    def setUp(self):
        self.sim = ModuleSim(
            self.addCleanup,
            "--module", f"serial={FIRST},model=19,address=2,version=2.1.5,build=1000,"
                        f"reboot_ms=1000,heartbeat_ms=0",
            "--module", f"serial={SECOND},model=13,address=6,version=1.0.3,build=7,port=8931",
            "--behind", f"router={FIRST},serial={BEHIND},address=4", iface=MODULE_IP)
        self.log = self.sim.log

    def replies(self, source=HOST_IP, request=host.DISCOVERY_REQUEST):
        return sorted(host.discover(source, wait=0.7, request=request), key=lambda r: r[1][1])

    def test_namespace_has_only_the_veth_pair(self):
        names = sorted(name for _, name in socket.if_nameindex())
        self.assertEqual(names, ["hy-host", "hy-module", "lo"])
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            with self.assertRaises(OSError) as caught:
                probe.connect(("192.0.2.2", 9))   # no route: nothing is ever sent
            self.assertEqual(caught.exception.errno, errno.ENETUNREACH)
        finally:
            probe.close()

    def test_each_module_answers_once_with_the_wire_format(self):
        first = self.sim.module(FIRST)["port"]
        replies = self.replies()
        self.assertEqual(len(replies), 2)
        (src1, r1), (src2, r2) = replies
        self.assertEqual((src1, src2), (MODULE_IP, MODULE_IP))
        self.assertEqual(r1, bytes([2, 2]) + first.to_bytes(2, "little") + h("A1 49 58 0F")
                         + h("05 00 00 21") + bytes([19, 0, 0, 0]))
        self.assertEqual(r2, h("02 06 E3 22 1D 03 72 D2 03 00 00 10 0D 00 00 00"))
        rows = host.read_log(self.log)
        self.assertIn(("DISCOVERY", "UDP-RX"), [(r[1], r[2]) for r in rows])
        self.assertEqual(len([r for r in rows if r[2] == "UDP-TX"]), 2)

    def test_reply_switches(self):
        self.sim.control(f"set {SECOND} short_discovery on")
        self.assertEqual([len(r) for _, r in self.replies()], [16, 12])
        self.sim.control(f"set {SECOND} no_discovery on")
        self.assertEqual([r[1] for _, r in self.replies()], [2])
        self.sim.control(f"vanish {FIRST}")
        self.assertEqual(self.replies(), [])
        self.sim.control(f"revive {FIRST}")
        self.sim.control.wait_for(FIRST, lambda s: s["online"])
        self.assertEqual([r[1] for _, r in self.replies()], [2])

    def test_requests_that_are_not_answered(self):
        # From the modules' own address (the host's request looped back on their end),
        # and datagrams that are not discovery requests.
        self.assertEqual(self.replies(source=MODULE_IP), [])
        self.assertEqual(self.replies(request=bytes(16)), [])

    def test_discover_connect_update_and_rediscover(self):
        replies = dict((r[1], (src, r)) for src, r in self.replies())
        src, reply = replies[2]
        port = int.from_bytes(reply[2:4], "little")
        link = host.HostLink(src, port)
        self.addCleanup(link.close)
        link.send(host.LINK_START)
        serial = host.get_uei(link, 2, 9)
        self.assertEqual(serial[3:], reply[7:3:-1])   # big-endian on the link, LSB first in UDP

        self.assertEqual(link.request(2, h("5F 00")), h("5F 00 10 00 00 00"))
        self.assertEqual(host.upgrade_prepare(link, 2, 0x10000000), (0, 512))
        local, status, remote, _ = host.upgrade_block(link, 2, bytes(range(40)))
        self.assertEqual((status, remote), (0, local))
        self.assertEqual(link.request(2, h("5F 02")), h("5F 02 00"))
        image = b"FWINFO build=2000 version=2.2.0\0" + bytes(range(200))
        self.assertEqual(host.upgrade_prepare(link, 2, 0), (0, 512))
        local, status, remote, _ = host.upgrade_block(link, 2, image)
        self.assertEqual((status, remote), (0, local))
        self.assertEqual(host.upgrade_write(link, 2, len(image)), 0)
        link.send(h("02 02 5F 06"))
        self.assertEqual(link.wait_closed(timeout=5), "reset")

        # While it reboots it answers neither discovery nor connections.
        self.assertEqual([r[1] for _, r in self.replies()], [6])
        self.sim.control.wait_for(FIRST, lambda s: s["online"])
        replies = dict((r[1], (src, r)) for src, r in self.replies())
        self.assertEqual(replies[2][1][2:4], reply[2:4])   # same port as before
        link = host.HostLink(MODULE_IP, port)
        self.addCleanup(link.close)
        self.assertEqual(host.get_uei(link, 2, 7), h("03 07 00 22 00 00 00"))
        self.assertEqual(link.request(2, h("49 FF")), h("49 FF 00 00 07 D0"))


if __name__ == "__main__":
    unittest.main()
