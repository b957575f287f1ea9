"""Module side of the Halyard packet protocol, free of any transport.

A `HalyardModule` holds one simulated module: identity, system entity, the
upgrade entity with the memory it has received, the routing of a router module
and the fault switches.  A `ModuleSession` is one byte-stream connection to the
module at the end of a link: it parses the host's frames, answers them, sends
heartbeats and checks their replies.  Whatever carries the bytes (TCP here, USB
bulk endpoints later) implements `ModuleFace` and feeds the session.

Everything here runs on one thread: the face calls `feed`, `poll` and the timers
it was asked to schedule from its own loop.
"""

import hashlib
import json
import os
import re
import threading
import time
from collections import deque

MAX_DATA = 28

ADDR_MAGIC = 0xAD
ADDR_LINK = 0xAF
LINK_STOP = 0x00
LINK_START = 0x01

CMD_HEARTBEAT = 0x00
CMD_SYSTEM = 0x03
CMD_BUILD = 0x49
BUILD_QUERY = 0xFF
CMD_UPGRADE = 0x5F

UPGRADE_INIT = 0
UPGRADE_DATA = 1
UPGRADE_LOAD = 2
UPGRADE_PREPARE = 3
UPGRADE_SUM = 4
UPGRADE_WRITE = 5
UPGRADE_REBOOT = 6
UPGRADE_STATUS = 7
UPGRADE_MAX_DATA = 26

# Status bytes of UPGRADE_STATUS replies (0 = success; the host only tests for 0).
STATUS_OK = 0
STATUS_NOT_INITIALISED = 1
STATUS_BAD_REQUEST = 2
STATUS_INJECTED_FAILURE = 3
STATUS_WRONG_MODE = 4

OPTION_MASK = 0x3F
OPTION_GET = 0x40
OPTION_SET = 0x80
REPLY_SET = 0xC0
INDEX_MASK = 0x1F
SPECIFIER_ERROR = 0x80

SYS_MODULE = 1
SYS_ROUTER = 2
SYS_VERSION = 7
SYS_MODEL = 8
SYS_SERIAL = 9
SYS_RESET = 11
SYS_ROUTE_TO_ME = 20
SYS_UNIQUE_ID = 39

ERR_INDEX_RANGE = 26
ERR_SHORT_COMMAND = 27
ERR_INVALID_ENTITY = 28
ERR_INVALID_OPTION = 29

MODE_FIRMWARE = "firmware"   # running its firmware
MODE_UPGRADE = "upgrade"     # after INIT: receiving the loader
MODE_LOADER = "loader"       # running the loader: receiving firmware

LOAD_ANSWER = "answer"
LOAD_RESTART = "restart"
LOAD_RESTART_ANNOUNCE = "restart-announce"
LOAD_MODES = (LOAD_ANSWER, LOAD_RESTART, LOAD_RESTART_ANNOUNCE)

ALWAYS = -1

# A firmware image may carry this text; after REBOOT the module reports its build and version,
# and, when the text names one, answers under that serial number from then on (a live loader
# that started a device's own firmware).
FIRMWARE_INFO = re.compile(rb"FWINFO build=(\d{1,10}) version=(\d+)\.(\d+)\.(\d+)(?: serial=([0-9A-Fa-f]{8}))?")


def pack_version(major, minor, patch):
    return ((major & 0xF) << 28) | ((minor & 0xF) << 24) | (patch & 0xFFFFFF)


def unpack_version(word):
    return (word >> 28) & 0xF, (word >> 24) & 0xF, word & 0xFFFFFF


def parse_version(value):
    """Packed version word from an int, "0x21000005" or "2.1.5"."""
    if isinstance(value, int):
        return value & 0xFFFFFFFF
    text = str(value).strip()
    if re.fullmatch(r"\d+\.\d+\.\d+", text):
        major, minor, patch = (int(p) for p in text.split("."))
        if major > 15 or minor > 15 or patch > 0xFFFFFF:
            raise ValueError("version out of range: %s" % text)
        return pack_version(major, minor, patch)
    return int(text, 0) & 0xFFFFFFFF


def version_text(word):
    return "%d.%d.%d" % unpack_version(word)


def parse_serial(value):
    if isinstance(value, int):
        return value & 0xFFFFFFFF
    text = str(value).strip()
    if text.lower().startswith("0x"):
        return int(text, 16)
    return int(text, 16) & 0xFFFFFFFF


def be32(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "big")


def frame(address, data):
    """Wire bytes of one packet: address, length, data."""
    data = bytes(data)
    if len(data) > MAX_DATA:
        raise ValueError("packet data longer than %d bytes" % MAX_DATA)
    return bytes([address, len(data)]) + data


def hexbytes(data):
    return " ".join("%02X" % b for b in data)


