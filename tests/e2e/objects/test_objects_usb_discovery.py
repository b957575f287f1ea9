"""Module discovery over USB by the C++ runtime, against USB devices emulated with umockdev
(sim/usb_enum_sim.py): which devices count as modules, how their serial-number strings and
product ids become link specifiers, and the callback's control of the walk."""

import json
import os
import subprocess
import unittest

from support import objects

USB = 1
SIM = os.path.join(objects.SIM_DIR, "usb_enum_sim.py")
DRIVER = objects.driver_path("discovery_driver")

MODULES = {
    # serial: product id
    "0F5849A1": 0x000A,
    "D272031D": 0x0013,
}
NOT_MODULES = [
    "1234:0001:ABCDEF01",   # another vendor
    "24FF:8000:11111111",   # product id with bit 15 set
    "24FF:FFFF:22222222",
    "24FF:0001:1234567",    # 7 characters
    "24FF:0001:123456789",  # 9 characters
    "24FF:0001:0x123456",   # 8 characters, not 8 hexadecimal digits
    "24FF:0001:-1234567",
    "24FF:0001: 1234567",
    "24FF:0001:G1234567",
    "24FF:0001:-",          # no serial-number string
]


def preload():
    if os.environ.get("UPDATER_SANITIZE") != "address":
        return ""
    path = subprocess.run(["gcc", "-print-file-name=libasan.so"], capture_output=True, text=True,
                          timeout=30).stdout.strip()
    return path


def discover(devices, *command):
    args = [objects.PYTHON, SIM]
    for device in devices:
        args += ["--device", device]
    env = dict(os.environ, USB_ENUM_SIM_PRELOAD=preload())
    result = subprocess.run(args + ["--timeout", "60", "--", DRIVER] + [str(c) for c in command],
                            capture_output=True, text=True, timeout=120, env=env)
    if result.returncode != 0:
        raise AssertionError("usb_enum_sim ended with %d: %s" % (result.returncode, result.stderr))
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if len(lines) != 1:
        raise AssertionError("expected one JSON line, got %r" % result.stdout)
    return json.loads(lines[0])


def module_devices():
    return ["24FF:%04X:%s" % (pid, serial) for serial, pid in MODULES.items()]


class UsbDiscovery(unittest.TestCase):
    def test_only_family_devices_with_eight_digit_serials_are_modules(self):
        result = discover(NOT_MODULES[:5] + module_devices() + NOT_MODULES[5:], "enumerate", USB)
        self.assertEqual((result["count"], result["calls"]), (2, 2))
        found = {m["serial"]: m for m in result["modules"]}
        self.assertEqual(sorted(found), sorted(MODULES))
        for serial, pid in MODULES.items():
            with self.subTest(serial):
                self.assertEqual(found[serial], {
                    "type": USB, "serial": serial, "address": 0, "router": 0,
                    "routerSerial": "00000000", "model": pid & 0xFF, "usbId": serial})

    def test_the_callback_stops_the_walk(self):
        everything = discover(module_devices(), "enumerate", USB)
        first = discover(module_devices(), "enumerate", USB, 1)
        self.assertEqual((first["count"], first["calls"]), (1, 1))
        self.assertEqual(first["modules"][0], everything["modules"][0])

    def test_find_by_serial_number(self):
        devices = NOT_MODULES + module_devices()
        found = discover(devices, "find", USB, "D272031D")
        self.assertTrue(found["found"])
        self.assertEqual(found["module"]["model"], 0x13)
        self.assertFalse(discover(devices, "find", USB, "12345678")["found"])
        # The same eight characters in lower case name the same module.
        lower = discover(["24FF:000A:0f5849a1"], "find", USB, "0F5849A1")
        self.assertTrue(lower["found"])
        self.assertEqual(lower["module"]["usbId"], "0F5849A1")

    def test_no_device(self):
        result = discover([], "enumerate", USB)
        self.assertEqual((result["count"], result["calls"]), (0, 0))
        self.assertFalse(discover([], "first", USB)["found"])


if __name__ == "__main__":
    unittest.main()
