#!/usr/bin/python3
"""Simulated modules and the i.MX boot ROM on an emulated USB bus.

The bus is a umockdev test bed: programs started with

    LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=<root>

(libasan first in LD_PRELOAD for a sanitizer build) see the simulated devices
through their unmodified libusb and hidapi.  Every ioctl, read and write on a
device node arrives here.

  * A module is a USB device of vendor 0x24FF, its model as product id, its
    serial number as an 8-character string descriptor and the link interface
    (class 0xFF, subclass 0x88, protocol 0x10, bulk IN 0x81, bulk OUT 0x01).
    The bytes of the bulk endpoints are the module's packet stream: the same
    module logic as module_sim.py (halyard_module.py) answers them.  A module
    restarting (into its loader, after REBOOT) drops off the bus and comes back
    as a new device.  With `node=on` the module is owned by the family's
    kernel driver: "/dev/halyard.%08X" exists in the test bed and carries the
    stream, and libusb cannot claim the interface.
  * The i.MX boot ROM (imx_sdp.py) is a USB HID device 0x1FC9:0x0130 on
    /dev/hidrawN (reports 1 and 2 from the host, 3 and 4 to it).  Once it has
    jumped it leaves the bus and the live loader appears as a module of serial
    number 0xDEADDEAD running in loader mode.

    usb_modules.py --control SOCKET [--module KEY=VALUE,...]... [--imx KEY=VALUE,...]
                   [--packet-log FILE] [--dump-dir DIR] [--verbose] [-- COMMAND...]

Run it under umockdev-wrapper so that it can send uevents (removal and arrival
of devices).  When ready it prints one JSON line ({"event": "ready", ...,
"umockdev_dir": ROOT}); with a COMMAND it runs that command on the bus and
exits with its status instead.  SIGTERM, SIGINT or the control request `quit`
end it; the test bed directory is removed on the way out.  See sim/README.md.
"""

import argparse
import collections
import errno
import heapq
import json
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True     # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gi  # noqa: E402

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import imx_sdp  # noqa: E402
from part_priority import run_ahead_of_the_host  # noqa: E402
from usb_env import program_env  # noqa: E402
from halyard_module import (  # noqa: E402
    MODE_LOADER, SETTINGS, Faults, HalyardModule, ModuleFace, ModuleSession, PacketLog, parse_serial)

HALYARD_VENDOR = 0x24FF
LINK_INTERFACE = (0xFF, 0x88, 0x10)
EP_IN = 0x81
EP_OUT = 0x01
MAX_PACKET = 512
IMX_VENDOR = 0x1FC9
IMX_PRODUCT = 0x0130
LIVE_LOADER_SERIAL = 0xDEADDEAD
NODE_PREFIX = "/dev/halyard."

# usbfs ioctl requests (x86_64).
SUBMITURB = 0x8038550A
DISCARDURB = 0x550B
REAPURB = 0x4008550C
REAPURBNDELAY = 0x4008550D
CLAIMINTERFACE = 0x8004550F
RELEASEINTERFACE = 0x80045510
CLEAR_HALT = 0x80045515
RESET = 0x5514
SETINTERFACE = 0x80085504
SETCONFIGURATION = 0x80045505
GETDRIVER = 0x41045508
GET_CAPABILITIES = 0x8004551A
URB_SIZE = 56                      # struct usbdevfs_urb on x86_64
URB_TYPE_CONTROL = 2
URB_TYPE_BULK = 3
# ZERO_PACKET | BULK_CONTINUATION | NO_PACKET_SIZE_LIM | BULK_SCATTER_GATHER | REAP_AFTER_DISCONNECT
CAPABILITIES = 0x01 | 0x02 | 0x04 | 0x08 | 0x10

# hidraw ioctl requests.
HIDIOCGRDESCSIZE = 0x80044801
HIDIOCGRDESC = 0x90044802
HIDIOCGRAWINFO = 0x80084803

IDLE_REAP_WAIT_S = 0.001           # an empty reap waits this long for bytes (libusb polls)
MAX_WAIT_S = 0.1
RECORDED_SIZES = 4096              # transfer sizes kept per device for the control channel
DEFAULT_IMX_BOOT_MS = 300          # from the jump to the live loader on the bus

IMX_REPORT_DESCRIPTOR = bytes.fromhex(
    "0600ff0901a101"                                  # vendor page, application collection
    "850119012901150026ff00750895109102"              # report 1: 16 bytes to the device
    "850219012901150026ff0075089600049102"            # report 2: 1024 bytes to the device
    "850319012901150026ff00750895048102"              # report 3: 4 bytes to the host
    "850419012901150026ff00750895408102"              # report 4: 64 bytes to the host
    "c0")


class SimError(Exception):
    pass


# ---- descriptors and sysfs records --------------------------------------------------------

def device_descriptors(vid, pid, interface_class=LINK_INTERFACE, endpoints=((EP_IN, 2), (EP_OUT, 2))):
    """Device descriptor and configuration 1 (one interface) as the sysfs descriptors file."""
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, vid, pid, 0x0100, 1, 2, 3, 1)
    interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, len(endpoints), *interface_class, 0)
    eps = b"".join(struct.pack("<BBBBHB", 7, 5, address, attributes, MAX_PACKET, 0)
                   for address, attributes in endpoints)
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(interface) + len(eps), 1, 1, 0, 0x80, 250)
    return device + config + interface + eps


def usb_device_record(syspath, bus, devnum, vid, pid, strings, descriptors, driver="usb"):
    lines = [
        "P: " + syspath,
        "N: bus/usb/%03d/%03d" % (bus, devnum),
        "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_device", "E: DRIVER=" + driver,
        "E: DEVNAME=/dev/bus/usb/%03d/%03d" % (bus, devnum),
        "E: BUSNUM=%03d" % bus, "E: DEVNUM=%03d" % devnum,
        "E: PRODUCT=%x/%x/100" % (vid, pid),
        "A: busnum=%d\\n" % bus, "A: devnum=%d\\n" % devnum, "A: speed=480\\n",
        "A: bConfigurationValue=1\\n", "A: idVendor=%04x\\n" % vid, "A: idProduct=%04x\\n" % pid,
        "A: manufacturer=%s\\n" % strings.get(1, ""), "A: product=%s\\n" % strings.get(2, ""),
        "A: serial=%s\\n" % strings.get(3, ""),
        "H: descriptors=" + descriptors.hex(),
    ]
    return "\n".join(lines) + "\n\n"


def string_descriptor(strings, index, length):
    body = b"\x09\x04" if index == 0 else strings[index].encode("utf-16-le")
    return (bytes([2 + len(body), 3]) + body)[:length]


# ---- usbfs ----------------------------------------------------------------------------------

class Urb:
    __slots__ = ("data", "buffer", "endpoint", "length", "kind")

    def __init__(self, data, buffer, endpoint, length, kind):
        self.data, self.buffer, self.endpoint, self.length, self.kind = data, buffer, endpoint, length, kind