class FrameParser:
    """Splits the host's byte stream into frames (address, length, data).

    Odd addresses are the link's control frames (0xAD magic/synchronisation,
    0xAF link start/stop) and are framed the same way.  An address byte of 0 or
    a length above 28 is junk: the parser drops the bad frame start and looks
    for the next frame from the byte after it (a rejected length byte is tried
    as an address).
    """

    def __init__(self):
        self._address = None
        self._length = None
        self._data = bytearray()

    def feed(self, chunk):
        """Returns a list of ("frame", address, data) and ("junk", bytes) items."""
        out = []
        for byte in chunk:
            self._byte(byte, out)
        return out

    def _byte(self, byte, out):
        if self._address is None:
            if byte == 0:
                out.append(("junk", bytes([byte])))
            else:
                self._address = byte
            return
        if self._length is None:
            if byte > MAX_DATA:
                out.append(("junk", bytes([self._address])))
                self._address = None
                self._byte(byte, out)
                return
            self._length = byte
            if byte == 0:
                self._emit(out)
            return
        self._data.append(byte)
        if len(self._data) == self._length:
            self._emit(out)

    def _emit(self, out):
        out.append(("frame", self._address, bytes(self._data)))
        self._address = None
        self._length = None
        self._data = bytearray()


class PacketLog:
    """One line per packet or event: "<unix time> <SERIAL> <KIND> <hex bytes | text>".

    Kinds: RX (frame received), TX (frame sent), DROP (reply suppressed by a
    fault), JUNK (bytes that began no frame), RAW (garbage sent on purpose),
    UDP-RX / UDP-TX (discovery datagrams) and EV (an event, in words).
    """

    def __init__(self, path=None):
        self._lock = threading.Lock()
        self._file = open(path, "a", buffering=1) if path else None

    def write(self, who, kind, payload):
        if self._file is None:
            return
        text = payload if isinstance(payload, str) else hexbytes(payload)
        with self._lock:
            self._file.write("%.6f %s %s %s\n" % (time.time(), who, kind, text))

    def close(self):
        with self._lock:
            if self._file:
                self._file.close()
                self._file = None


class Faults:
    """Fault switches of one module; all can be changed at run time.

    Count switches take a number of occurrences, or "always" (-1), 0 is off.
    """

    COUNTS = ("drop", "corrupt", "close_after", "vanish_after_data", "data_count_wrong",
              "sum_wrong", "prepare_fail", "write_fail")

    def __init__(self):
        self.drop = 0               # suppress the next N replies
        self.corrupt = 0            # corrupt one byte of each of the next N replies
        self.corrupt_offset = -1    # which wire byte (negative counts from the end)
        self.corrupt_xor = 0xFF
        self.delay_ms = 0           # hold every reply this long
        self.close_after = 0        # close the connection after N more received frames
        self.vanish_after_data = 0  # vanish when the Nth DATA packet arrives (unanswered)
        self.vanish_ms = 0          # how long a vanish lasts; 0 = until "revive"
        self.refuse = False         # refuse TCP connections
        self.silent = False         # answer nothing, send no heartbeats, keep the connection
        self.data_count_wrong = 0   # answer DATA with a wrong count (bytes not accepted)
        self.sum_wrong = 0          # report a wrong byte sum
        self.prepare_fail = 0       # answer PREPARE with a non-zero status
        self.write_fail = 0         # answer WRITE with a non-zero status
        self.short_init = False     # answer INIT with 5 bytes instead of 6
        self.short_discovery = False  # send the 12-byte discovery reply
        self.no_discovery = False   # do not answer discovery requests
        self.build_reply_extra = False  # append one byte to the build-number reply (7 bytes)
        self.drop_every = 0         # router: lose every Nth answer coming back over its module bus

    def take(self, name):
        """True when the count switch `name` fires now (and counts it down)."""
        value = getattr(self, name)
        if value == 0:
            return False
        if value > 0:
            setattr(self, name, value - 1)
        return True

    def set(self, name, text):
        if name.startswith("_") or not hasattr(self, name) or callable(getattr(self, name)):
            raise KeyError("unknown switch or setting: %s" % name)
        setattr(self, name, coerce_like(getattr(self, name), text, name in self.COUNTS))

    def as_dict(self):
        return {k: v for k, v in vars(self).items() if not k.startswith("_")}


def coerce_like(current, text, count=False):
    if isinstance(current, bool):
        if isinstance(text, bool):
            return text
        lowered = str(text).lower()
        if lowered in ("1", "on", "true", "yes"):
            return True
        if lowered in ("0", "off", "false", "no"):
            return False
        raise ValueError("not a switch value: %s" % text)
    if isinstance(current, int):
        if isinstance(text, int):
            return text
        lowered = str(text).lower()
        if count and lowered == "always":
            return ALWAYS
        if count and lowered == "off":
            return 0
        return int(lowered, 0)
    if isinstance(current, list):
        if isinstance(text, list):
            return [int(v) for v in text]
        return [int(v, 0) for v in re.split(r"[,:]", str(text)) if v]
    return type(current)(text) if current is not None else text


