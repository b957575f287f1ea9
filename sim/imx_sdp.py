"""Simulated i.MX boot ROM: the Serial Download Protocol state machine.

Transport independent.  A front end feeds it what the host sent and writes
out what it answers:

  * a UART front end passes the raw byte stream to `SdpRom.feed()`;
  * a USB HID front end passes the payload of report 1 (one 16-byte command)
    to `SdpRom.command()` and the payload of report 2 (image data) to
    `SdpRom.data()`.

Every call returns a list of replies `(report_id, payload)`: report 3 carries
the 4-byte security-mode word, report 4 the status or data that follows it.
With `hid=True` report 4 payloads are cut and zero-padded to 64-byte reports;
over a UART the payload bytes are sent as they stand, one item after the
other.  Report id 0 marks raw bytes that are no SDP report (association echo,
a banner printed by the started program).

Command (16 bytes, big-endian fields):
    0  2  command type, both bytes equal
    2  4  address
    6  1  format (access width in bits: 0x08, 0x10, 0x20)
    7  4  data count
    11 4  data
    15 1  reserved (hosts put a file type there: 0xAA application,
          0xEE DCD, 0xCC CSF; it is not checked)

Memory is sparse: only what was written exists, everything else reads as 0.
Two 32-bit registers (the chip fingerprint, 0x401F4410 and 0x401F4420) are
overlaid on it and read little-endian, as the chip's memory is.
"""

import struct

CMD_READ_REGISTER = 0x01
CMD_WRITE_REGISTER = 0x02
CMD_WRITE_FILE = 0x04
CMD_ERROR_STATUS = 0x05
CMD_DCD_WRITE = 0x0A
CMD_JUMP_ADDRESS = 0x0B
CMD_SKIP_DCD_HEADER = 0x0C

COMMAND_NAMES = {
    CMD_READ_REGISTER: "READ_REGISTER",
    CMD_WRITE_REGISTER: "WRITE_REGISTER",
    CMD_WRITE_FILE: "WRITE_FILE",
    CMD_ERROR_STATUS: "ERROR_STATUS",
    CMD_DCD_WRITE: "DCD_WRITE",
    CMD_JUMP_ADDRESS: "JUMP_ADDRESS",
    CMD_SKIP_DCD_HEADER: "SKIP_DCD_HEADER",
}

COMMAND_SIZE = 16
FORMATS = (0x00, 0x08, 0x10, 0x20)  # access widths a host may name
ASSOCIATION = bytes([0x23, 0x45, 0x45, 0x23])

SECURITY_OPEN = 0x56787856          # development (open) security mode
SECURITY_CLOSED = 0x12343412
STATUS_IDLE = 0xF0F0F0F0            # ERROR_STATUS answer when nothing failed
STATUS_FILE_COMPLETE = 0x88888888   # WRITE_FILE accepted
STATUS_WRITE_COMPLETE = 0x128A8A12  # WRITE_REGISTER / DCD_WRITE done
STATUS_SKIP_DCD = 0x900DD009        # SKIP_DCD_HEADER done
DEFAULT_REJECT_STATUS = 0x0BADF00D

FINGERPRINT_LOW_ADDRESS = 0x401F4410
FINGERPRINT_HIGH_ADDRESS = 0x401F4420
DEFAULT_FINGERPRINT = (0x0A1B2C3D, 0x4E5F6071)

HID_REPORT_SECURITY = 3
HID_REPORT_DATA = 4
HID_DATA_REPORT_SIZE = 64
RAW = 0

PAGE_SIZE = 4096
MAX_READ_COUNT = 1 << 20            # refuse absurd register reads instead of allocating them


def _u32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def parse_int(text):
    """Integer from decimal or 0x-prefixed text."""
    return int(str(text), 0)