class Client:
    """One open file of a usbfs node: its URBs in flight and completed."""

    def __init__(self, handle):
        self.handle = handle
        self.in_flight = []
        self.reapable = collections.deque()

    @property
    def connected(self):
        try:
            return bool(self.handle.get_property("connected"))
        except Exception:  # noqa: BLE001 - a dead client object counts as gone
            return False


class UsbfsNode:
    """usbfs of one plugged-in device: claims, string descriptors, bulk URBs, reaping,
    discarding, stalls and disconnection.  `owner` (a ModuleUsb or None) carries the
    bulk endpoints.  All calls arrive on umockdev's thread and run under the bus lock."""

    def __init__(self, bus, devnode, strings, owner):
        self.bus = bus
        self.devnode = devnode
        self.strings = strings
        self.owner = owner
        self.clients = {}          # IoctlClient wrapper -> Client
        self.claim = None          # Client holding the link interface
        self.gone = False
        self.halted = set()
        self.handler = UMockdev.IoctlBase()
        self.handler.connect("handle-ioctl", self._on_ioctl)
        self.handler.connect("client-connected", self._on_open)

    # -- helpers --

    def _on_open(self, handler, handle):
        with self.bus.lock:
            if self.owner:
                self.owner.stats["opens"] += 1

    def _client(self, handle):
        client = self.clients.get(handle)
        if client is None:
            if len(self.clients) > 64:
                self.clients = {h: c for h, c in self.clients.items() if c.connected or c.reapable}
            client = self.clients[handle] = Client(handle)
        return client

    @staticmethod
    def _finish(client, urb, status, actual):
        urb.data.update(4, struct.pack("<i", status))
        urb.data.update(28, struct.pack("<i", actual))
        client.reapable.append(urb)

    def claim_holder(self):
        """The client holding the interface, once it is known to be still open."""
        if self.claim is not None and not self.claim.connected:
            self.claim = None
            if self.owner:
                self.owner.link_released(self, "host went away")
        return self.claim

    def unplug(self):
        self.gone = True
        self.claim = None

    def _end_gone(self, client):
        for urb in client.in_flight:
            self._finish(client, urb, -errno.ENODEV, 0)
        client.in_flight.clear()

    # -- ioctls --

    def _on_ioctl(self, handler, handle):
        with self.bus.lock:
            try:
                self._ioctl(handle)
            except Exception as exc:  # noqa: BLE001 - reported; the client's call fails
                self.bus.note("usbfs %s: %r" % (self.devnode, exc))
                handle.complete(-1, errno.EIO)
        return True

    def _ioctl(self, handle):
        request, arg = handle.get_request(), handle.get_arg()
        client = self._client(handle)
        if self.gone:
            self._end_gone(client)
            if request in (REAPURB, REAPURBNDELAY) and client.reapable:
                arg.resolve(0, 8).set_ptr(0, client.reapable.popleft().data)
                handle.complete(0, 0)
            else:
                handle.complete(-1, errno.ENODEV)
            return
        if request == GET_CAPABILITIES:
            arg.resolve(0, 4).update(0, struct.pack("<I", CAPABILITIES))
            handle.complete(0, 0)
        elif request == GETDRIVER:
            driver = self.owner.kernel_driver() if self.owner else None
            if driver:
                arg.resolve(0, 260).update(4, driver.encode() + b"\0")
                handle.complete(0, 0)
            else:
                handle.complete(-1, errno.ENODATA)
        elif request == CLAIMINTERFACE:
            self._claim(handle, client, struct.unpack("<I", bytes(arg.resolve(0, 4).retrieve()))[0])
        elif request == RELEASEINTERFACE:
            if self.claim is client:
                self.claim = None
                if self.owner:
                    self.owner.link_released(self, "interface released")
                    self.owner.stats["releases"] += 1
            handle.complete(0, 0)
        elif request == CLEAR_HALT:
            endpoint = struct.unpack("<I", bytes(arg.resolve(0, 4).retrieve()))[0] & 0xFF
            self.halted.discard(endpoint)
            if self.owner:
                self.owner.stats["clear_halt"].append(endpoint)
            handle.complete(0, 0)
        elif request in (RESET, SETINTERFACE, SETCONFIGURATION):
            handle.complete(0, 0)
        elif request == SUBMITURB:
            self._submit(handle, client, arg)
        elif request in (REAPURB, REAPURBNDELAY):
            self._reap(handle, client, arg)
        elif request == DISCARDURB:
            address = struct.unpack("<Q", bytes(arg.retrieve()))[0]
            urb = next((u for u in client.in_flight if u.data.client_addr == address), None)
            if urb is None:
                handle.complete(-1, errno.EINVAL)
                return
            client.in_flight.remove(urb)
            self._finish(client, urb, -errno.ENOENT, 0)
            if self.owner:
                self.owner.stats["discarded"] += 1
            handle.complete(0, 0)
        else:
            self.bus.note("usbfs %s: unhandled ioctl %#x" % (self.devnode, request))
            handle.complete(-1, errno.ENOTTY)

    def _claim(self, handle, client, interface):
        owner = self.owner
        if interface != 0 or owner is None:
            handle.complete(-1, errno.EINVAL if owner else errno.EBUSY)
            return
        holder = self.claim_holder()
        if holder is client:
            handle.complete(0, 0)
            return
        if holder is not None or owner.kernel_driver() or owner.usb_faults["claim_busy"]:
            owner.stats["claims_refused"] += 1
            handle.complete(-1, errno.EBUSY)
            return
        self.claim = client
        owner.stats["claims"] += 1
        owner.link_claimed(self)
        handle.complete(0, 0)

    def _submit(self, handle, client, arg):
        urb_data = arg.resolve(0, URB_SIZE)
        kind, endpoint, _status, _flags, _buffer, length = struct.unpack_from(
            "<BBxxiI4xQi", bytes(urb_data.retrieve()))
        buffer = urb_data.resolve(16, length) if length > 0 else None
        urb = Urb(urb_data, buffer, endpoint, length, kind)
        if kind == URB_TYPE_CONTROL:
            self._control(client, urb)
            handle.complete(0, 0)
            return
        if kind != URB_TYPE_BULK or self.owner is None or endpoint not in (EP_IN, EP_OUT):
            handle.complete(-1, errno.EINVAL)
            return
        holder = self.claim_holder()
        if holder is None and not self.owner.kernel_driver() and not self.owner.usb_faults["claim_busy"]:
            self.claim = holder = client          # usbfs claims on first use
            self.owner.link_claimed(self)
        if holder is not client:
            handle.complete(-1, errno.EBUSY)
            return
        self.owner.bulk(self, client, urb)
        handle.complete(0, 0)

    def _control(self, client, urb):
        setup = bytes(urb.buffer.retrieve()[:8]) if urb.buffer else b""
        if len(setup) == 8:
            request_type, request, value, _index, length = struct.unpack("<BBHHH", setup)
            index = value & 0xFF
            if request_type == 0x80 and request == 6 and value >> 8 == 3 and \
                    (index == 0 or index in self.strings):
                data = string_descriptor(self.strings, index, min(length, urb.length - 8))
                urb.buffer.update(8, data)
                self._finish(client, urb, 0, len(data))
                return
        self._finish(client, urb, -errno.EPIPE, 0)

    def _reap(self, handle, client, arg):
        if self.owner:
            self.owner.pump(self)
        if not client.reapable and self.owner and self.owner.link_node is self:
            # libusb polls while it waits; a short wait for the module's bytes keeps that cheap.
            self.bus.cond.wait(IDLE_REAP_WAIT_S)
            if not self.gone:
                self.owner.pump(self)
            else:
                self._end_gone(client)
        if not client.reapable:
            handle.complete(-1, errno.ENODEV if self.gone else errno.EAGAIN)
            return
        arg.resolve(0, 8).set_ptr(0, client.reapable.popleft().data)
        handle.complete(0, 0)

    def complete_in(self, client, urb, data):
        urb.buffer.update(0, data)
        client.in_flight.remove(urb)
        self._finish(client, urb, 0, len(data))


