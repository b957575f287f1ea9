"""-D end to end: the built Updater discovers simulated modules over TCP/IP inside a private
network namespace and prints the device table; -D -r scans the device network behind a
simulated router, and its table is compared with the one the one-by-one scan gives
(tests/drivers/network_scan_driver)."""

import os
import socket
import subprocess
import unittest
from concurrent.futures import ThreadPoolExecutor

from support.common import starts_first
from support import updater as e2e
from support import usb
from cli.test_usb_updater import run_updater as run_on_usb_bus

ROUTER = "D272031D"
TITLE_TCPIP = "Discovered Devices: (TCPIP)"
HEADER_IP = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
SCAN_DRIVER = os.path.join(os.environ.get("DRIVER_DIR", ""), "network_scan_driver")
# A hang guard far below the one-by-one scan's two minutes and above the 5 s goal, which
# bench/scan_query_memory.py measures (a loaded machine or a sanitizer build may take longer).
SCAN_BOUND_S = 15
# The one-by-one scan waits this long for each reply (a simulated module answers within a few ms;
# a sanitizer build on a busy machine may take longer to see it).
ONE_BY_ONE_REPLY_MS = 250 if os.environ.get("UPDATER_SANITIZE") else 150
EMPTY_ROUTER, ROUTER_OF_3, ROUTER_OF_20 = "A0000000", "A0000003", "A0000020"


def network_args():
    """Three routers: none, three and twenty modules behind them (the ends 2 and 252 taken)."""
    args = []
    for router in (EMPTY_ROUTER, ROUTER_OF_3, ROUTER_OF_20):
        args += ["--module", "serial=%s,model=13,address=254,version=1.0.0,build=1000" % router]
    behind = [(ROUTER_OF_3, 0x33000001 + i, address) for i, address in enumerate((2, 100, 252))]
    behind += [(ROUTER_OF_20, 0x20200000 + i, address)
               for i, address in enumerate([2, 252] + list(range(12, 250, 12))[:18])]
    for router, serial, address in behind:
        args += ["--behind", "router=%s,serial=%08X,model=%d,address=%d,version=2.%d.%d,build=%d"
                 % (router, serial, 19 + serial % 3, address, serial % 7, address, serial % 1000)]
    return args


