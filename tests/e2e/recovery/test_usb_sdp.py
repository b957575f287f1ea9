"""HID_SDPLoader against the i.MX boot ROM behind an emulated USB HID device
(sim/usb_modules.py --imx, 0x1FC9:0x0130 on /dev/hidraw0): an image written and started, the
frames it went in, the ROM's fault switches, and the live loader that appears on the bus as
module 0xDEADDEAD once the ROM has jumped."""

import json
import os
import tempfile
import unittest

from support import usb

DRIVER = "sdp_hid_driver"
LOAD_ADDRESS = 0x00910000
LOADER = "DEADDEAD"
STATUS_FRAME, COMMAND_FRAME = 17, 17
# writeLoader results
OK, NO_ANSWER, INTERRUPTED, NOT_ACCEPTED, INIT_FAILED, NEEDS_POWER_CYCLE = 0, 2, 3, 4, 6, 9


def image(size, seed=5):
    return bytes(((i * 37 + seed) ^ (i >> 8)) & 0xFF for i in range(size))


@usb.needs_umockdev
class HidBootRom(unittest.TestCase):
    def setUp(self):
        self.bus = usb.UsbBus(self, "--imx", "loader_model=19,uid=0x11:0x22:0x33:0x44,boot_ms=200")
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def image_file(self, data):
        path = os.path.join(self.tmp.name, "image.bin")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def drive(self, *steps):
        result = self.bus.run([usb.driver_path(DRIVER)] + list(steps))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("Sanitizer", result.stderr)
        return json.loads(result.stdout)

    def rom(self):
        return self.bus("imx state")

    def test_an_image_is_written_and_started_and_the_live_loader_appears(self):
        data = image(2500)
        done = self.drive("write:%#x:%s" % (LOAD_ADDRESS, self.image_file(data)), "start:%#x" % LOAD_ADDRESS)
        self.assertEqual(done["init"], OK)
        self.assertEqual(done["steps"][0]["result"], OK)
        rom = self.rom()
        self.assertEqual(rom["writes"], [{"address": LOAD_ADDRESS, "count": 2500, "received": 2500,
                                          "result": "accepted", "status": 0x88888888}])
        self.assertEqual(bytes.fromhex(self.bus("imx read %d 2500" % LOAD_ADDRESS)), data)
        self.assertEqual(rom["jumps"], [LOAD_ADDRESS])
        # Status check, write command, three data frames of 1024, 1024 and 452 bytes, jump.
        self.assertEqual(rom["report_sizes"], [STATUS_FRAME, COMMAND_FRAME, 1025, 1025, 453, COMMAND_FRAME])
        self.assertEqual([c["name"] for c in rom["commands"]], ["ERROR_STATUS", "WRITE_FILE", "JUMP_ADDRESS"])

        # The ROM leaves the bus; the live loader comes on as a module in loader mode.
        loader = self.bus.wait_for(lambda: (lambda s: s if s["plugged"] else None)(self.bus.state(LOADER)),
                                   what="live loader on the bus")
        self.assertEqual(loader["module"]["mode"], "loader")
        self.assertFalse(self.rom()["plugged"])
        found = json.loads(self.bus.run([usb.driver_path("discovery_driver"), "find", "1",
                                                 LOADER]).stdout)
        self.assertEqual((found["found"], found["module"]["serial"], found["module"]["model"]),
                         (True, LOADER, 19))
        # Nothing answers as the boot ROM any more.
        self.assertEqual(self.drive("fingerprint")["init"], INIT_FAILED)

    def test_the_fingerprint_registers_are_read_over_hid(self):
        self.bus("imx set fingerprint 0x01234567 0x89ABCDEF")
        done = self.drive("fingerprint")
        self.assertEqual(done["steps"], [{"step": "fingerprint", "result": OK,
                                          "fingerprint": "89ABCDEF01234567"}])
        self.assertEqual(self.rom()["jumped"], False)

    def test_faults_of_the_boot_rom(self):
        cases = [
            # ROM setting, writeLoader result, bytes the ROM received, kept, status checks sent
            ("reject on", NOT_ACCEPTED, 3000, 0, 1),
            ("chatter 1024", INTERRUPTED, 1024, 1024, 1),   # noise after the first data frame
            ("short-status on", NO_ANSWER, None, 0, 5),     # a 63-byte report 4 holds no value
            # silent: zeros that would end a pending write, then the power-cycle result
            ("silent on", NEEDS_POWER_CYCLE, None, 0, 5),
        ]
        data = image(3000, seed=9)
        path = self.image_file(data)
        for number, (setting, expected, received, kept, checks) in enumerate(cases):
            with self.subTest(setting):
                address = LOAD_ADDRESS + 0x10000 * (number + 1)
                self.bus("imx power-on")
                before = len(self.rom()["commands"])
                self.bus("imx set " + setting)
                done = self.drive("write:%#x:%s" % (address, path))
                self.bus("imx set %s off" % setting.split()[0])
                self.assertEqual(done["steps"][0]["result"], expected)
                commands = self.rom()["commands"][before:]
                self.assertEqual(len([c for c in commands if c["name"] == "ERROR_STATUS"]), checks)
                writes = [w for w in self.rom()["writes"] if w["address"] == address]
                self.assertEqual([w["received"] for w in writes], [] if received is None else [received])
                # The host stopped at the noise: the ROM holds the first frame only.
                memory = bytes.fromhex(self.bus("imx read %d 3000" % address))
                self.assertEqual(memory, data[:kept] + bytes(3000 - kept))

if __name__ == "__main__":
    unittest.main()