# ---- the family's kernel node -----------------------------------------------------------------

class KernelNode:
    """"/dev/halyard.%08X" of a module owned by the family's kernel driver, for one arrival of
    the module.  Every open is a connection to the module; reads take pending bytes of its
    stream (0 bytes when nothing is pending), writes feed it.  poll() on the node works by a
    doorbell byte kept in the node's pseudo-terminal while bytes are pending.  The node's path
    is the same at every arrival, so one handler (NodeHandler) serves them all."""

    def __init__(self, bus, owner, devnode):
        self.bus = bus
        self.owner = owner
        self.devnode = devnode
        self.sessions = {}         # IoctlClient wrapper -> UsbLink

    def link(self, handle):
        link = self.sessions.get(handle)
        if link is None:
            self.reap_closed()
            link = self.sessions[handle] = self.owner.open_link(self)
        return link

    def reap_closed(self):
        for handle, link in list(self.sessions.items()):
            if not Client(handle).connected:
                link.end("node closed")
                del self.sessions[handle]

    def pending(self):
        return any(link.tx for link in self.sessions.values())

    def ring(self):
        self.owner.node_handler.ring(self.pending())

    def read(self, handle):
        buffer = handle.get_arg()
        link = self.link(handle)
        self.owner.stats["node_reads"] += 1
        wanted = len(buffer.retrieve())
        if not link.tx or wanted == 0:
            if self.owner.usb_faults["node_efault"]:
                handle.complete(-1, errno.EFAULT)
            else:
                handle.complete(0, 0)
            return
        data = bytes(link.tx[:wanted])
        del link.tx[:len(data)]
        buffer.update(0, data)
        handle.complete(len(data), 0)
        self.ring()

    def write(self, handle):
        data = bytes(handle.get_arg().retrieve())
        link = self.link(handle)
        self.owner.stats["node_writes"] += 1
        self.owner.stats["node_bytes_in"] += len(data)
        handle.complete(len(data), 0)
        link.feed(data)
        self.ring()


class NodeHandler:
    """The handler attached once to a module's kernel-node path.  Opens, reads and writes go
    to the node of the module's current arrival; a file opened on an earlier arrival, or any
    file while the module is off the bus, gets ENODEV, as from a driver whose device left."""

    def __init__(self, bus, owner, devnode):
        self.bus = bus
        self.owner = owner
        self.devnode = devnode
        self.retired = set()       # clients of earlier arrivals
        self.pty = None
        self.bell = None
        self.drain = None
        self.rung = False
        self.handler = UMockdev.IoctlBase()
        self.handler.connect("client-connected", self._on_open)
        self.handler.connect("handle-read", self._on_read)
        self.handler.connect("handle-write", self._on_write)
        self.handler.connect("handle-ioctl", self._on_ioctl)

    # umockdev cannot add a node of the same name twice (it keeps the first one's
    # pseudo-terminal), so the node device stays in the test bed and only its /dev entry goes
    # and comes back with the module.

    def attach_doorbell(self, testbed):
        self.pty = os.readlink(testbed.get_root_dir() + self.devnode)
        self.bell = testbed.get_dev_fd(self.devnode)
        self.drain = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def show(self, testbed):
        entry = testbed.get_root_dir() + self.devnode
        if not os.path.lexists(entry):
            os.symlink(self.pty, entry)

    def hide(self, testbed):
        entry = testbed.get_root_dir() + self.devnode
        if os.path.lexists(entry):
            os.unlink(entry)

    def close(self):
        if self.drain is not None:
            os.close(self.drain)
            self.drain = None

    def ring(self, want):
        if want and not self.rung and self.bell is not None:
            os.write(self.bell, b"\0")
            self.rung = True
        elif not want and self.rung and self.drain is not None:
            select.select([self.drain], [], [], 1.0)
            try:
                os.read(self.drain, 1)
            except BlockingIOError:
                pass
            self.rung = False

    def retire(self, node):
        self.retired.update(node.sessions)
        if len(self.retired) > 256:
            self.retired = {h for h in self.retired if Client(h).connected}

    def _current(self, handle):
        node = self.owner.node
        return None if node is None or handle in self.retired else node

    def _on_open(self, handler, handle):
        with self.bus.lock:
            node = self._current(handle)
            if node is None:
                self.retired.add(handle)
            else:
                node.link(handle)

    def _on_read(self, handler, handle):
        with self.bus.lock:
            node = self._current(handle)
            if node is None:
                handle.complete(-1, errno.ENODEV)
            else:
                node.read(handle)
        return True

    def _on_write(self, handler, handle):
        with self.bus.lock:
            node = self._current(handle)
            if node is None:
                handle.complete(-1, errno.ENODEV)
            else:
                node.write(handle)
        return True

    def _on_ioctl(self, handler, handle):
        handle.complete(-1, errno.ENOTTY)
        return True


# ---- a module on the bus ----------------------------------------------------------------------

class UsbLink:
    """One connection of the host to a module (a claimed interface or an open kernel node):
    the ModuleSession and the bytes it has for the host."""

    def __init__(self, usb, carrier):
        self.usb = usb
        self.carrier = carrier
        self.tx = bytearray()
        self.dead = False
        self.session = ModuleSession(usb.module, self._write, self._close)

    def _write(self, data):
        if not self.dead:
            self.tx += data
            self.usb.bus.data_queued(self)

    def _close(self, reset):
        # A module cannot hang up a USB connection: its pipes fail until the host reopens.
        self.dead = True
        self.tx.clear()
        self.usb.module.event("link pipes failing (module ended the connection)")

    def feed(self, data):
        if not self.dead:
            self.session.feed(data)

    def end(self, reason):
        self.dead = True
        self.session.closed(reason)


USB_FAULTS = {
    # name: default; counts take N, "always" or "off"
    "stall_out": 0,        # the next N OUT transfers stall the endpoint (until CLEAR_HALT)
    "stall_in": 0,         # the same for IN transfers
    "timeout_out": 0,      # the next N OUT transfers are never taken (the host times out)
    "fail_out": 0,         # the next N OUT transfers end with a protocol error
    "fail_in": 0,          # the next N IN transfers end with a protocol error
    "claim_busy": False,   # claiming the link interface answers EBUSY
    "node_efault": False,  # an empty kernel-node read fails with EFAULT instead of 0 bytes
}
USB_COUNTS = ("stall_out", "stall_in", "timeout_out", "fail_out", "fail_in")