class Memory:
    """Bytes placed at their addresses, kept as sorted, non-touching segments."""

    def __init__(self):
        self.segments = []  # [start, bytearray], sorted by start

    def clear(self):
        self.segments = []

    def write(self, address, data):
        if not data:
            return
        start, end = address, address + len(data)
        touching = [seg for seg in self.segments if seg[0] <= end and seg[0] + len(seg[1]) >= start]
        if len(touching) == 1 and touching[0][0] <= start:
            seg_start, seg = touching[0]
            seg[start - seg_start:end - seg_start] = data  # overwrites and/or extends in place
            return
        new_start = min([start] + [seg[0] for seg in touching])
        new_end = max([end] + [seg[0] + len(seg[1]) for seg in touching])
        merged = bytearray(new_end - new_start)
        for seg_start, seg in touching:
            merged[seg_start - new_start:seg_start - new_start + len(seg)] = seg
        merged[start - new_start:end - new_start] = data
        ids = {id(seg) for seg in touching}
        self.segments = [seg for seg in self.segments if id(seg) not in ids]
        self.segments.append([new_start, merged])
        self.segments.sort(key=lambda seg: seg[0])

    def read_all(self):
        return b"".join(bytes(seg) for _, seg in self.segments)

    def describe(self):
        return [{"address": start, "length": len(seg),
                 "sha256": hashlib.sha256(seg).hexdigest()} for start, seg in self.segments]


class ModuleFace:
    """What a transport front offers the module logic.

    go_offline(module): the link-end module stops existing for the host: no new
        connections, current ones reset, no discovery replies.
    go_online(module): the opposite, the module is reachable again.
    close_sessions(module, reset): end every connection of the link-end module.
    schedule(delay_s, fn): call fn() on the front's thread after delay_s seconds.
    """

    def go_offline(self, module):
        raise NotImplementedError

    def go_online(self, module):
        raise NotImplementedError

    def close_sessions(self, module, reset=True):
        raise NotImplementedError

    def schedule(self, delay_s, fn):
        raise NotImplementedError


SETTINGS = {
    # name: default
    "heartbeat_ms": 1000,          # heartbeat period; 0 = no heartbeats
    "heartbeat_timeout_ms": 1000,  # reply wait before a heartbeat counts as missed
    "heartbeat_values": [0, 1],    # the b values sent, in turn
    "heartbeat_needs_start": True,  # heartbeats only after the link-start frame
    "heartbeat_drop_after": 0,     # drop the connection after N missed heartbeats in a row
    "block_size": 512,             # block size answered to PREPARE
    "load_base": 0x10000000,       # load base answered to INIT
    "load_mode": LOAD_ANSWER,
    "load_restart_ms": 500,        # time offline when restarting into the loader
    "reboot_ms": 1000,             # time offline after REBOOT
    "reset_ms": 1000,              # time offline after the system reset call
    "next_version": None,          # version after REBOOT when the image carries none
    "next_build": None,            # build after REBOOT when the image carries none
    "close_style": "rst",          # how the module ends a connection: rst or fin
    # A router carries the packets for the modules behind it over its module bus one at a time:
    # each takes bus_ms (request out, answer back); at most bus_queue wait for the bus, and a
    # packet arriving at a full queue is lost.
    "bus_ms": 2,
    "bus_queue": 16,
}


