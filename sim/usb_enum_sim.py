#!/usr/bin/python3
"""USB devices as discovery sees them, emulated with umockdev (no hardware, no kernel module).

    usb_enum_sim.py [--device VID:PID:SERIAL]... [--timeout S] -- COMMAND [ARGS...]

Builds a umockdev test bed holding the devices given (in that order, bus 1, device numbers
from 2), each with a device and configuration descriptor (one interface of class 0xFF, subclass
0x88, protocol 0x10 with bulk endpoints 0x81 and 0x01) and the string descriptors 1
"Tessaron", 2 "Module" and 3 SERIAL, then runs COMMAND with libumockdev-preload so that its
libusb sees exactly these devices.  VID and PID are hexadecimal; SERIAL is sent as it is
(any length, any characters; "-" for a device without a serial-number string).  String
descriptors are answered through emulated usbfs control transfers; claim and release succeed;
every other request stalls.  The exit status is COMMAND's (124 when it outlived --timeout, 2
for a bad command line).  Set USB_ENUM_SIM_PRELOAD to libraries that must be preloaded before
umockdev's (an AddressSanitizer runtime).
"""

import argparse
import errno
import os
import struct
import subprocess
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

SUBMITURB, REAPURB, REAPURBNDELAY, DISCARDURB = 0x8038550A, 0x4008550C, 0x4008550D, 0x550B
CLAIM, RELEASE, GET_CAPS, GETDRIVER = 0x8004550F, 0x80045510, 0x8004551A, 0x41045508
URB_CONTROL = 2
GET_DESCRIPTOR = 6
STRING_DESCRIPTOR = 3
LANGUAGE_US = b"\x09\x04"
MANUFACTURER, PRODUCT, SERIAL = 1, 2, 3


def descriptors(vid, pid, has_serial):
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, vid, pid, 0x0100,
                         MANUFACTURER, PRODUCT, SERIAL if has_serial else 0, 1)
    interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 2, 0xFF, 0x88, 0x10, 0)
    endpoints = struct.pack("<BBBBHB", 7, 5, 0x81, 2, 512, 0) + struct.pack("<BBBBHB", 7, 5, 0x01, 2, 512, 0)
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(interface) + len(endpoints), 1, 1, 0, 0x80, 250)
    return device + config + interface + endpoints


def device_record(devnum, vid, pid, serial):
    path = "/devices/pci0000:00/0000:00:14.0/usb1/1-%d" % devnum
    lines = [
        "P: " + path, "N: bus/usb/001/%03d" % devnum,
        "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_device", "E: DRIVER=usb",
        "E: DEVNAME=/dev/bus/usb/001/%03d" % devnum, "E: BUSNUM=001", "E: DEVNUM=%03d" % devnum,
        "E: PRODUCT=%x/%x/100" % (vid, pid),
        "A: busnum=1\\n", "A: devnum=%d\\n" % devnum, "A: speed=480\\n",
        "A: bConfigurationValue=1\\n", "A: idVendor=%04x\\n" % vid, "A: idProduct=%04x\\n" % pid,
    ]
    if serial is not None:
        lines.append("A: serial=%s\\n" % serial)
    lines += ["H: descriptors=" + descriptors(vid, pid, serial is not None).hex(), "", ""]
    return "\n".join(lines)


class UsbfsStrings:
    """usbfs of one device: string descriptors by control transfer, claim/release, stalls."""

    def __init__(self, strings):
        self.strings = strings
        self.reapable = []
        self.handler = UMockdev.IoctlBase()
        self.handler.connect("handle-ioctl", self.on_ioctl)

    def _finish(self, urb, status, actual):
        urb.update(4, struct.pack("<i", status))
        urb.update(28, struct.pack("<i", actual))
        self.reapable.append(urb)

    def _control(self, urb, buf):
        request_type, request, value, _, length = struct.unpack("<BBHHH", bytes(buf.retrieve()[:8]))
        index = value & 0xFF
        if request_type == 0x80 and request == GET_DESCRIPTOR and value >> 8 == STRING_DESCRIPTOR \
                and (index == 0 or index in self.strings):
            body = LANGUAGE_US if index == 0 else self.strings[index].encode("utf-16-le")
            data = (bytes([2 + len(body), STRING_DESCRIPTOR]) + body)[:length]
            buf.update(8, data)
            self._finish(urb, 0, len(data))
        else:
            self._finish(urb, -errno.EPIPE, 0)

    def on_ioctl(self, handler, client):
        request, arg = client.get_request(), client.get_arg()
        if request == GET_CAPS:
            arg.resolve(0, 4).update(0, struct.pack("<I", 0))
            client.complete(0, 0)
        elif request in (CLAIM, RELEASE):
            client.complete(0, 0)
        elif request == GETDRIVER:
            client.complete(-1, errno.ENODATA)
        elif request == SUBMITURB:
            urb = arg.resolve(0, 56)
            kind, _, _, _, _, length = struct.unpack_from("<BBxxiI4xQi", bytes(urb.retrieve()))
            if kind != URB_CONTROL:
                client.complete(-1, errno.EINVAL)
                return True
            self._control(urb, urb.resolve(16, length))
            client.complete(0, 0)
        elif request in (REAPURB, REAPURBNDELAY):
            if not self.reapable:
                client.complete(-1, errno.EAGAIN)
            else:
                arg.resolve(0, 8).set_ptr(0, self.reapable.pop(0))
                client.complete(0, 0)
        elif request == DISCARDURB:
            client.complete(-1, errno.EINVAL)
        else:
            client.complete(-1, errno.ENOTTY)
        return True


def parse_device(text):
    parts = text.split(":", 2)
    if len(parts) != 3:
        raise argparse.ArgumentTypeError("expected VID:PID:SERIAL, got %r" % text)
    vid, pid = int(parts[0], 16), int(parts[1], 16)
    if not (0 <= vid <= 0xFFFF and 0 <= pid <= 0xFFFF):
        raise argparse.ArgumentTypeError("vendor and product ids are 16-bit: %r" % text)
    return vid, pid, None if parts[2] == "-" else parts[2]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--device", action="append", default=[], type=parse_device,
                        metavar="VID:PID:SERIAL")
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("COMMAND missing")

    testbed = UMockdev.Testbed.new()
    emulators = []
    for number, (vid, pid, serial) in enumerate(args.device, start=2):
        strings = {MANUFACTURER: "Tessaron", PRODUCT: "Module"}
        if serial is not None:
            strings[SERIAL] = serial
        emulator = UsbfsStrings(strings)
        # The handler must be attached before the node appears.
        testbed.attach_ioctl("/dev/bus/usb/001/%03d" % number, emulator.handler)
        testbed.add_from_string(device_record(number, vid, pid, serial))
        emulators.append(emulator)
    preload = " ".join(p for p in (os.environ.get("USB_ENUM_SIM_PRELOAD", ""),
                                   "libumockdev-preload.so.0") if p)
    # The test bed sets UMOCKDEV_DIR with g_setenv, which os.environ does not see.
    env = dict(os.environ, LD_PRELOAD=preload, UMOCKDEV_DIR=testbed.get_root_dir())
    try:
        result = subprocess.run(command, env=env, timeout=args.timeout)
        status = result.returncode
    except subprocess.TimeoutExpired:
        print("usb_enum_sim: %s did not end within %.0f s" % (command[0], args.timeout), file=sys.stderr)
        status = 124
    del testbed
    return status


if __name__ == "__main__":
    sys.exit(main())
