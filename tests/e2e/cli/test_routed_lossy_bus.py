"""A routed -U over a router whose module bus loses answers, end to end with sim/module_sim.py in a
private network namespace. The module acts on every request and only its answer is lost on the way
back, so a DATA sent twice would land twice in its memory: the update must still leave the loader
and the firmware byte for byte in the module, also where the image holds runs of zero bytes (whose
byte sum cannot tell whether a chunk was taken). A bus that loses everything ends the update within
its bound, with the line naming the step, the cause and the device's state."""

import unittest

from support import updater as e2e

ROUTER = "D272031D"
SERIAL = "0F5849A1"
SERIAL_NUMBER = int(SERIAL, 16)
BUILD = 1234
IN_LOADER = "Device %s is left in its loader without complete firmware: run the same command again" % SERIAL


def image_with_zero_runs():
    """Firmware with zero runs long enough to fill whole DATA packets and a whole 512-byte chunk."""
    body = e2e.firmware_image(BUILD, "3.2.1", size=600, seed=3)
    return bytes(300) + body[:400] + bytes(600) + body[400:]


@e2e.inside_only
class LossyBus(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(self, self.work.root, *e2e.routed_module_args(ROUTER, SERIAL))
        self.no_server = e2e.closed_port_url()

    def update(self, **options):
        return self.work.run("-U", "-d", SERIAL, "-r", ROUTER, "-f", "fw.bird", "-u", self.no_server, **options)

    def test_one_answer_in_ten_lost_still_installs_the_exact_images(self):
        cases = [("patterned image", e2e.firmware_image(BUILD, "3.2.1", size=2000, seed=5), "answer"),
                 ("image with zero runs", image_with_zero_runs(), "restart")]
        for name, firmware, load_mode in cases:
            with self.subTest(name):
                self.sim.control("set %s mode firmware" % SERIAL)
                self.sim.control("set %s build 1000" % SERIAL)
                self.sim.control("set %s load_mode %s" % (SERIAL, load_mode))
                bird = e2e.Bird(self.work.cwd / "fw.bird", BUILD, serial=SERIAL_NUMBER, firmware=firmware)
                lost_before = self.sim.state(ROUTER)["stats"]["bus_lost"]
                self.sim.control("set %s drop_every 10" % ROUTER)
                result = self.update()
                self.sim.control("set %s drop_every 0" % ROUTER)
                self.assertEqual(result.status, 0, result)
                self.assertEqual(result.stderr, "")
                self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (SERIAL, BUILD))
                # Answers were lost in every part of the run, the transfer included.
                self.assertGreaterEqual(self.sim.state(ROUTER)["stats"]["bus_lost"] - lost_before, 10)
                state = self.sim.control.wait_for(SERIAL, lambda s: s["online"] and s["mode"] == "firmware",
                                                  timeout=10)
                self.assertEqual(self.sim.dumped(SERIAL, "loader", e2e.LOADER_ADDRESS), bird.loader)
                self.assertEqual(self.sim.dumped(SERIAL, "firmware", e2e.FIRMWARE_ADDRESS), bird.firmware)
                self.assertEqual([segment["address"] for segment in state["firmware"]], [e2e.FIRMWARE_ADDRESS])
                self.assertEqual(state["build"], BUILD)
                self.assertEqual(self.sim.state(ROUTER)["route_to_me"], 0)
                self.assertEqual(self.work.settings(SERIAL).get("LATEST_TRANSFER"), "fw.bird")

    def test_a_bus_that_loses_everything_ends_the_update_within_its_bound(self):
        e2e.Bird(self.work.cwd / "fw.bird", BUILD, serial=SERIAL_NUMBER,
                 firmware=e2e.firmware_image(BUILD, "3.2.1", size=6000))
        cut = []

        def cut_the_bus(proc):
            # The loader takes 12 DATA packets: the bus goes dead inside the firmware.
            if not cut and self.sim.state(SERIAL)["stats"]["data_packets"] >= 40:
                self.sim.control("set %s drop_every 1" % ROUTER)
                cut.append(True)

        result = self.update(while_running=cut_the_bus)
        self.assertTrue(cut, result)
        self.assertEqual(result.status, 1, result)
        failures = [line for line in result.err_lines if line.startswith("Failed to write")]
        self.assertEqual(len(failures), 1, result)
        self.assertRegex(failures[0], r"^Failed to write firmware block 1 at 0x00000000: no reply to (DATA|SUM|"
                                      r"PREPARE) within 1000 ms")
        self.assertEqual(result.err_lines[-1], IN_LOADER)
        self.assertNotIn("Module %s now runs" % SERIAL, result.stdout)
        self.assertNotIn("LATEST_TRANSFER", self.work.settings(SERIAL))
        self.assertEqual(self.sim.state(ROUTER)["route_to_me"], 0)
        # Bounded: a few asks of one second each once the bus went dead, not one per packet left.
        self.assertLess(result.seconds, 40)


Outside = e2e.namespace_suite("cli.test_routed_lossy_bus", "LossyBus")


if __name__ == "__main__":
    unittest.main()