@e2e.inside_only
class Discovery(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)

    def test_table_of_tcpip_modules(self):
        sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=0F5849A1,model=19,address=2,version=0x21000005,build=99519470",
            # Refuses the connection: still a plain line, with what discovery told.
            "--module", "serial=D272031D,model=13,address=4,version=1.0.0,build=1000,port=40404,"
                        "refuse=on",
            "--module", "serial=00000007,model=200,address=254,version=15.1.11259375,"
                        "build=4294967295")
        result = self.work.run("-D", "-t", "TCP")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[:4], [
            "Updater (Version: 1.1 Apr 26 2023)", "Searching for Halyard devices", TITLE_TCPIP,
            HEADER_IP])
        ip = "[%s]" % e2e.MODULE_IP
        # Discovery gives the modules in the order their replies came.
        self.assertEqual(sorted(result.out_lines[4:]), sorted([
            "    0F5849A1  02       02      Osprey         2.1.5 (99519470) " + ip,
            "    D272031D  04       04      Plover         0.0.0 (0) " + ip,
            "    00000007  FE       FE      Unknown       15.1.11259375 (4294967295) " + ip,
        ]))
        self.assertEqual(result.stderr, "")
        # Discovery only reads: nothing was stored for the modules.
        self.assertEqual(list(self.work.store.iterdir()), [])
        self.assertEqual(sim.state("D272031D")["stats"]["connections"], 0)

    @unittest.skipUnless(usb.HAVE_UMOCKDEV, "needs umockdev")
    def test_without_a_transport_usb_modules_then_tcpip_modules_in_one_table(self):
        e2e.Simulator(
            self, self.work.root,
            "--module", "serial=0F5849A1,model=19,address=2,version=2.1.5,build=99519470",
            "--module", "serial=00000007,model=13,address=4,version=1.0.0,build=1000")
        bus = usb.UsbBus(self, *usb.module_arg(serial="D272031D", model=20, address=6,
                                                                version="3.2.1", build=77),
                                 run_as=e2e.RUN_UID)
        result = run_on_usb_bus(self.work, bus, "-D", enter=lambda command: command)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        ip = "[%s]" % e2e.MODULE_IP
        self.assertEqual(result.out_lines[:5], [
            "Updater (Version: 1.1 Apr 26 2023)", "Searching for Halyard devices",
            "Discovered Devices: (Unknown)", HEADER_IP,
            "    D272031D  06       06      Petrel         3.2.1 (77)"])
        self.assertEqual(sorted(result.out_lines[5:]), [
            "    00000007  04       04      Plover         1.0.0 (1000) " + ip,
            "    0F5849A1  02       02      Osprey         2.1.5 (99519470) " + ip])

    def test_no_module_answers(self):
        result = self.work.run("-D", "-t", "TCP")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[-2:], [TITLE_TCPIP, "    No devices found."])

    def test_network_behind_a_router_holds_exactly_its_modules_in_address_order(self):
        sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=13,address=254,version=1.0.0,build=1000" % ROUTER,
            "--behind", "router=%s,serial=0000000A,model=19,address=10,version=3.2.1,build=77" % ROUTER,
            "--behind", "router=%s,serial=00000004,model=20,address=4,version=2.0.9,build=55" % ROUTER)
        result = self.work.run("-D", "-r", ROUTER)
        self.assertEqual(result.status, 0, result)
        ip = "[%s]" % e2e.MODULE_IP
        self.assertEqual(result.out_lines[1:], [
            "Searching for Halyard Network devices connected to %s" % ROUTER,
            "Discovered Devices: (Unknown)",
            HEADER_IP,
            "    00000004  04       FE      Petrel         2.0.9 (55) " + ip,
            "    0000000A  0A       FE      Osprey         3.2.1 (77) " + ip,
        ])
        # Every even address from 2 to 252 was asked for its serial number, first in rising
        # order; a silent one twice more; the router routes to the host only while the scan runs.
        asked = []
        for rest in sim.packets(ROUTER, "RX"):
            wire = bytes.fromhex(rest)
            if wire[2:] == bytes([0x03, 0x49, 0x20]):
                asked.append(wire[0])
        first = sorted(set(asked), key=asked.index)
        self.assertEqual(first, list(range(2, 253, 2)))
        for address in first:
            self.assertEqual(asked.count(address), 1 if address in (4, 10) else 3, address)
        self.assertEqual(sim.state(ROUTER)["route_to_me"], 0)

    def one_by_one(self, routers):
        """The tables of the one-by-one scan of each router (run side by side: one link each)."""
        drivers = [subprocess.Popen([SCAN_DRIVER, router, "0", str(ONE_BY_ONE_REPLY_MS)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                   for router in routers]
        tables = []
        for driver in drivers:
            out, err = driver.communicate(timeout=120)
            self.assertEqual(driver.returncode, 0, err)
            tables.append(out.splitlines())
        return tables

    def scan(self, router):
        result = self.work.run("-D", "-r", router)
        self.assertEqual(result.status, 0, result)
        self.assertLess(result.seconds, SCAN_BOUND_S, result)
        self.assertEqual(result.stderr, "")
        return result.out_lines[2:]

    def test_scan_gives_the_table_of_the_one_by_one_scan_also_with_answers_lost(self):
        sim = e2e.Simulator(self, self.work.root, *network_args())
        counts = {EMPTY_ROUTER: 0, ROUTER_OF_3: 3, ROUTER_OF_20: 20}
        expected = dict(zip(counts, self.one_by_one(list(counts))))
        for router, modules in counts.items():
            with self.subTest(router=router):
                self.assertEqual(len(expected[router]), 2 + modules if modules else 2, expected[router])
                self.assertEqual(self.scan(router), expected[router])
        with self.subTest("the router loses one answer in ten"):
            sim.control("set %s drop_every 10" % ROUTER_OF_20)
            self.assertEqual(self.scan(ROUTER_OF_20), expected[ROUTER_OF_20])
            self.assertGreaterEqual(sim.state(ROUTER_OF_20)["stats"]["bus_lost"], 10)

    def test_scan_shows_progress_only_on_a_terminal(self):
        e2e.Simulator(self, self.work.root, *network_args())
        shown = self.work.run("-D", "-r", ROUTER_OF_3, terminal=True)
        self.assertEqual(shown.status, 0, shown)
        self.assertIn("\r[" + "=" * 69 + "> ] (100% ) ", shown.stdout)
        self.assertIn("\r" + " " * 88 + "\r", shown.stdout)
        piped = self.work.run("-D", "-r", ROUTER_OF_3)
        self.assertNotIn("\r", piped.stdout)
        lines = [line for line in shown.stdout.replace("\r", "\n").split("\n")
                 if line.strip() and not line.startswith("[")]
        self.assertEqual(lines, piped.out_lines)


HOST_IP = e2e.os.environ.get("HALYARD_NETNS_HOST_IP", "10.77.0.1")


@e2e.inside_only
class Hardening(unittest.TestCase):
    ROUNDS = e2e.CONCURRENCY_ROUNDS
    MODULES = ("0F5849A1", "0F5849A2", "0F5849A3")

    def setUp(self):
        self.work = e2e.Workspace(self)

    def listed(self, result):
        return sorted(line.split()[0] for line in result.out_lines[4:])

    def test_reply_port_held_by_another_program_is_named(self):
        # A socket without SO_REUSEADDR on the reply port keeps discovery from binding it.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 9889))
            result = self.work.run("-D", "-t", "TCP")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[-2:], [TITLE_TCPIP, "    No devices found."])
        self.assertEqual(result.err_lines,
                         ["TCP/IP discovery failed: UDP port 9889 cannot be bound: Address already in use"])

    @starts_first
    def test_two_discoveries_at_the_same_time_each_list_every_module_once(self):
        e2e.Simulator(self, self.work.root, *[
            arg for serial in self.MODULES
            for arg in ("--module", "serial=%s,model=19,address=2,version=1.0.0,build=1" % serial)])
        for round_ in range(self.ROUNDS):
            with ThreadPoolExecutor(2) as pool:
                runs = [pool.submit(self.work.run, "-D", "-t", "TCP") for _ in range(2)]
                results = [run.result() for run in runs]
            for result in results:
                self.assertEqual(result.status, 0, result)
                self.assertEqual(self.listed(result), list(self.MODULES), "round %d: %r" % (round_, result))

    def test_announcements_that_repeat_or_carry_nothing_add_no_rows(self):
        # A module that announces itself again and again but refuses connections, garbage too
        # short to name a module, alongside one real module: two rows, and the refusing module
        # costs one connection attempt, not one per announcement.
        e2e.Simulator(self, self.work.root,
                      "--module", "serial=0F5849A1,model=19,address=2,version=1.0.0,build=1")
        refusing = bytes([2, 4, 0x01, 0x00, 0x1D, 0x03, 0x72, 0xD2, 0, 0, 0, 0, 13, 0, 0, 0])
        with e2e.DatagramSender(e2e.MODULE_IP, (HOST_IP, 9889), [refusing, b"\x02\x04", bytes(7)], 0.002):
            result = self.work.run("-D", "-t", "TCP", timeout=60)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(self.listed(result), ["0F5849A1", "D272031D"])
        # Collection ends at its 10 s limit; one refused connection (port 1) is quick.
        self.assertLess(result.seconds, 30)


Outside = e2e.namespace_suite("cli.test_updater_discovery", "Discovery", "Hardening")


if __name__ == "__main__":
    unittest.main()