class HalyardModule:
    """One simulated module (possibly a router with modules behind it)."""

    def __init__(self, serial, model, address, version, build, *, uid=None, start_in_loader=False,
                 log=None, face=None, router=None, **settings):
        if address == 0 or address % 2 or address > 0xFE:
            raise ValueError("module address must be even and in 2..254: %r" % address)
        self.serial = parse_serial(serial)
        self._label = "%08X" % self.serial   # the simulator's name for it, whatever it answers as
        self.model = int(model) & 0xFF
        self.address = int(address)
        self.version = parse_version(version)
        self.build = int(build) & 0xFFFFFFFF
        self.uid = [int(w) & 0xFFFFFFFF for w in (uid or self._default_uid())]
        if len(self.uid) != 4:
            raise ValueError("uid needs four words")
        self.log = log or PacketLog(None)
        self.face = face
        self.router = router
        self.behind = {}
        self.settings = dict(SETTINGS)
        for name, value in settings.items():
            self.set_setting(name, value)
        self.faults = Faults()
        self.sessions = set()
        self.online = True
        self.vanished = False
        self.route_to_me = 0
        self.mode = MODE_LOADER if start_in_loader else MODE_FIRMWARE
        self.loader = Memory()
        self.firmware = Memory()
        self._transfer_reset()
        self.announce_load = False
        self.dump_dir = None
        self.stats = {"rx": 0, "tx": 0, "dropped": 0, "heartbeats_sent": 0, "heartbeats_ok": 0,
                      "heartbeats_bad": 0, "heartbeats_missed": 0, "heartbeats_unexpected": 0,
                      "data_packets": 0, "data_bytes": 0, "writes": 0, "reboots": 0,
                      "restarts": 0, "connections": 0, "discovery_replies": 0,
                      "bus_packets": 0, "bus_answers": 0, "bus_overruns": 0, "bus_lost": 0}

    @property
    def label(self):
        return self._label

    @property
    def link_module(self):
        return self.router.link_module if self.router else self

    def _default_uid(self):
        return [0x48590000 | i for i in range(3)] + [self.serial]

    def set_setting(self, name, value):
        if name not in SETTINGS:
            raise KeyError("unknown setting: %s" % name)
        current = SETTINGS[name]
        if name in ("next_version", "next_build") and value in (None, "", "none"):
            self.settings[name] = None
        elif name == "next_version":
            self.settings[name] = parse_version(value)
        elif name == "next_build":
            self.settings[name] = int(value, 0) if isinstance(value, str) else int(value)
        elif name == "load_mode":
            if value not in LOAD_MODES:
                raise ValueError("load_mode must be one of %s" % ", ".join(LOAD_MODES))
            self.settings[name] = value
        elif name == "close_style":
            if value not in ("rst", "fin"):
                raise ValueError("close_style must be rst or fin")
            self.settings[name] = value
        else:
            self.settings[name] = coerce_like(current, value)

    def set_value(self, name, value):
        """Run-time change of a fault switch, a setting or the identity."""
        if name in ("version",):
            self.version = parse_version(value)
        elif name == "build":
            self.build = int(value, 0) if isinstance(value, str) else int(value)
        elif name == "route_to_me":
            self.route_to_me = int(value, 0) if isinstance(value, str) else int(value)
        elif name == "mode":
            self._set_mode(value)
        elif name in SETTINGS:
            self.set_setting(name, value)
        else:
            self.faults.set(name, value)

    def _set_mode(self, value):
        """A test bed's shortcut: the module runs its firmware (as after a good update) or its
        loader from now on, without a restart; what a transfer had half done is forgotten."""
        if value not in (MODE_FIRMWARE, MODE_LOADER):
            raise ValueError("mode must be %s or %s" % (MODE_FIRMWARE, MODE_LOADER))
        self.mode = value
        self._transfer_reset()
        self.event("mode set to %s" % value)

    def add_behind(self, module):
        if self.router is not None:
            raise ValueError("a module behind a router cannot route")
        if module.address == self.address or module.address in self.behind:
            raise ValueError("address %d already taken on %s" % (module.address, self.label))
        module.router = self
        module.face = self.face
        module.log = self.log
        self.behind[module.address] = module

    def event(self, text):
        self.log.write(self.label, "EV", text)

    # ---- packets -----------------------------------------------------------------

    def handle_packet(self, data):
        """Answers one packet addressed to this module; returns the reply payloads."""
        if not self.online:
            self.event("offline: packet ignored")
            return []
        if not data:
            self.event("empty packet ignored")
            return []
        command = data[0]
        if command == CMD_SYSTEM:
            return self._system(data)
        if command == CMD_BUILD:
            return self._build_number(data)
        if command == CMD_UPGRADE:
            return self._upgrade(data)
        if len(data) >= 3:
            return [self._uei_error(data, ERR_INVALID_ENTITY)]
        self.event("unknown command %02X ignored" % command)
        return []

    def _build_number(self, data):
        if len(data) != 2 or data[1] != BUILD_QUERY:
            self.event("build command with unexpected bytes ignored")
            return []
        reply = bytes([CMD_BUILD, BUILD_QUERY]) + be32(self.build)
        if self.faults.build_reply_extra:
            reply += b"\x00"
        return [reply]

    @staticmethod
    def _reply_option(option_byte):
        code = option_byte & OPTION_MASK
        return code | REPLY_SET if option_byte & OPTION_SET else code

    def _uei_error(self, data, code):
        option = self._reply_option(data[1]) if len(data) > 1 else 0
        index = (data[2] & INDEX_MASK) if len(data) > 2 else 0
        self.event("error reply %d to %s" % (code, hexbytes(data)))
        return bytes([data[0], option, index | SPECIFIER_ERROR, code])

    def _system(self, data):
        if len(data) < 3:
            return [self._uei_error(data, ERR_SHORT_COMMAND)]
        option_byte, index = data[1], data[2] & INDEX_MASK
        code = option_byte & OPTION_MASK
        is_get = bool(option_byte & OPTION_GET) and not option_byte & OPTION_SET
        is_set = bool(option_byte & OPTION_SET) and not option_byte & OPTION_GET
        if index != 0:
            return [self._uei_error(data, ERR_INDEX_RANGE)]
        header = bytes([CMD_SYSTEM, self._reply_option(option_byte), index])
        if is_get:
            values = {
                SYS_MODULE: bytes([self.address]),
                SYS_ROUTER: bytes([self.router.address if self.router else self.address]),
                SYS_VERSION: be32(self.version),
                SYS_MODEL: bytes([self.model]),
                SYS_SERIAL: be32(self.serial),
                SYS_ROUTE_TO_ME: bytes([self.route_to_me & 0xFF]),
            }
            if code in values:
                return [header + values[code]]
            if code == SYS_UNIQUE_ID:
                if len(data) < 4:
                    return [self._uei_error(data, ERR_SHORT_COMMAND)]
                if data[3] > 3:
                    return [self._uei_error(data, ERR_INDEX_RANGE)]
                return [header + be32(self.uid[data[3]])]
            return [self._uei_error(data, ERR_INVALID_OPTION)]
        if is_set and code == SYS_ROUTE_TO_ME:
            if len(data) != 4:
                return [self._uei_error(data, ERR_SHORT_COMMAND)]
            self.route_to_me = data[3]
            self.event("routeToMe %d" % data[3])
            return [header + data[3:4]]
        if is_set and code == SYS_RESET:
            self.event("reset requested")
            self.restart("reset", self.settings["reset_ms"], self.mode_after_reset)
            return [header]
        return [self._uei_error(data, ERR_INVALID_OPTION)]

    def mode_after_reset(self):
        self.mode = MODE_FIRMWARE

    # ---- upgrade entity ----------------------------------------------------------

    def _transfer_reset(self):
        self.prepared = False
        self.block_address = 0
        self.block_flags = 0
        self.block_offset = 0
        self.pending = bytearray()
        self.byte_sum = 0

    def _status(self, status, extra=b""):
        return bytes([CMD_UPGRADE, UPGRADE_STATUS, status]) + extra

    def _upgrade(self, data):
        if len(data) < 2:
            self.event("upgrade packet without option ignored")
            return []
        option = data[1]
        handler = {
            UPGRADE_INIT: self._upgrade_init,
            UPGRADE_DATA: self._upgrade_data,
            UPGRADE_LOAD: self._upgrade_load,
            UPGRADE_PREPARE: self._upgrade_prepare,
            UPGRADE_SUM: self._upgrade_sum,
            UPGRADE_WRITE: self._upgrade_write,
            UPGRADE_REBOOT: self._upgrade_reboot,
        }.get(option)
        if handler is None:
            self.event("unknown upgrade option %d ignored" % option)
            return []
        return handler(data[2:])

    def _upgrade_init(self, args):
        if self.mode != MODE_LOADER:
            self.mode = MODE_UPGRADE
            self.loader.clear()
        self._transfer_reset()
        self.event("upgrade init, load base %08X" % self.settings["load_base"])
        reply = bytes([CMD_UPGRADE, UPGRADE_INIT]) + be32(self.settings["load_base"])
        return [reply[:5] if self.faults.short_init else reply]

    def _upgrade_prepare(self, args):
        size = be32(self.settings["block_size"])[2:]
        if self.mode == MODE_FIRMWARE:
            self.event("prepare before init refused")
            return [self._status(STATUS_NOT_INITIALISED, b"\x00\x00")]
        if len(args) != 5:
            return [self._status(STATUS_BAD_REQUEST, b"\x00\x00")]
        if self.faults.take("prepare_fail"):
            self.event("prepare failure injected")
            return [self._status(STATUS_INJECTED_FAILURE, b"\x00\x00")]
        self._transfer_reset()
        self.prepared = True
        self.block_flags = args[0]
        self.block_address = int.from_bytes(args[1:5], "big")
        self.event("prepare %s block at %08X flags %02X" % (
            "firmware" if self.mode == MODE_LOADER else "loader", self.block_address, args[0]))
        return [self._status(STATUS_OK, size)]

    def _upgrade_data(self, args):
        count = len(args)
        if not self.prepared or count == 0 or count > UPGRADE_MAX_DATA:
            self.event("data refused (%s)" % ("not prepared" if not self.prepared else "size"))
            return [bytes([CMD_UPGRADE, UPGRADE_DATA, 0])]
        self.stats["data_packets"] += 1
        if self._vanish_due():
            self.vanish("mid-transfer")
            return []
        if self.faults.take("data_count_wrong"):
            wrong = count - 1 if count > 1 else count + 1
            self.event("data count answered wrong: %d for %d" % (wrong, count))
            return [bytes([CMD_UPGRADE, UPGRADE_DATA, wrong])]
        if self.mode == MODE_LOADER:
            self.pending.extend(args)
        else:
            self.loader.write(self.block_address + self.block_offset, args)
            self.block_offset += count
        self.byte_sum = (self.byte_sum + sum(args)) & 0xFFFFFFFF
        self.stats["data_bytes"] += count
        return [bytes([CMD_UPGRADE, UPGRADE_DATA, count])]

    def _vanish_due(self):
        left = self.faults.vanish_after_data
        if left == ALWAYS:
            return True
        if left > 0:
            self.faults.vanish_after_data = left - 1
            return left == 1
        return False

    def _upgrade_sum(self, args):
        if not self.prepared:
            return [self._status(STATUS_NOT_INITIALISED, be32(0))]
        reported = self.byte_sum
        if self.faults.take("sum_wrong"):
            reported = (reported + 1) & 0xFFFFFFFF
            self.event("sum reported wrong: %08X for %08X" % (reported, self.byte_sum))
        self.byte_sum = 0
        return [self._status(STATUS_OK, be32(reported))]

    def _upgrade_write(self, args):
        if self.mode != MODE_LOADER:
            self.event("write outside loader mode refused")
            return [self._status(STATUS_WRONG_MODE)]
        if len(args) != 2 or not self.prepared:
            return [self._status(STATUS_BAD_REQUEST)]
        length = int.from_bytes(args, "big")
        if self.faults.take("write_fail"):
            self.event("write failure injected")
            self.pending = bytearray()
            return [self._status(STATUS_INJECTED_FAILURE)]
        if length != len(self.pending):
            self.event("write of %d bytes with %d pending refused" % (length, len(self.pending)))
            self.pending = bytearray()
            return [self._status(STATUS_BAD_REQUEST)]
        self.firmware.write(self.block_address + self.block_offset, self.pending)
        self.block_offset += length
        self.pending = bytearray()
        self.stats["writes"] += 1
        return [self._status(STATUS_OK)]

    def _upgrade_load(self, args):
        mode = self.settings["load_mode"]
        if not self.loader.segments:
            self.event("load without a loader")
        self.dump("loader")
        self.event("load (%s)" % mode)
        if mode == LOAD_ANSWER:
            self._enter_loader()
            return [bytes([CMD_UPGRADE, UPGRADE_LOAD, 0])]

        def after():
            self._enter_loader()
            self.announce_load = mode == LOAD_RESTART_ANNOUNCE
        self.restart("load", self.settings["load_restart_ms"], after)
        return []

    def _enter_loader(self):
        self.mode = MODE_LOADER
        self.firmware.clear()
        self._transfer_reset()

    def _upgrade_reboot(self, args):
        self.event("reboot")
        self.stats["reboots"] += 1
        self.restart("reboot", self.settings["reboot_ms"], self._boot_new_firmware)
        return []

    def _boot_new_firmware(self):
        self.dump("firmware")
        found = FIRMWARE_INFO.search(self.firmware.read_all()) if self.firmware.segments else None
        if found:
            self.build = int(found.group(1)) & 0xFFFFFFFF
            self.version = pack_version(*(int(found.group(i)) for i in (2, 3, 4)))
            if found.group(5):
                self.serial = int(found.group(5), 16)
        else:
            if self.settings["next_version"] is not None:
                self.version = self.settings["next_version"]
            if self.settings["next_build"] is not None:
                self.build = self.settings["next_build"]
        self.mode = MODE_FIRMWARE
        self._transfer_reset()
        self.event("running firmware %s build %d" % (version_text(self.version), self.build))

    # ---- life cycle --------------------------------------------------------------

    def restart(self, reason, delay_ms, after):
        """Drop off the link for delay_ms, run after(), come back."""
        self.stats["restarts"] += 1
        self.event("restart (%s) for %d ms" % (reason, delay_ms))
        self.route_to_me = 0
        self._take_offline()

        def back():
            after()
            self._bring_online()
        self.face.schedule(delay_ms / 1000.0, back)

    def vanish(self, reason):
        self.event("vanish (%s)" % reason)
        self.vanished = True
        self._take_offline()
        if self.faults.vanish_ms > 0:
            self.face.schedule(self.faults.vanish_ms / 1000.0, self.revive)

    def revive(self):
        if not self.vanished:
            return
        self.vanished = False
        self.event("revived")
        self._bring_online()

    def _take_offline(self):
        # Stop answering at once; the transport drops the link only after the replies
        # already made (the answer to a reset call) have been handed to it.
        self.online = False
        if self.router is None:
            self.face.schedule(0, lambda: self.face.go_offline(self))

    def _bring_online(self):
        if self.vanished:
            return
        self.online = True
        if self.router is None:
            self.face.go_online(self)

    def dump(self, which=None):
        """Writes the received loader and firmware bytes into dump_dir/<SERIAL>/."""
        if not self.dump_dir:
            return None
        folder = os.path.join(self.dump_dir, self.label)
        os.makedirs(folder, exist_ok=True)
        index = {"serial": self.label, "version": version_text(self.version),
                 "build": self.build, "mode": self.mode}
        for kind, memory in (("loader", self.loader), ("firmware", self.firmware)):
            if which not in (None, kind):
                old = os.path.join(folder, "index.json")
                if os.path.exists(old):
                    with open(old) as f:
                        index[kind] = json.load(f).get(kind, [])
                continue
            for name in os.listdir(folder):
                if name.startswith(kind + "-") and name.endswith(".bin"):
                    os.unlink(os.path.join(folder, name))
            entries = memory.describe()
            for entry, (start, seg) in zip(entries, memory.segments):
                entry["file"] = "%s-%08X.bin" % (kind, start)
                _write_atomic(os.path.join(folder, entry["file"]), bytes(seg))
            index[kind] = entries
        _write_atomic(os.path.join(folder, "index.json"), json.dumps(index, indent=1).encode())
        return folder

    def describe(self):
        return {
            "serial": self.label, "serial_number": self.serial, "model": self.model,
            "address": self.address, "version": version_text(self.version),
            "version_word": self.version, "build": self.build, "mode": self.mode,
            "online": self.online, "vanished": self.vanished, "route_to_me": self.route_to_me,
            "router": self.router.label if self.router else None,
            "sessions": len(self.sessions), "stats": dict(self.stats),
            "faults": self.faults.as_dict(),
            "settings": {k: v for k, v in self.settings.items()},
            "loader": self.loader.describe(), "firmware": self.firmware.describe(),
            "behind": [m.label for m in self.behind.values()],
        }