def new_stats():
    return {"plugs": 0, "unplugs": 0, "claims": 0, "claims_refused": 0, "releases": 0,
            "out_transfers": 0, "in_transfers": 0, "in_data_transfers": 0, "bytes_in": 0,
            "bytes_out": 0, "stalls": 0, "timeouts": 0, "failures": 0, "discarded": 0,
            "clear_halt": [], "out_sizes": collections.deque(maxlen=RECORDED_SIZES),
            "in_sizes": collections.deque(maxlen=RECORDED_SIZES),
            "in_data_sizes": collections.deque(maxlen=RECORDED_SIZES),
            "node_reads": 0, "node_writes": 0, "node_bytes_in": 0, "opens": 0}


class ModuleUsb:
    """A simulated module as a USB device (and, with node=on, its kernel node)."""

    def __init__(self, bus, module, slot, *, vid=HALYARD_VENDOR, pid=None, serial_string=None,
                 link_interface=True, node=False, plugged=True):
        self.bus = bus
        self.module = module
        self.slot = slot
        self.vid = vid
        self.pid = module.model if pid is None else pid
        self.fixed_serial_string = serial_string
        self.link_interface = link_interface
        self.node_mode = node
        self.start_plugged = plugged
        self.usb_faults = dict(USB_FAULTS)
        self.stats = new_stats()
        self.usbfs = None          # UsbfsNode while plugged in
        self.node = None           # KernelNode while plugged in with node=on
        self.node_handler = None   # NodeHandler, attached at the first arrival
        self.link = None           # UsbLink over libusb
        self.syspath = None
        self.devnum = None
        self.node_syspath = None

    @property
    def label(self):
        return self.module.label

    @property
    def serial_string(self):
        """The serial number the device reports: the one given, else the module's current one."""
        return "%08X" % self.module.serial if self.fixed_serial_string is None else self.fixed_serial_string

    @property
    def link_node(self):
        return self.usbfs

    def kernel_driver(self):
        return "halyard" if self.node_mode else None

    def strings(self):
        return {1: "Simulated Modules", 2: "Module %d" % self.module.model, 3: self.serial_string}

    # -- plugging (main thread, bus lock held; test bed calls are queued) --

    def plug(self):
        if self.usbfs is not None:
            return
        bus = self.bus
        self.devnum = bus.next_devnum()
        self.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d" % (bus.busnum, bus.busnum, self.slot)
        devnode = "/dev/bus/usb/%03d/%03d" % (bus.busnum, self.devnum)
        strings = self.strings()
        self.usbfs = UsbfsNode(bus, devnode, strings, self)
        interface = LINK_INTERFACE if self.link_interface else (0xFF, 0x00, 0x00)
        record = usb_device_record(self.syspath[len("/sys"):], bus.busnum, self.devnum, self.vid, self.pid,
                                   strings, device_descriptors(self.vid, self.pid, interface),
                                   driver="halyard" if self.node_mode else "usb")
        bus.queue_testbed(("attach", devnode, self.usbfs.handler))
        bus.queue_testbed(("add", record))
        if self.node_mode:
            node_path = NODE_PREFIX + "%08X" % self.module.serial
            self.node = KernelNode(bus, self, node_path)
            self.node_syspath = "/sys/devices/virtual/halyard/halyard.%08X" % self.module.serial
            node_record = "\n".join([
                "P: " + self.node_syspath[len("/sys"):], "N: " + node_path[len("/dev/"):],
                "E: SUBSYSTEM=halyard", "E: DEVNAME=" + node_path,
                "A: dev=240:%d\\n" % self.slot, "", ""])
            if self.node_handler is None:
                self.node_handler = NodeHandler(bus, self, node_path)
                bus.queue_testbed(("attach", node_path, self.node_handler.handler))
                bus.queue_testbed(("add", node_record))
                bus.queue_testbed(("doorbell", self.node_handler))
            else:
                bus.queue_testbed(("node-show", self.node_handler))
        self.stats["plugs"] += 1
        self.module.event("on the bus as %03d/%03d" % (bus.busnum, self.devnum))

    def unplug(self):
        if self.usbfs is None:
            return
        self.usbfs.unplug()
        self.bus.queue_testbed(("remove", self.syspath))
        self.usbfs = None
        self._end_link("unplugged")
        if self.node is not None:
            self.node_handler.retire(self.node)
            for link in self.node.sessions.values():
                link.end("unplugged")
            self.node.sessions.clear()
            self.node_handler.ring(False)
            self.bus.queue_testbed(("node-hide", self.node_handler))
            self.node = None
        self.stats["unplugs"] += 1
        self.module.event("off the bus")
        self.bus.cond.notify_all()

    # -- links --

    def open_link(self, carrier):
        self.module.event("link opened (%s)" % ("kernel node" if carrier is self.node else "libusb"))
        return UsbLink(self, carrier)

    def link_claimed(self, usbfs):
        self._end_link("claimed again")
        self.link = self.open_link(usbfs)

    def link_released(self, usbfs, reason):
        if usbfs is self.usbfs:
            self._end_link(reason)

    def _end_link(self, reason):
        if self.link is not None:
            self.link.end(reason)
            self.link = None

    def links(self):
        links = [self.link] if self.link else []
        if self.node is not None:
            links += list(self.node.sessions.values())
        return links

    # -- bulk transfers (umockdev's thread, bus lock held) --

    def _take(self, name):
        value = self.usb_faults[name]
        if value == 0:
            return False
        if value > 0:
            self.usb_faults[name] = value - 1
        return True

    def bulk(self, usbfs, client, urb):
        link = self.link
        if urb.endpoint == EP_OUT:
            self.stats["out_transfers"] += 1
            self.stats["out_sizes"].append(urb.length)
            if urb.endpoint in usbfs.halted or self._take("stall_out"):
                usbfs.halted.add(urb.endpoint)
                self.stats["stalls"] += 1
                usbfs._finish(client, urb, -errno.EPIPE, 0)
            elif link is None or link.dead or self._take("fail_out"):
                self.stats["failures"] += 1
                usbfs._finish(client, urb, -errno.EPROTO, 0)
            elif self._take("timeout_out"):
                self.stats["timeouts"] += 1
                client.in_flight.append(urb)       # never taken: libusb discards it
            else:
                data = bytes(urb.buffer.retrieve()) if urb.buffer else b""
                self.stats["bytes_in"] += len(data)
                usbfs._finish(client, urb, 0, len(data))
                link.feed(data)
                self.pump(usbfs)
            return
        self.stats["in_transfers"] += 1
        self.stats["in_sizes"].append(urb.length)
        if urb.endpoint in usbfs.halted or self._take("stall_in"):
            usbfs.halted.add(urb.endpoint)
            self.stats["stalls"] += 1
            usbfs._finish(client, urb, -errno.EPIPE, 0)
        elif link is None or link.dead or self._take("fail_in"):
            self.stats["failures"] += 1
            usbfs._finish(client, urb, -errno.EPROTO, 0)
        else:
            client.in_flight.append(urb)
            self.pump(usbfs)

    def pump(self, usbfs):
        """Hands the module's pending bytes to the IN transfers waiting for them."""
        link = self.link
        client = usbfs.claim
        if link is None or client is None or not link.tx:
            return
        for urb in [u for u in client.in_flight if u.endpoint == EP_IN]:
            if not link.tx:
                break
            data = bytes(link.tx[:urb.length])
            del link.tx[:len(data)]
            self.stats["in_data_transfers"] += 1
            self.stats["in_data_sizes"].append(len(data))
            self.stats["bytes_out"] += len(data)
            usbfs.complete_in(client, urb, data)

    def describe(self):
        stats = dict(self.stats)
        for name in ("out_sizes", "in_sizes", "in_data_sizes"):
            stats[name] = list(stats[name])
        stats["clear_halt"] = list(stats["clear_halt"])
        return {
            "serial": self.label, "vid": self.vid, "pid": self.pid, "serial_string": self.serial_string,
            "plugged": self.usbfs is not None, "devnum": self.devnum, "slot": self.slot,
            "node": NODE_PREFIX + "%08X" % self.module.serial if self.node_mode else None,
            "link_interface": self.link_interface, "usb_faults": dict(self.usb_faults),
            "usb": stats, "module": self.module.describe(),
        }


