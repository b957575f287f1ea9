"""A router module that is absent, silent or interrupted, end to end with sim/module_sim.py in a
private network namespace: -D -r names the router that is not there and exits 1; a routed -U that
SIGINT, SIGTERM or SIGHUP ends switches the router's routing off before the program goes."""

import signal
import time
import unittest

from support import updater as e2e

ROUTER = "D272031D"
SERIAL = "0F5849A1"
SERIAL_NUMBER = int(SERIAL, 16)
SIGNAL_TO_END_LIMIT = 5


@e2e.inside_only
class Router(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=13,address=254" % ROUTER,
            "--behind", "router=%s,serial=%s,model=19,address=90,version=2.1.5,build=1000,"
                        "reboot_ms=300,load_restart_ms=300" % (ROUTER, SERIAL))
        self.no_server = e2e.closed_port_url()

    def test_router_absent_or_silent(self):
        cases = [
            ("absent", "22222222", "Router 22222222 not found"),
            ("silent", ROUTER, "Router %s not answering: " % ROUTER),
        ]
        self.sim.control("set %s silent on" % ROUTER)
        for name, router, line in cases:
            with self.subTest(name):
                result = self.work.run("-D", "-r", router)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(len(result.err_lines), 1, result)
                self.assertTrue(result.err_lines[0].startswith(line), result)
                self.assertNotIn("No devices found", result.stdout)

    def test_signal_during_a_routed_update_turns_routing_off(self):
        # A large image and slow answers keep the transfer going while the signal comes.
        e2e.Bird(self.work.cwd / "fw.bird", 1234, serial=SERIAL_NUMBER,
                 firmware=e2e.firmware_image(1234, "3.2.1", size=40000))
        self.sim.control("set %s delay_ms 5" % SERIAL)
        for how in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal.Signals(how).name):
                sent = []
                before = self.data_packets()

                def watch(proc):
                    if not sent and self.data_packets() >= before + 20 and proc.poll() is None:
                        proc.send_signal(how)
                        sent.append(time.monotonic())

                result = self.work.run("-U", "-d", SERIAL, "-r", ROUTER, "-f", "fw.bird", "-u", self.no_server,
                                       while_running=watch)
                self.assertTrue(sent, result)
                self.assertEqual(result.status, -how, result)
                self.assertEqual(self.sim.state(ROUTER)["route_to_me"], 0)

    def data_packets(self):
        return self.sim.state(SERIAL)["stats"].get("data_packets", 0)


Outside = e2e.namespace_suite("cli.test_routed_router", "Router")


if __name__ == "__main__":
    unittest.main()