class Settings:
    """Fault switches and chip identity; changed at start and at run time."""

    def __init__(self):
        self.security = SECURITY_OPEN
        self.status = STATUS_IDLE
        self.fingerprint = list(DEFAULT_FINGERPRINT)
        self.banner = b""               # printed once the ROM has jumped
        self.silent = False             # never answer anything
        self.short_status = 0           # bytes cut from the ERROR_STATUS reply
        self.chatter_at = None          # data offset at which to chatter, None: off
        self.chatter_bytes = _u32(SECURITY_OPEN) + _u32(STATUS_IDLE)
        self.reject_status = None       # WRITE_FILE final status, None: accept
        self.on_close = "reset"         # "keep": a close leaves the ROM as it is

    KEYS = ("security", "status", "fingerprint", "banner", "silent",
            "short-status", "chatter", "chatter-bytes", "reject", "on-close")

    def apply(self, key, value):
        """Set one switch from text; raises ValueError on bad input."""
        value = value.strip()
        if key == "security":
            self.security = parse_int(value)
        elif key == "status":
            self.status = parse_int(value)
        elif key == "fingerprint":
            words = value.replace(",", " ").split()
            if len(words) != 2:
                raise ValueError("fingerprint wants two words")
            self.fingerprint = [parse_int(w) & 0xFFFFFFFF for w in words]
        elif key == "banner":
            self.banner = b"" if value in ("", "off") else _unescape(value)
        elif key == "silent":
            self.silent = _on_off(value)
        elif key == "short-status":
            self.short_status = _count_or_switch(value, default=1)
        elif key == "chatter":
            count = _count_or_switch(value, default=0, off=None)
            self.chatter_at = count
        elif key == "chatter-bytes":
            data = bytes.fromhex(value)
            if not data:
                raise ValueError("chatter-bytes must not be empty")
            self.chatter_bytes = data
        elif key == "reject":
            if value in ("off", "0", "false", "no"):
                self.reject_status = None
            elif value in ("on", "1", "true", "yes"):
                self.reject_status = DEFAULT_REJECT_STATUS
            else:
                status = parse_int(value) & 0xFFFFFFFF
                if status == STATUS_FILE_COMPLETE:
                    raise ValueError("a reject status must differ from 0x88888888")
                self.reject_status = status
        elif key == "on-close":
            if value not in ("reset", "keep"):
                raise ValueError("on-close wants reset or keep")
            self.on_close = value
        else:
            raise ValueError("unknown setting %r" % key)

    def describe(self):
        return {
            "security": "0x%08X" % self.security,
            "status": "0x%08X" % self.status,
            "fingerprint": ["0x%08X" % w for w in self.fingerprint],
            "banner": self.banner.decode("latin-1"),
            "silent": self.silent,
            "short-status": self.short_status,
            "chatter": self.chatter_at,
            "chatter-bytes": self.chatter_bytes.hex(),
            "reject": None if self.reject_status is None else "0x%08X" % self.reject_status,
            "on-close": self.on_close,
        }


def _on_off(value):
    if value in ("on", "1", "true", "yes"):
        return True
    if value in ("off", "0", "false", "no"):
        return False
    raise ValueError("expected on or off, got %r" % value)


def _count_or_switch(value, default, off=0):
    """'on' -> default, 'off' -> off, a number -> that number (>= 0)."""
    if value in ("on", "true", "yes"):
        return default
    if value in ("off", "false", "no"):
        return off
    count = parse_int(value)
    if count < 0:
        raise ValueError("negative count")
    return count


def _unescape(text):
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


class Memory:
    """Sparse little-endian byte memory that remembers which bytes were written."""

    def __init__(self):
        self.pages = {}
        self.regions = []               # sorted, merged [start, end) written ranges

    def write(self, address, data):
        offset = 0
        while offset < len(data):
            addr = (address + offset) & 0xFFFFFFFF
            page, within = divmod(addr, PAGE_SIZE)
            take = min(PAGE_SIZE - within, len(data) - offset)
            buf = self.pages.setdefault(page, bytearray(PAGE_SIZE))
            buf[within:within + take] = data[offset:offset + take]
            self._mark(addr, addr + take)
            offset += take

    def read(self, address, count):
        out = bytearray()
        while len(out) < count:
            addr = (address + len(out)) & 0xFFFFFFFF
            page, within = divmod(addr, PAGE_SIZE)
            take = min(PAGE_SIZE - within, count - len(out))
            buf = self.pages.get(page)
            out += buf[within:within + take] if buf else bytes(take)
        return bytes(out)

    def _mark(self, start, end):
        merged = []
        for s, e in self.regions:
            if e < start or s > end:
                merged.append((s, e))
            else:
                start, end = min(s, start), max(e, end)
        merged.append((start, end))
        self.regions = sorted(merged)

    def written_regions(self):
        return [(s, self.read(s, e - s)) for s, e in self.regions]