# ---- the i.MX boot ROM --------------------------------------------------------------------------

class HidrawNode:
    """The hidraw node of the boot ROM.  Reports written by the host go to the ROM; its replies
    are queued as input reports, each announced by one doorbell byte in the node's
    pseudo-terminal so that poll() wakes (hidapi waits with poll before reading)."""

    def __init__(self, bus, rom_usb, devnode):
        self.bus = bus
        self.rom_usb = rom_usb
        self.devnode = devnode
        self.queue = collections.deque()
        self.parked = None
        self.gone = False
        self.bell = None
        self.drain = None
        self.handler = UMockdev.IoctlBase()
        self.handler.connect("handle-ioctl", self._on_ioctl)
        self.handler.connect("handle-write", self._on_write)
        self.handler.connect("handle-read", self._on_read)

    def attach_doorbell(self, testbed):
        pty = os.readlink(testbed.get_root_dir() + self.devnode)
        self.bell = testbed.get_dev_fd(self.devnode)
        self.drain = os.open(pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def close(self):
        if self.drain is not None:
            os.close(self.drain)
            self.drain = None

    def push(self, report):
        if self.parked is not None:
            handle, self.parked = self.parked, None
            self._deliver(handle, report)
            return
        self.queue.append(report)
        if self.bell is not None:
            os.write(self.bell, b"\0")

    @staticmethod
    def _deliver(handle, report):
        buffer = handle.get_arg()
        count = min(len(report), len(buffer.retrieve()))
        buffer.update(0, report[:count])
        handle.complete(count, 0)

    def _on_read(self, handler, handle):
        with self.bus.lock:
            if self.gone:
                handle.complete(-1, errno.ENODEV)
            elif not self.queue:
                self.parked = handle       # a blocking read: answered by the next report
            else:
                report = self.queue.popleft()
                if self.drain is not None:
                    select.select([self.drain], [], [], 1.0)
                    try:
                        os.read(self.drain, 1)
                    except BlockingIOError:
                        pass
                self._deliver(handle, report)
        return True

    def _on_write(self, handler, handle):
        with self.bus.lock:
            data = bytes(handle.get_arg().retrieve())
            if self.gone:
                handle.complete(-1, errno.ENODEV)
                return True
            handle.complete(len(data), 0)
            for report in self.rom_usb.host_report(data):
                self.push(report)
        return True

    def _on_ioctl(self, handler, handle):
        request = handle.get_request()
        if request == HIDIOCGRDESCSIZE:
            handle.get_arg().resolve(0, 4).update(0, struct.pack("<I", len(IMX_REPORT_DESCRIPTOR)))
            handle.complete(0, 0)
        elif request == HIDIOCGRDESC:
            handle.get_arg().resolve(4, len(IMX_REPORT_DESCRIPTOR)).update(0, IMX_REPORT_DESCRIPTOR)
            handle.complete(0, 0)
        elif request == HIDIOCGRAWINFO:
            handle.get_arg().resolve(0, 8).update(0, struct.pack("<Ihh", 3, IMX_VENDOR, IMX_PRODUCT))
            handle.complete(0, 0)
        else:
            handle.complete(-1, errno.EINVAL)
        return True


class ImxRomUsb:
    """The boot ROM as a HID device; after the jump, the live loader as a module."""

    def __init__(self, bus, slot, loader, settings, boot_ms=DEFAULT_IMX_BOOT_MS):
        self.bus = bus
        self.slot = slot
        self.rom = imx_sdp.SdpRom(settings, hid=True)
        self.loader = loader       # ModuleUsb of the live loader, plugged after the jump
        self.boot_ms = boot_ms
        self.node = None
        self.syspath = None
        self.syspaths = []
        self.devnum = None
        self.reports_in = collections.Counter()
        self.report_sizes = collections.deque(maxlen=RECORDED_SIZES)
        self.bad_reports = 0
        self.plugs = 0
        if loader is not None:
            self._reset_into_the_rom(loader.module)

    def _reset_into_the_rom(self, module):
        """The live loader's reset call resets the chip: without firmware that starts, it comes
        back in its boot ROM, and the live loader is gone until the ROM is told to start it again."""
        restart = module.restart

        def chip_restart(reason, delay_ms, after):
            if reason != "reset":
                return restart(reason, delay_ms, after)
            module.stats["restarts"] += 1
            module.event("chip reset for %d ms: back in the boot ROM" % delay_ms)
            module.route_to_me = 0
            module._take_offline()
            self.bus.schedule(delay_ms / 1000.0, self.power_on)
            return None
        module.restart = chip_restart

    def plug(self):
        if self.node is not None:
            return
        bus = self.bus
        self.devnum = bus.next_devnum()
        # Each arrival gets new numbers, as from the kernel: a node path is never reused.
        number = self.plugs
        hidraw = "hidraw%d" % number
        usb = "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d" % (bus.busnum, bus.busnum, self.slot)
        self.syspath = "/sys" + usb
        hid_name = "0003:%04X:%04X.%04X" % (IMX_VENDOR, IMX_PRODUCT, number + 1)
        hid = "%s/%d-%d:1.0/%s" % (usb, bus.busnum, self.slot, hid_name)
        # umockdev removes a device's own links only: children go first, deepest first.
        self.syspaths = ["/sys%s/hidraw/%s" % (hid, hidraw), "/sys" + hid,
                         "/sys%s/%d-%d:1.0" % (usb, bus.busnum, self.slot), self.syspath]
        self.node = HidrawNode(bus, self, "/dev/" + hidraw)
        record = "\n".join([
            "P: " + usb, "N: bus/usb/%03d/%03d" % (bus.busnum, self.devnum),
            "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_device",
            "E: DEVNAME=/dev/bus/usb/%03d/%03d" % (bus.busnum, self.devnum),
            "E: BUSNUM=%03d" % bus.busnum, "E: DEVNUM=%03d" % self.devnum,
            "A: idVendor=%04x\\n" % IMX_VENDOR, "A: idProduct=%04x\\n" % IMX_PRODUCT,
            "A: manufacturer=NXP\\n", "A: product=SE Blank\\n", "A: bcdDevice=0001\\n",
            "A: busnum=%d\\n" % bus.busnum, "A: devnum=%d\\n" % self.devnum,
            "H: descriptors=" + device_descriptors(IMX_VENDOR, IMX_PRODUCT, (3, 0, 0), ((0x81, 3),)).hex(),
            "",
            "P: %s/%d-%d:1.0" % (usb, bus.busnum, self.slot),
            "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_interface", "E: DRIVER=usbhid",
            "A: bInterfaceNumber=00\\n", "A: bInterfaceClass=03\\n",
            "",
            "P: " + hid, "E: SUBSYSTEM=hid", "E: DRIVER=hid-generic",
            "E: HID_ID=0003:0000%04X:0000%04X" % (IMX_VENDOR, IMX_PRODUCT),
            "E: HID_NAME=NXP SE Blank", "E: HID_UNIQ=",
            "H: report_descriptor=" + IMX_REPORT_DESCRIPTOR.hex(),
            "",
            "P: %s/hidraw/%s" % (hid, hidraw), "N: " + hidraw, "E: SUBSYSTEM=hidraw",
            "E: DEVNAME=/dev/" + hidraw, "A: dev=243:%d\\n" % number,
            "L: device=../../../" + hid_name,
            "", ""])
        bus.queue_testbed(("attach", "/dev/" + hidraw, self.node.handler))
        bus.queue_testbed(("add", record))
        bus.queue_testbed(("doorbell", self.node))
        self.plugs += 1

    def unplug(self):
        if self.node is None:
            return
        self.node.gone = True
        if self.node.parked is not None:
            handle, self.node.parked = self.node.parked, None
            handle.complete(-1, errno.ENODEV)
        for syspath in self.syspaths:
            self.bus.queue_testbed(("remove", syspath))
        self.bus.queue_testbed(("close-node", self.node))
        self.node = None

    def host_report(self, data):
        """One output report from the host; returns the input reports it causes."""
        if not data:
            self.bad_reports += 1
            return []
        report_id, payload = data[0], data[1:]
        self.reports_in[report_id] += 1
        self.report_sizes.append(len(data))
        was_jumped = self.rom.jumped
        if report_id == 1:
            replies = self.rom.command(payload)
        elif report_id == 2:
            replies = self.rom.data(payload)
        else:
            self.bad_reports += 1
            replies = []
        if self.rom.jumped and not was_jumped:
            self.bus.schedule(self.boot_ms / 1000.0, self._boot_loader)
        # Raw bytes (a banner) have no report over USB.
        return [bytes([rid]) + payload for rid, payload in replies if rid != imx_sdp.RAW]

    def _boot_loader(self):
        self.unplug()
        if self.loader is not None:
            module = self.loader.module
            if not module.online:   # started again after a chip reset: a fresh live loader
                module.online = True
                module.mode = MODE_LOADER
                module._transfer_reset()
            module.serial = parse_serial(module.label)   # a live loader has no identity of its own
            self.loader.module.event("live loader started at %s" % (
                ", ".join("%08X" % a for a in self.rom.jumps)))
            self.loader.plug()

    def power_on(self):
        """The chip starts again in its boot ROM (memory kept); the live loader goes away."""
        if self.loader is not None:
            self.loader.unplug()
        self.unplug()
        self.rom.reset()
        self.plug()

    def describe(self):
        state = self.rom.state()
        state.update({"plugged": self.node is not None, "plugs": self.plugs,
                      "hidraw": self.node.devnode if self.node else None,
                      "reports_in": {str(k): v for k, v in self.reports_in.items()},
                      "report_sizes": list(self.report_sizes), "bad_reports": self.bad_reports,
                      "loader": self.loader.label if self.loader else None})
        return state


# ---- the bus --------------------------------------------------------------------------------------

class UsbBus(ModuleFace):
    def __init__(self, config, verbose=False):
        self.config = config
        self.verbose = verbose
        self.lock = threading.RLock()
        self.cond = threading.Condition(self.lock)
        self.timers = []
        self.timer_seq = 0
        self.testbed_ops = collections.deque()
        self.running = True
        self.busnum = 1
        self.devnum = 1
        self.log = PacketLog(config.get("packet_log"))
        self.modules = []          # ModuleUsb in slot order
        self.by_label = {}
        self.imx = None
        self.wake_r, self.wake_w = socket.socketpair()
        self.wake_r.setblocking(False)
        self.wake_w.setblocking(False)
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        self.control = None
        self.control_requests = BusControl(self)
        self._build(config)

    # -- configuration --

    def _build(self, config):
        slot = 0
        for entry in config.get("modules", []):
            slot += 1
            self._add_module(entry, slot)
        imx = config.get("imx")
        if imx is not None:
            slot += 1
            loader_entry = {"serial": imx.get("loader_serial", LIVE_LOADER_SERIAL),
                            "model": imx.get("loader_model", 19), "start_in_loader": True,
                            "plugged": False}
            for key in ("uid", "version", "build", "load_mode", "reboot_ms", "heartbeat_ms"):
                if key in imx:
                    loader_entry[key] = imx[key]
            loader = self._add_module(loader_entry, slot + 1)
            settings = imx_sdp.Settings()
            for key, value in (imx.get("set") or {}).items():
                settings.apply(key, str(value))
            self.imx = ImxRomUsb(self, slot, loader, settings, int(imx.get("boot_ms", DEFAULT_IMX_BOOT_MS)))
        if not self.modules and self.imx is None:
            raise SimError("nothing on the bus: give --module or --imx")

    MODULE_KEYS = ("serial", "model", "address", "version", "build", "uid", "start_in_loader")
    USB_KEYS = ("vid", "pid", "serial_string", "link_interface", "node", "plugged", "faults")

    def _add_module(self, entry, slot):
        unknown = set(entry) - set(self.MODULE_KEYS) - set(self.USB_KEYS) - set(SETTINGS) \
            - set(USB_FAULTS) - set(Faults().as_dict())
        if unknown:
            raise SimError("unknown module keys: %s" % ", ".join(sorted(unknown)))
        if "serial" not in entry:
            raise SimError("a module needs a serial number")
        settings = {k: v for k, v in entry.items() if k in SETTINGS}
        for name, value in self.config.get("defaults", {}).items():
            settings.setdefault(name, value)
        try:
            module = HalyardModule(
                entry["serial"], int(entry.get("model", 19)), int(entry.get("address", 2)),
                entry.get("version", "1.0.0"), int(entry.get("build", 1000)),
                uid=entry.get("uid"), start_in_loader=bool(entry.get("start_in_loader", False)),
                log=self.log, face=self, **settings)
        except (KeyError, ValueError) as exc:
            raise SimError("module %s: %s" % (entry.get("serial"), exc))
        module.dump_dir = self.config.get("dump_dir")
        if module.label in self.by_label:
            raise SimError("serial number %s used twice" % module.label)
        usb = ModuleUsb(self, module, slot,
                        vid=int(entry.get("vid", HALYARD_VENDOR)),
                        pid=int(entry["pid"]) if "pid" in entry else None,
                        serial_string=entry.get("serial_string"),
                        link_interface=bool(entry.get("link_interface", True)),
                        node=bool(entry.get("node", False)),
                        plugged=bool(entry.get("plugged", True)))
        faults = dict(entry.get("faults") or {})
        faults.update({k: v for k, v in entry.items() if k in USB_FAULTS or k in Faults().as_dict()})
        for name, value in faults.items():
            self.set_fault(usb, name, value)
        self.modules.append(usb)
        self.by_label[module.label] = usb
        return usb

    def set_fault(self, usb, name, value):
        if name in USB_FAULTS:
            current = USB_FAULTS[name]
            text = str(value).lower()
            if isinstance(current, bool):
                if text not in ("1", "on", "true", "yes", "0", "off", "false", "no"):
                    raise ValueError("not a switch value: %s" % value)
                usb.usb_faults[name] = text in ("1", "on", "true", "yes")
            elif text == "always":
                usb.usb_faults[name] = -1
            elif text == "off":
                usb.usb_faults[name] = 0
            else:
                usb.usb_faults[name] = int(text, 0)
        else:
            usb.module.set_value(name, value)

    # -- ModuleFace --

    def schedule(self, delay_s, fn):
        with self.lock:
            self.timer_seq += 1
            heapq.heappush(self.timers, (time.monotonic() + delay_s, self.timer_seq, fn))
        self._wake()

    def go_offline(self, module):
        self.by_label[module.label].unplug()

    def go_online(self, module):
        self.by_label[module.label].plug()

    def close_sessions(self, module, reset=True):
        usb = self.by_label[module.label]
        links = usb.links()
        for link in links:
            link.session.close(reset)
        return len(links)

    # -- helpers --

    def note(self, text):
        if self.verbose:
            print("usb_modules: %s" % text, file=sys.stderr, flush=True)
        self.log.write("USB", "EV", text)

    def next_devnum(self):
        self.devnum += 1
        if self.devnum > 127:
            self.busnum += 1
            self.devnum = 2
        return self.devnum

    def queue_testbed(self, op):
        self.testbed_ops.append(op)
        self._wake()

    def data_queued(self, link):
        self.cond.notify_all()
        carrier = link.carrier
        if isinstance(carrier, KernelNode):
            carrier.ring()

    def _wake(self):
        try:
            self.wake_w.send(b"\0")
        except (BlockingIOError, OSError):
            pass

    def _run_testbed_ops(self):
        """Test bed changes, made without the bus lock: umockdev's thread may be waiting
        for it in a handler."""
        while True:
            with self.lock:
                if not self.testbed_ops:
                    return
                op = self.testbed_ops.popleft()
            kind = op[0]
            if kind == "attach":
                self.testbed.attach_ioctl(op[1], op[2])
            elif kind == "add":
                if not self.testbed.add_from_string(op[1]):
                    raise SimError("umockdev refused a device record")
            elif kind == "remove":
                if UMockdev.in_mock_environment():
                    self.testbed.uevent(op[1], "remove")
                self.testbed.remove_device(op[1])
            elif kind == "doorbell":
                op[1].attach_doorbell(self.testbed)
            elif kind == "node-show":
                op[1].show(self.testbed)
            elif kind == "node-hide":
                op[1].hide(self.testbed)
            elif kind == "close-node":
                op[1].close()

    # -- control channel --

    def open_control(self, path):
        if os.path.exists(path):
            os.unlink(path)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(path)
        sock.listen(4)
        sock.setblocking(False)
        self.control = sock
        self.control_path = path

    def _serve_control(self):
        try:
            conn, _ = self.control.accept()
        except (BlockingIOError, InterruptedError):
            return
        conn.settimeout(5.0)
        buffer = b""
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                buffer += chunk
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    with self.lock:
                        answer = self.command(line.decode("utf-8", "replace").strip())
                    self._run_testbed_ops()
                    conn.sendall((json.dumps(answer) + "\n").encode())
        except OSError:
            pass
        finally:
            conn.close()

    def command(self, line):
        words = line.split()
        if not words:
            return {"ok": False, "error": "empty request"}
        try:
            result = self.control_requests.run(words[0].lower(), words[1:])
        except (KeyError, ValueError, IndexError, SimError) as exc:
            return {"ok": False, "error": str(exc.args[0] if exc.args else exc)}
        except Exception as exc:  # noqa: BLE001 - a fault of the simulator, told to the caller
            self.note("request %r failed: %r" % (line, exc))
            return {"ok": False, "error": "simulator fault: %r" % exc}
        return {"ok": True, "result": result}

    def describe(self):
        return {"modules": [usb.describe() for usb in self.modules],
                "imx": self.imx.describe() if self.imx else None}

    # -- main loop --

    def start(self):
        with self.lock:
            for usb in self.modules:
                if usb.start_plugged:
                    usb.plug()
            if self.imx is not None:
                self.imx.plug()
        self._run_testbed_ops()

    def ready_record(self):
        return {"event": "ready", "pid": os.getpid(), "umockdev_dir": self.root,
                "control": getattr(self, "control_path", None),
                "uevents": UMockdev.in_mock_environment(),
                "modules": [{"serial": u.label, "vid": u.vid, "pid": u.pid, "serial_string": u.serial_string,
                             "devnum": u.devnum, "plugged": u.usbfs is not None,
                             "node": u.node_mode} for u in self.modules],
                "imx": {"hidraw": self.imx.node.devnode, "loader": self.imx.loader.label} if self.imx else None}

    def _poll_sessions(self):
        """Runs due timers and heartbeats; returns how long the loop may sleep."""
        wake = time.monotonic() + MAX_WAIT_S
        with self.lock:
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                _, _, fn = heapq.heappop(self.timers)
                fn()
            if self.timers:
                wake = min(wake, self.timers[0][0])
            for usb in self.modules:
                if usb.node is not None:
                    usb.node.reap_closed()
                if usb.usbfs is not None:
                    usb.usbfs.claim_holder()
                for link in usb.links():
                    due = link.session.poll()
                    if due is not None:
                        wake = min(wake, due)
        self._run_testbed_ops()
        return max(0.0, wake - time.monotonic())

    def run(self, child=None):
        signal.set_wakeup_fd(self.wake_w.fileno(), warn_on_full_buffer=False)

        def stop(signum, frame):
            self.running = False
        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        watched = [self.wake_r] + ([self.control] if self.control else [])
        while self.running:
            if child is not None and child.poll() is not None:
                break
            readable, _, _ = select.select(watched, [], [], self._poll_sessions())
            if self.wake_r in readable:
                try:
                    while self.wake_r.recv(4096):
                        pass
                except (BlockingIOError, OSError):
                    pass
            if self.control in readable:
                self._serve_control()

    def shutdown(self):
        with self.lock:
            for usb in self.modules:
                try:
                    usb.module.dump()
                except OSError as exc:
                    print("dump of %s failed: %s" % (usb.label, exc), file=sys.stderr)
            for usb in self.modules:
                usb.unplug()
                if usb.node_handler is not None:
                    self.queue_testbed(("close-node", usb.node_handler))
            if self.imx is not None:
                self.imx.unplug()
        self._run_testbed_ops()
        if self.control is not None:
            self.control.close()
            try:
                os.unlink(self.control_path)
            except OSError:
                pass
        self.log.close()
        self.release()

    def release(self):
        """Drops the test bed: umockdev removes its directory."""
        self.testbed = None


class BusControl:
    """The control channel's requests over a `UsbBus`: verb -> handler.

    A handler returns the request's result or raises for an answer that is not ok. All but ping,
    list, quit and imx name one module by serial number.
    """

    def __init__(self, bus):
        self.bus = bus
        self.general = {
            "ping": self.ping,
            "list": self.list,
            "quit": self.quit,
            "imx": self.imx,
        }
        self.per_module = {
            "state": self.state,
            "set": self.set,
            "unplug": self.unplug,
            "plug": self.plug,
            "send": self.send,
            "reset-stats": self.reset_stats,
            "dump": self.dump,
        }

    def run(self, verb, args):
        if verb in self.general:
            return self.general[verb](args)
        if not args:
            raise ValueError("%s needs a module serial number" % verb)
        usb = self.module_usb(args[0])
        handler = self.per_module.get(verb)
        if handler is None:
            raise ValueError("unknown request %s" % verb)
        return handler(usb, args)

    def module_usb(self, name):
        usb = self.bus.by_label.get("%08X" % parse_serial(name))
        if usb is None:
            raise KeyError("no module %s" % name)
        return usb

    def ping(self, args):
        return "pong"

    def list(self, args):
        return self.bus.describe()

    def quit(self, args):
        self.bus.running = False
        return None

    def imx(self, args):
        imx = self.bus.imx
        if imx is None:
            raise ValueError("no i.MX boot ROM on this bus")
        if not args or args[0] == "state":
            return imx.describe()
        if args[0] == "set" and len(args) >= 2:
            imx.rom.settings.apply(args[1], " ".join(args[2:]) or "on")
            return None
        if args[0] == "read" and len(args) == 3:
            return imx.rom.memory.read(int(args[1], 0), int(args[2], 0)).hex()
        if args[0] == "power-on":
            imx.power_on()
            return None
        raise ValueError("imx state | set KEY VALUE | read ADDR COUNT | power-on")

    def state(self, usb, args):
        return usb.describe()

    def set(self, usb, args):
        if len(args) != 3:
            raise ValueError("set SERIAL NAME VALUE")
        self.bus.set_fault(usb, args[1], args[2])
        usb.module.event("set %s %s" % (args[1], args[2]))
        return None

    def unplug(self, usb, args):
        usb.module.vanish("unplugged by control")
        return None

    def plug(self, usb, args):
        if usb.module.vanished:
            usb.module.revive()
        else:
            usb.plug()
        return None

    def send(self, usb, args):
        data = bytes.fromhex("".join(args[1:]))
        links = [link for link in usb.links() if not link.dead]
        for link in links:
            link.session.send_raw(data)
        return len(links)

    def reset_stats(self, usb, args):
        usb.stats = new_stats()
        return None

    def dump(self, usb, args):
        return usb.module.dump()


# ---- command line -------------------------------------------------------------------------------

def parse_value(key, value):
    if key == "uid":
        return [int(w, 0) for w in value.split(":")]
    if key in ("model", "address", "build", "vid", "pid", "boot_ms", "loader_model"):
        return int(value, 0)
    if key in ("start_in_loader", "link_interface", "node", "plugged"):
        lowered = value.lower()
        if lowered not in ("1", "true", "on", "yes", "0", "false", "off", "no"):
            raise SimError("%s: not a switch value: %s" % (key, value))
        return lowered in ("1", "true", "on", "yes")
    return value


def parse_pairs(text):
    """"serial=0F5849A1,model=19,uid=1:2:3:4" -> dict."""
    result = {}
    for item in text.split(","):
        if not item.strip():
            continue
        if "=" not in item:
            raise SimError("expected KEY=VALUE, got %r" % item)
        key, value = (part.strip() for part in item.split("=", 1))
        result[key] = parse_value(key, value)
    return result


def build_config(args):
    config = {}
    if args.config:
        with open(args.config) as f:
            config = json.load(f)
    config.setdefault("modules", [])
    config["modules"] += [parse_pairs(text) for text in args.module]
    if args.imx is not None:
        imx = parse_pairs(args.imx)
        sets = {}
        for key in list(imx):
            if key.startswith("rom."):
                sets[key[4:].replace("_", "-")] = imx.pop(key)
        imx["set"] = sets
        config["imx"] = imx
    for key in ("packet_log", "dump_dir"):
        value = getattr(args, key)
        if value is not None:
            config[key] = value
    if args.heartbeat_ms is not None:
        config.setdefault("defaults", {})["heartbeat_ms"] = args.heartbeat_ms
    return config


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    command = []
    if "--" in argv:
        at = argv.index("--")
        argv, command = argv[:at], argv[at + 1:]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config", help="JSON configuration file")
    parser.add_argument("--module", action="append", default=[], metavar="KEY=VALUE,...",
                        help="a module on the bus (serial=, model=, vid=, pid=, serial_string=, node=, ...)")
    parser.add_argument("--imx", nargs="?", const="", metavar="KEY=VALUE,...",
                        help="the i.MX boot ROM (loader_model=, uid=, boot_ms=, rom.KEY=VALUE)")
    parser.add_argument("--control", help="Unix socket of the control channel")
    parser.add_argument("--packet-log", help="file receiving one line per packet and event")
    parser.add_argument("--dump-dir", help="directory receiving what the modules were sent")
    parser.add_argument("--heartbeat-ms", type=int, help="heartbeat period of every module")
    parser.add_argument("--timeout", type=float, default=120.0, help="time limit of COMMAND (s)")
    parser.add_argument("--verbose", action="store_true", help="log unusual requests on stderr")
    args = parser.parse_args(argv)
    run_ahead_of_the_host()
    try:
        bus = UsbBus(build_config(args), verbose=args.verbose)
        if args.control:
            bus.open_control(args.control)
        bus.start()
    except (SimError, OSError, ValueError) as exc:
        print("usb_modules: %s" % exc, file=sys.stderr)
        return 2
    if not command:
        print(json.dumps(bus.ready_record()), flush=True)
        try:
            bus.run()
        finally:
            bus.shutdown()
        return 0
    child = subprocess.Popen(command, env=program_env(bus.root))
    deadline = time.monotonic() + args.timeout

    def expire():
        if child.poll() is None and time.monotonic() >= deadline:
            child.kill()
    bus.schedule(args.timeout, expire)
    try:
        bus.run(child)
    finally:
        if child.poll() is None:
            child.kill()
        status = child.wait()
        bus.shutdown()
    return status


if __name__ == "__main__":
    sys.exit(main())