def _write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class ModuleSession:
    """One byte-stream connection to the module at the end of a link.

    write(bytes) hands bytes to the transport; close(reset) ends the connection
    (reset True: abortive, like a module that restarts).  The transport calls
    feed() with received bytes, poll() whenever the deadline returned by poll()
    has come, and closed() when the host went away.
    """

    def __init__(self, module, write, close, clock=time.monotonic):
        self.module = module
        self._write = write
        self._close = close
        self._clock = clock
        self.parser = FrameParser()
        self.link_started = False
        self.frames_received = 0
        self.is_open = True
        self._delayed = deque()
        self._bus = deque()  # (done at, module behind, packet) waiting for the module bus
        self._hb_next = None
        self._hb_pending = None  # (b, deadline)
        self._hb_turn = 0
        self._hb_misses = 0
        module.sessions.add(self)
        module.stats["connections"] += 1
        module.event("connection opened")
        if not module.settings["heartbeat_needs_start"]:
            self._arm_heartbeat()

    # ---- input -------------------------------------------------------------------

    def feed(self, data):
        for item in self.parser.feed(data):
            if not self.is_open:
                return
            if item[0] == "junk":
                self.module.log.write(self.module.label, "JUNK", item[1])
                continue
            _, address, payload = item
            self.module.log.write(self.module.label, "RX", frame(address, payload))
            self.module.stats["rx"] += 1
            self._dispatch(address, payload)
            self._count_frame()

    def _count_frame(self):
        faults = self.module.faults
        if faults.close_after > 0 and self.is_open:
            faults.close_after -= 1
            if faults.close_after == 0:
                self.module.event("closing after counted packets")
                self.close(reset=self.module.settings["close_style"] == "rst")

    def _dispatch(self, address, payload):
        module = self.module
        if address == ADDR_MAGIC:
            if payload:
                module.event("magic frame with data ignored")
                return
            self.send_reply(module, module.address, b"")
            return
        if address == ADDR_LINK:
            self._link_control(payload)
            return
        if address & 1:
            module.event("control frame %02X ignored" % address)
            return
        if address == module.address:
            if len(payload) == 2 and payload[0] == CMD_HEARTBEAT:
                self._heartbeat_reply(payload[1])
                return
            target = module
        elif address in module.behind:
            if not module.route_to_me:
                module.event("packet for %02X not routed (routeToMe off)" % address)
                return
            target = module.behind[address]
        else:
            module.event("packet for %02X ignored" % address)
            return
        if module.faults.silent:
            return
        if target is not module:
            self._queue_for_bus(target, address, payload)
            return
        for reply in target.handle_packet(payload):
            self.send_reply(target, target.address, reply)
            if not self.is_open:
                break

    # ---- the router's module bus -------------------------------------------------

    def _queue_for_bus(self, target, address, payload):
        router = self.module
        if len(self._bus) >= router.settings["bus_queue"]:
            router.stats["bus_overruns"] += 1
            router.event("bus queue full: packet for %02X lost" % address)
            return
        start = max(self._clock(), self._bus[-1][0] if self._bus else 0.0)
        self._bus.append((start + router.settings["bus_ms"] / 1000.0, target, payload))

    def _carry_over_bus(self, target, payload):
        router = self.module
        router.stats["bus_packets"] += 1
        for reply in target.handle_packet(payload):
            router.stats["bus_answers"] += 1
            every = router.faults.drop_every
            if every > 0 and router.stats["bus_answers"] % every == 0:
                router.stats["bus_lost"] += 1
                router.log.write(target.label, "DROP", frame(target.address, reply))
                continue
            self.send_reply(target, target.address, reply)
            if not self.is_open:
                break

    def _link_control(self, payload):
        module = self.module
        if payload == bytes([LINK_START]):
            self.link_started = True
            module.event("link start")
            self._arm_heartbeat()
            if module.announce_load:
                module.announce_load = False
                self.send_reply(module, module.address, bytes([CMD_UPGRADE, UPGRADE_LOAD, 0]))
        elif payload == bytes([LINK_STOP]):
            self.link_started = False
            module.event("link stop")
            if module.settings["heartbeat_needs_start"]:
                self._hb_next = None
                self._hb_pending = None
        else:
            module.event("link frame %s ignored" % hexbytes(payload))

    # ---- heartbeats --------------------------------------------------------------

    def _arm_heartbeat(self):
        period = self.module.settings["heartbeat_ms"]
        self._hb_next = self._clock() + period / 1000.0 if period > 0 else None

    def _heartbeat_reply(self, value):
        module = self.module
        if self._hb_pending is None:
            module.stats["heartbeats_unexpected"] += 1
            module.event("heartbeat reply %02X unexpected" % value)
            return
        sent = self._hb_pending[0]
        self._hb_pending = None
        expected = (sent + 2) & 0xFF
        if value == expected:
            self._hb_misses = 0
            module.stats["heartbeats_ok"] += 1
            module.event("heartbeat ok b=%02X reply=%02X" % (sent, value))
        else:
            module.stats["heartbeats_bad"] += 1
            module.event("heartbeat bad b=%02X expected=%02X got=%02X" % (sent, expected, value))

    def _heartbeat_missed(self):
        module = self.module
        module.stats["heartbeats_missed"] += 1
        module.event("heartbeat missed b=%02X" % self._hb_pending[0])
        self._hb_pending = None
        self._hb_misses += 1
        limit = module.settings["heartbeat_drop_after"]
        if limit and self._hb_misses >= limit:
            module.event("dropping connection after %d missed heartbeats" % self._hb_misses)
            self.close(reset=module.settings["close_style"] == "rst")

    def send_heartbeat(self):
        module = self.module
        if module.faults.silent or not module.online:
            return
        if self._hb_pending is not None:
            self._heartbeat_missed()
            if not self.is_open:
                return
        values = module.settings["heartbeat_values"] or [0]
        value = values[self._hb_turn % len(values)] & 0xFF
        self._hb_turn += 1
        timeout = module.settings["heartbeat_timeout_ms"] / 1000.0
        self._hb_pending = (value, self._clock() + timeout)
        module.stats["heartbeats_sent"] += 1
        self._send(module, frame(module.address, bytes([CMD_HEARTBEAT, value])))

    # ---- output ------------------------------------------------------------------

    def send_reply(self, module, address, payload):
        """A reply from `module`, through the fault switches of that module."""
        faults = module.faults
        wire = frame(address, payload)
        if faults.silent:
            module.log.write(module.label, "DROP", wire)
            return
        if faults.take("drop"):
            module.stats["dropped"] += 1
            module.log.write(module.label, "DROP", wire)
            return
        if faults.take("corrupt"):
            wire = bytearray(wire)
            position = faults.corrupt_offset % len(wire)
            wire[position] ^= faults.corrupt_xor & 0xFF
            wire = bytes(wire)
            module.event("corrupted byte %d of the next reply" % position)
        if faults.delay_ms > 0 or self._delayed:
            self._delayed.append((self._clock() + faults.delay_ms / 1000.0, module, wire))
            return
        self._send(module, wire)

    def _send(self, module, wire):
        if not self.is_open:
            return
        module.log.write(module.label, "TX", wire)
        module.stats["tx"] += 1
        self._write(wire)

    def send_raw(self, data):
        if not self.is_open:
            return
        self.module.log.write(self.module.label, "RAW", data)
        self._write(bytes(data))

    def poll(self):
        """Sends what is due; returns the next time (clock value) poll() wants a call, or None."""
        if not self.is_open:
            return None
        now = self._clock()
        while self._bus and self._bus[0][0] <= now and self.is_open:
            _, target, payload = self._bus.popleft()
            self._carry_over_bus(target, payload)
        while self._delayed and self._delayed[0][0] <= now and self.is_open:
            _, module, wire = self._delayed.popleft()
            self._send(module, wire)
        if self._hb_pending is not None and now >= self._hb_pending[1]:
            self._heartbeat_missed()
        if self._hb_next is not None and now >= self._hb_next and self.is_open:
            self.send_heartbeat()
            self._arm_heartbeat()
        deadlines = [t for t in (self._hb_next,
                                 self._hb_pending[1] if self._hb_pending else None,
                                 self._delayed[0][0] if self._delayed else None,
                                 self._bus[0][0] if self._bus else None) if t is not None]
        return min(deadlines) if deadlines and self.is_open else None

    # ---- end ---------------------------------------------------------------------

    def close(self, reset=True):
        if not self.is_open:
            return
        self.is_open = False
        self.module.sessions.discard(self)
        self.module.event("connection closed by module (%s)" % ("reset" if reset else "fin"))
        self._close(reset)

    def closed(self, reason="closed by host"):
        if not self.is_open:
            return
        self.is_open = False
        self.module.sessions.discard(self)
        self.module.event("connection %s" % reason)