class SdpRom:
    """Boot-ROM state machine; see the module text for the interface."""

    def __init__(self, settings=None, hid=False):
        self.settings = settings or Settings()
        self.hid = hid
        self.memory = Memory()
        self.commands = []      # every command taken, as dicts
        self.writes = []        # one record per WRITE_FILE
        self.jumps = []         # entry addresses, in order
        self.discarded = 0      # stray bytes skipped while looking for a command
        self.ignored = 0        # bytes received after a jump
        self.associations = 0
        self.resets = 0
        self.closes = 0
        self._power_on()

    # ---- life cycle -------------------------------------------------------

    def _power_on(self):
        self._buffer = bytearray()
        self._pending = None    # the data phase under way (dict), if any
        self.jumped = False

    def reset(self):
        """Power-on reset: protocol state cleared, memory and records kept."""
        self.resets += 1
        self._power_on()

    def host_closed(self):
        """The host closed the port or let go of the device.  With on-close
        "reset" the chip starts again; with "keep" it stays as it was, as the
        silicon does: a ROM inside a data phase keeps waiting for the rest of
        the announced bytes, a ROM that jumped stays gone."""
        self.closes += 1
        if self.settings.on_close == "keep":
            return
        self.reset()

    # ---- inputs -----------------------------------------------------------

    def feed(self, data):
        """Consume UART bytes; returns the replies they cause."""
        replies = []
        if self.jumped:
            self.ignored += len(data)
            return replies
        self._buffer += data
        while self._buffer and not self.jumped:
            if self._pending:
                take = min(len(self._buffer), self._pending["remaining"])
                chunk = bytes(self._buffer[:take])
                del self._buffer[:take]
                replies += self._take_data(chunk)
                continue
            if not self._frame_next(replies):
                break
        if self.jumped and self._buffer:
            self.ignored += len(self._buffer)
            self._buffer.clear()
        return self._out(replies)

    def command(self, frame):
        """Consume one 16-byte command (HID report 1 payload)."""
        frame = bytes(frame[:COMMAND_SIZE]).ljust(COMMAND_SIZE, b"\0")
        if self.jumped:
            self.ignored += len(frame)
            return []
        if self._pending:
            # The silicon waits for the announced bytes whatever else comes.
            if self.settings.on_close == "keep":
                self.ignored += len(frame)
                return []
            self._abort_pending("command during data phase")
        return self._out(self._execute(frame))

    def data(self, payload):
        """Consume image data (HID report 2 payload)."""
        if self.jumped or not self._pending:
            self.ignored += len(payload)
            return []
        payload = bytes(payload[:self._pending["remaining"]])
        return self._out(self._take_data(payload))

    # ---- UART framing -----------------------------------------------------

    def _frame_next(self, replies):
        """Take one association or command from the buffer, or skip a stray
        byte.  False when more bytes are needed to decide."""
        buf = self._buffer
        if buf[:len(ASSOCIATION)] == ASSOCIATION[:len(buf)]:
            if len(buf) < len(ASSOCIATION):
                return False
            del buf[:len(ASSOCIATION)]
            self.associations += 1
            replies.append((RAW, ASSOCIATION))
            return True
        if len(buf) >= 2 and buf[0] == buf[1] and buf[0] in COMMAND_NAMES:
            if len(buf) < COMMAND_SIZE:
                return False
            if buf[6] in FORMATS:
                frame = bytes(buf[:COMMAND_SIZE])
                del buf[:COMMAND_SIZE]
                replies += self._execute(frame)
                return True
        elif len(buf) == 1 and buf[0] in COMMAND_NAMES:
            return False
        del buf[0]
        self.discarded += 1
        return True

    # ---- commands ---------------------------------------------------------

    def _execute(self, frame):
        reply = self._format(self._dispatch(frame))
        cut = self.settings.short_status
        if frame[0] == CMD_ERROR_STATUS and cut:
            reply = _shorten(reply, cut)
        return reply

    def _dispatch(self, frame):
        kind = frame[0]
        address, fmt, count, value = struct.unpack(">IBII", frame[2:15])
        record = {"type": "0x%02X%02X" % (frame[0], frame[1]),
                  "name": COMMAND_NAMES.get(kind, "UNKNOWN"),
                  "address": address, "format": fmt, "count": count, "data": value}
        self.commands.append(record)
        security = (HID_REPORT_SECURITY, _u32(self.settings.security))
        if kind == CMD_ERROR_STATUS:
            return [security, (HID_REPORT_DATA, _u32(self.settings.status))]
        if kind == CMD_READ_REGISTER:
            return [security] + self._read(address, fmt, count)
        if kind == CMD_WRITE_REGISTER:
            width = {0x08: 1, 0x10: 2}.get(fmt, 4)
            self.memory.write(address, struct.pack("<I", value)[:width])
            return [security, (HID_REPORT_DATA, _u32(STATUS_WRITE_COMPLETE))]
        if kind == CMD_WRITE_FILE:
            return self._start_write(address, count)
        if kind == CMD_DCD_WRITE:
            return self._start_dcd(address, count)
        if kind == CMD_SKIP_DCD_HEADER:
            return [security, (HID_REPORT_DATA, _u32(STATUS_SKIP_DCD))]
        if kind == CMD_JUMP_ADDRESS:
            self.jumps.append(address)
            self.jumped = True
            reply = [security]
            if self.settings.banner:
                reply.append((RAW, self.settings.banner))
            return reply
        return []

    def _read(self, address, fmt, count):
        width = {0x08: 1, 0x10: 2}.get(fmt, 4)
        count = min(count, MAX_READ_COUNT)
        count = (count + width - 1) // width * width
        data = bytearray(self.memory.read(address, count))
        for reg, word in zip((FINGERPRINT_LOW_ADDRESS, FINGERPRINT_HIGH_ADDRESS),
                             self.settings.fingerprint):
            for i, byte in enumerate(struct.pack("<I", word)):
                if 0 <= reg + i - address < count:
                    data[reg + i - address] = byte
        return [(HID_REPORT_DATA, bytes(data))] if data else []

    def _start_write(self, address, count):
        record = {"address": address, "count": count, "received": 0,
                  "result": "receiving", "status": None}
        self.writes.append(record)
        self._pending = {"kind": "file", "record": record, "address": address,
                         "remaining": count,
                         "reject": self.settings.reject_status,
                         "chatter_at": self.settings.chatter_at}
        replies = self._maybe_chatter()
        if count == 0:
            replies += self._finish_data()
        return replies

    def _start_dcd(self, address, count):
        self._pending = {"kind": "dcd", "record": None, "address": address,
                         "remaining": count, "reject": None, "chatter_at": None}
        return self._finish_data() if count == 0 else []

    def _take_data(self, chunk):
        pending = self._pending
        if pending["kind"] == "file":
            record = pending["record"]
            if pending["reject"] is None:
                self.memory.write(pending["address"] + record["received"], chunk)
            record["received"] += len(chunk)
        pending["remaining"] -= len(chunk)
        replies = self._maybe_chatter()
        if pending["remaining"] == 0:
            replies += self._finish_data()
        return self._format(replies)

    def _maybe_chatter(self):
        pending = self._pending
        at = pending["chatter_at"]
        if at is None or pending["record"]["received"] < at:
            return []
        pending["chatter_at"] = None
        data = self.settings.chatter_bytes
        return [(HID_REPORT_DATA if self.hid else RAW, data)]

    def _finish_data(self):
        pending, self._pending = self._pending, None
        security = (HID_REPORT_SECURITY, _u32(self.settings.security))
        if pending["kind"] == "dcd":
            return [security, (HID_REPORT_DATA, _u32(STATUS_WRITE_COMPLETE))]
        record = pending["record"]
        status = pending["reject"]
        record["result"] = "accepted" if status is None else "rejected"
        status = STATUS_FILE_COMPLETE if status is None else status
        record["status"] = status
        return [security, (HID_REPORT_DATA, _u32(status))]

    def _abort_pending(self, why):
        record = self._pending["record"]
        if record is not None:
            record["result"] = "aborted: " + why
        self._pending = None

    # ---- output -----------------------------------------------------------

    def _format(self, replies):
        """HID: report-4 payloads become zero-padded 64-byte reports."""
        if not self.hid:
            return replies
        out = []
        for rid, payload in replies:
            out += _hid_data_reports(payload) if rid == HID_REPORT_DATA else [(rid, payload)]
        return out

    def _out(self, replies):
        return [] if self.settings.silent else replies

    def state(self):
        """Records for tests and dumps (JSON-ready)."""
        return {
            "commands": self.commands,
            "writes": self.writes,
            "jumps": self.jumps,
            "regions": [{"address": s, "length": e - s} for s, e in self.memory.regions],
            "discarded": self.discarded,
            "buffered": len(self._buffer),
            "ignored": self.ignored,
            "associations": self.associations,
            "resets": self.resets,
            "closes": self.closes,
            "pending": None if not self._pending else {"kind": self._pending["kind"],
                                                       "remaining": self._pending["remaining"]},
            "jumped": self.jumped,
            "settings": self.settings.describe(),
        }


def _shorten(reply, cut):
    """Drop `cut` bytes from the end of a reply (a reply that stops short)."""
    reply = list(reply)
    while cut and reply:
        rid, last = reply.pop()
        drop = min(cut, len(last))
        cut -= drop
        if len(last) > drop:
            reply.append((rid, last[:len(last) - drop]))
    return reply


def _hid_data_reports(payload):
    """Cut a report-4 payload into zero-padded 64-byte reports."""
    if not payload:
        return []
    reports = []
    for i in range(0, len(payload), HID_DATA_REPORT_SIZE):
        reports.append((HID_REPORT_DATA,
                        payload[i:i + HID_DATA_REPORT_SIZE].ljust(HID_DATA_REPORT_SIZE, b"\0")))
    return reports
