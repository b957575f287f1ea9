#!/usr/bin/python3
"""Simulated NXP LPC17xx boot ROM (ISP command handler) on a pseudo-terminal.

The simulated chip answers the LPC ISP protocol on the master side of a pty;
host programs open the slave side (or a stable symlink to it) as if it were a
serial port.  See sim/README.md for options, the control channel and the fault
switches.  Standard library only.
"""

import argparse
import json
import os
import select
import signal
import socket
import sys
import time
import termios
import tty
from collections import deque
from part_priority import run_ahead_of_the_host  # noqa: E402
from pty_exclusive import end_exclusive_mode  # noqa: E402

# ---------------------------------------------------------------------------
# Chip description

PART_ID_LPC1768 = 0x26013F37
UNLOCK_CODE = 23130
FLASH_SIZE = 512 * 1024
ERASED = 0xFF

# (start, size) per sector number: 16 x 4 KB, then 14 x 32 KB.
SECTORS = [(n * 0x1000, 0x1000) for n in range(16)] + \
          [(0x10000 + (n - 16) * 0x8000, 0x8000) for n in range(16, 30)]
LAST_SECTOR = len(SECTORS) - 1

RAM_REGIONS = [
    (0x10000000, 32 * 1024),   # local SRAM
    (0x2007C000, 32 * 1024),   # AHB SRAM banks 0 and 1
]
# The ISP handler keeps its own variables at the bottom of the local SRAM.
ISP_RESERVED_RAM = (0x10000000, 0x200)

COPY_SIZES = (256, 512, 1024, 4096)
BAUD_RATES = (9600, 19200, 38400, 57600, 115200, 230400)
LINES_PER_CHECKSUM = 20
BYTES_PER_LINE = 45
MAX_LINE = 1024

# What reads of flash 0x00-0x3F show while the boot ROM is mapped there:
# the ROM's own vector table (stack in local SRAM, handlers in the ROM).
ROM_VECTORS = b"".join(w.to_bytes(4, "little") for w in (
    0x10000400, 0x1FFF0081, 0x1FFF0095, 0x1FFF0097,
    0x1FFF0099, 0x1FFF009B, 0x1FFF009D, 0x00000000,
    0x00000000, 0x00000000, 0x00000000, 0x1FFF009F,
    0x1FFF00A1, 0x00000000, 0x1FFF00A3, 0x1FFF00A5))
ROM_VECTOR_SIZE = len(ROM_VECTORS)

# ISP return codes
CMD_SUCCESS = 0
INVALID_COMMAND = 1
SRC_ADDR_ERROR = 2
DST_ADDR_ERROR = 3
SRC_ADDR_NOT_MAPPED = 4
DST_ADDR_NOT_MAPPED = 5
COUNT_ERROR = 6
INVALID_SECTOR = 7
SECTOR_NOT_BLANK = 8
SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9
COMPARE_ERROR = 10
BUSY = 11
PARAM_ERROR = 12
ADDR_ERROR = 13
ADDR_NOT_MAPPED = 14
CMD_LOCKED = 15
INVALID_CODE = 16
INVALID_BAUD_RATE = 17
INVALID_STOP_BIT = 18

DEFAULT_SERIAL = (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)
DEFAULT_BOOT_VERSION = (4, 1)   # major, minor

HISTORY_LIMIT = 20000
# Flash timing from the LPC17xx datasheet (flash characteristics): a sector erase takes 95-105 ms
# whatever the sector's size, programming 0.95-1.05 ms per 256 bytes. "datasheet" uses the typical
# figures, "slowest" the maximum ones.
FLASH_TIMING = {
    "off": None,
    "datasheet": {"erase_per_sector": 0.100, "program_per_256": 0.001},
    "slowest": {"erase_per_sector": 0.105, "program_per_256": 0.00105},
}
# The UART's receive FIFO: while the ISP handler is busy with a flash operation it does not read
# the UART, so at most this many characters wait; the ones after them are lost (overrun).
UART_FIFO_SIZE = 16
LINE_IDLE_SLACK = 0.005   # seconds a paced line may lag before it counts as idle
# The host port's speed as the pty shows it to the master side.
TERMIOS_RATES = {getattr(termios, "B%d" % rate): rate
                 for rate in (2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}


# ---------------------------------------------------------------------------
# uuencoding as the ISP protocol uses it (no begin/end lines, ` for zero)

def uu_char(v):
    v &= 0x3F
    return 0x60 if v == 0 else 0x20 + v


def uu_encode_line(data):
    out = bytearray([uu_char(len(data))])
    padded = bytes(data) + b"\0" * (-len(data) % 3)
    for i in range(0, len(padded), 3):
        g = (padded[i] << 16) | (padded[i + 1] << 8) | padded[i + 2]
        out += bytes(uu_char(g >> s) for s in (18, 12, 6, 0))
    return bytes(out)


def uu_decode_line(line):
    """Decode one line; characters missing at the end decode as zero."""
    if not line:
        return b""
    count = (line[0] - 0x20) & 0x3F
    chars = line[1:]
    out = bytearray()
    i = 0
    while len(out) < count:
        group = 0
        for k in range(4):
            c = chars[i + k] if i + k < len(chars) else 0x20
            group = (group << 6) | ((c - 0x20) & 0x3F)
        out += bytes(((group >> 16) & 0xFF, (group >> 8) & 0xFF, group & 0xFF))
        i += 4
    return bytes(out[:count])


# ---------------------------------------------------------------------------
# Fault switches

class Countdown:
    """A switch that is off, on for the next N uses, or always on."""

    def __init__(self):
        self.remaining = 0   # -1 = always

    def set(self, word):
        if word in ("off", "0"):
            self.remaining = 0
        elif word == "once":
            self.remaining = 1
        elif word == "always":
            self.remaining = -1
        else:
            n = int(word)
            if n < 0:
                raise ValueError("count must not be negative")
            self.remaining = n

    def take(self):
        if self.remaining == 0:
            return False
        if self.remaining > 0:
            self.remaining -= 1
        return True

    def describe(self):
        return {0: "off", -1: "always"}.get(self.remaining, self.remaining)


class ByteDropper:
    """Drops every Nth byte, or the next N bytes."""

    def __init__(self):
        self.every = 0
        self.counter = 0
        self.next = 0
        self.dropped = 0

    def filter(self, data):
        if not self.every and not self.next:
            return data
        kept = bytearray()
        for b in data:
            if self.next:
                self.next -= 1
                self.dropped += 1
                continue
            if self.every:
                self.counter += 1
                if self.counter >= self.every:
                    self.counter = 0
                    self.dropped += 1
                    continue
            kept.append(b)
        return bytes(kept)

    def describe(self):
        return {"every": self.every, "next": self.next, "dropped": self.dropped}


class Faults:
    def __init__(self):
        self.clear()

    def clear(self):
        self.mute = False
        self.resend = Countdown()          # answer RESEND to W checksums
        self.read_checksum = Countdown()   # send a wrong checksum during R
        self.fail = {}                     # command letter -> (code or None, Countdown)
        self.drop_out = ByteDropper()
        self.drop_in = ByteDropper()
        self.delay_all = 0.0
        self.delay_cmd = {}                # command letter -> seconds
        self.refused_rates = set()         # B answers INVALID_BAUD_RATE for these
        self.stuck_rates = set()           # B answers success for these but the UART keeps its rate
        self.bad_words = set()             # flash word addresses that copies program wrongly

    def apply(self, words):
        """Apply one fault setting given as words; raises ValueError."""
        if not words:
            raise ValueError("empty fault setting")
        kind, args = words[0], words[1:]
        if kind == "clear" and not args:
            self.clear()
        elif kind == "mute" and len(args) == 1 and args[0] in ("on", "off"):
            self.mute = args[0] == "on"
        elif kind == "resend" and len(args) == 1:
            self.resend.set(args[0])
        elif kind == "read-checksum" and len(args) == 1:
            self.read_checksum.set(args[0])
        elif kind == "fail" and len(args) in (2, 3):
            cmd = args[0].upper()
            if args[1] == "off":
                self.fail.pop(cmd, None)
                return
            code = None if args[1] == "none" else int(args[1])
            if code is not None and not 0 <= code <= 255:
                raise ValueError("return code out of range")
            count = Countdown()
            count.set(args[2] if len(args) == 3 else "always")
            self.fail[cmd] = (code, count)
        elif kind in ("drop-out", "drop-in") and len(args) in (1, 2):
            dropper = self.drop_out if kind == "drop-out" else self.drop_in
            if args[0] == "off" and len(args) == 1:
                dropper.every = dropper.next = dropper.counter = 0
            elif args[0] == "every" and len(args) == 2:
                n = int(args[1])
                if n < 0 or n == 1:
                    raise ValueError("drop every N needs N >= 2 (0 = off)")
                dropper.every, dropper.counter = n, 0
            elif args[0] == "next" and len(args) == 2:
                n = int(args[1])
                if n < 0:
                    raise ValueError("count must not be negative")
                dropper.next = n
            else:
                raise ValueError("usage: %s off | every N | next N" % kind)
        elif kind in ("refuse-baud", "stuck-baud") and len(args) == 1:
            rates = self.refused_rates if kind == "refuse-baud" else self.stuck_rates
            if args[0] == "off":
                rates.clear()
            else:
                rates.add(int(args[0]))
        elif kind == "bad-word" and len(args) == 1:
            if args[0] == "off":
                self.bad_words.clear()
            else:
                address = int(args[0], 0)
                if address % 4 or not 0 <= address < FLASH_SIZE:
                    raise ValueError("bad-word needs a word address inside the flash")
                self.bad_words.add(address)
        elif kind == "delay" and len(args) in (1, 2):
            seconds = int(args[0]) / 1000.0
            if seconds < 0:
                raise ValueError("delay must not be negative")
            if len(args) == 1:
                self.delay_all = seconds
            elif seconds:
                self.delay_cmd[args[1].upper()] = seconds
            else:
                self.delay_cmd.pop(args[1].upper(), None)
        else:
            raise ValueError("unknown fault setting: %s" % " ".join(words))

    def take_failure(self, cmd):
        rule = self.fail.get(cmd)
        if rule and rule[1].take():
            return True, rule[0]
        return False, None

    def reply_delay(self, cmd):
        return self.delay_cmd.get(cmd, self.delay_all)

    def describe(self):
        return {
            "mute": self.mute,
            "resend": self.resend.describe(),
            "read-checksum": self.read_checksum.describe(),
            "fail": {k: {"code": v[0], "count": v[1].describe()} for k, v in self.fail.items()},
            "drop-out": self.drop_out.describe(),
            "drop-in": self.drop_in.describe(),
            "delay": int(self.delay_all * 1000),
            "delay-cmd": {k: int(v * 1000) for k, v in self.delay_cmd.items()},
            "refuse-baud": sorted(self.refused_rates),
            "stuck-baud": sorted(self.stuck_rates),
            "bad-word": sorted(self.bad_words),
        }


# ---------------------------------------------------------------------------
# The ISP command handler

class IspChip:
    """Byte-in, byte-out model of the boot ROM's ISP handler.

    `emit(data, delay)` is called with every byte string the chip sends;
    `delay` is extra time in seconds before it starts on the wire.
    """

    def __init__(self, emit, faults, serial=DEFAULT_SERIAL, part_id=PART_ID_LPC1768,
                 boot_version=DEFAULT_BOOT_VERSION, on_baud_change=None, timing="off"):
        self.emit_raw = emit
        self.set_timing(timing)
        self.faults = faults
        self.serial = tuple(serial)
        self.part_id = part_id
        self.boot_version = tuple(boot_version)
        self.on_baud_change = on_baud_change
        self.flash = bytearray([ERASED]) * FLASH_SIZE
        self.ram = {base: bytearray(size) for base, size in RAM_REGIONS}
        self.history = deque(maxlen=HISTORY_LIMIT)
        self.resets = 0
        self.commands = IspCommands(self)
        self.power_on()

    # -- state -------------------------------------------------------------
    def power_on(self):
        self.state = "autobaud"
        self.echo = True
        self.unlocked = False
        self.prepared = set()
        self.line = bytearray()
        self.transfer = None
        self.started_at = None
        self.reply_delay = 0.0
        self.busy_for = 0.0
        for region in self.ram.values():
            region[:] = bytes(len(region))
        self.resets += 1

    def set_timing(self, name):
        if name not in FLASH_TIMING:
            raise ValueError("timing is one of: %s" % ", ".join(FLASH_TIMING))
        self.timing_name = name
        self.timing = FLASH_TIMING[name]

    def flash_busy(self, seconds):
        """A flash operation of this length: the reply waits for it, and so does the UART."""
        self.reply_delay += seconds
        self.busy_for = seconds

    def status(self):
        return {
            "state": self.state,
            "timing": self.timing_name,
            "echo": self.echo,
            "unlocked": self.unlocked,
            "prepared": sorted(self.prepared),
            "started_at": self.started_at,
            "user_code_valid": self.user_code_valid(),
            "resets": self.resets,
            "serial": list(self.serial),
        }

    def user_code_valid(self):
        words = [int.from_bytes(self.flash[i:i + 4], "little") for i in range(0, 32, 4)]
        return sum(words) & 0xFFFFFFFF == 0

    # -- output ------------------------------------------------------------
    def send(self, text):
        if isinstance(text, str):
            text = text.encode("ascii")
        self.emit_raw(text, self.reply_delay)
        self.reply_delay = 0.0

    def send_sync_answer(self, text):
        """An answer of the synchronisation: late by the delay set for every reply."""
        self.reply_delay = self.faults.delay_all
        self.send(text)

    def reply(self, code, *extra):
        self.send("%d\r\n" % code + "".join("%s\r\n" % x for x in extra))

    # -- input -------------------------------------------------------------
    def feed(self, data):
        """Takes bytes until a flash operation makes the chip busy; returns the bytes not taken."""
        for i, b in enumerate(data):
            self.feed_byte(b)
            if self.busy_for:
                return bytes(data[i + 1:])
        return b""

    def take_busy(self):
        """The length of the flash operation just started (0 if none), once."""
        seconds, self.busy_for = self.busy_for, 0.0
        return seconds

    def feed_byte(self, b):
        if self.faults.mute or self.state == "running":
            return
        if self.state == "autobaud":
            if b == ord("?"):
                self.send_sync_answer("Synchronized\r\n")
                self.state = "sync_line"
            return
        if self.echo:
            self.emit_raw(bytes((b,)), 0.0)
        if b != 0x0A:
            if len(self.line) < MAX_LINE:
                self.line.append(b)
            return
        line = bytes(self.line).rstrip(b"\r")
        self.line.clear()
        self.handle_line(line)

    def handle_line(self, line):
        handler = {
            "sync_line": self.on_sync_line,
            "freq_line": self.on_freq_line,
            "command": self.on_command_line,
            "write_data": self.on_write_line,
            "read_ack": self.on_read_ack,
        }[self.state]
        handler(line)

    def on_sync_line(self, line):
        if line == b"Synchronized":
            self.send_sync_answer("OK\r\n")
            self.state = "freq_line"
        else:
            self.state = "autobaud"

    def on_freq_line(self, line):
        if line.isdigit():
            self.send_sync_answer("OK\r\n")
            self.state = "command"
        else:
            self.state = "autobaud"

    # -- command lines (IspCommands answers the commands) --------------------
    def on_command_line(self, line):
        text = line.decode("latin-1").strip()
        if not text:
            return
        words = text.split()
        cmd = words[0]
        self.reply_delay = self.faults.reply_delay(cmd)
        failed, code = self.faults.take_failure(cmd)
        if failed:
            self.history.append({"line": text, "code": code, "injected": True, "at": time.monotonic()})
            if code is not None:
                self.reply(code)
            self.reply_delay = 0.0
            return
        code = self.commands.run(cmd, words[1:])
        self.history.append({"line": text, "code": code, "at": time.monotonic()})
        self.reply_delay = 0.0

    # -- data phases -------------------------------------------------------
    def on_write_line(self, line):
        t = self.transfer
        if not line:
            return
        if t["want_sum"]:
            group = t["group"]
            try:
                given = int(line.decode("latin-1").strip(), 10)
            except ValueError:
                given = None
            good = given == sum(group) and not self.faults.resend.take()
            if good:
                ram, off = self.ram_slice(t["address"] + t["done"], len(group))
                ram[off:off + len(group)] = group
                t["done"] += len(group)
                self.send("OK\r\n")
            else:
                self.send("RESEND\r\n")
            t["group"] = bytearray()
            t["lines"] = 0
            t["want_sum"] = False
            if t["done"] >= t["count"]:
                self.transfer = None
                self.state = "command"
            return
        room = t["count"] - t["done"] - len(t["group"])
        t["group"] += uu_decode_line(line)[:max(room, 0)]
        t["lines"] += 1
        if t["lines"] >= LINES_PER_CHECKSUM or t["done"] + len(t["group"]) >= t["count"]:
            t["want_sum"] = True

    def send_read_group(self):
        t = self.transfer
        data = t["data"]
        start = t["done"]
        end = min(len(data), start + LINES_PER_CHECKSUM * BYTES_PER_LINE)
        out = bytearray()
        for i in range(start, end, BYTES_PER_LINE):
            out += uu_encode_line(data[i:min(i + BYTES_PER_LINE, end)]) + b"\r\n"
        checksum = sum(data[start:end])
        if self.faults.read_checksum.take():
            checksum += 1
        out += b"%d\r\n" % checksum
        t["group_end"] = end
        self.state = "read_ack"
        self.send(bytes(out))

    def on_read_ack(self, line):
        t = self.transfer
        word = line.strip()
        if word == b"OK":
            t["done"] = t["group_end"]
            if t["done"] >= len(t["data"]):
                self.transfer = None
                self.state = "command"
                return
            self.send_read_group()
        elif word == b"RESEND":
            self.send_read_group()
        elif word:
            # Anything else abandons the transfer.
            self.transfer = None
            self.state = "command"

    # -- memory ------------------------------------------------------------
    @staticmethod
    def valid_sectors(first, last):
        return 0 <= first <= last <= LAST_SECTOR

    @staticmethod
    def sectors_of(address, count):
        return [n for n, (start, size) in enumerate(SECTORS)
                if start < address + count and address < start + size]

    @staticmethod
    def overlaps_isp_ram(address, count):
        base, size = ISP_RESERVED_RAM
        return address < base + size and base < address + count

    def ram_slice(self, address, count):
        for base, region in self.ram.items():
            if base <= address and address + count <= base + len(region):
                return region, address - base
        return None

    def read_mapped(self, address, count):
        """Memory as the ISP handler sees it, or None when not mapped."""
        if 0 <= address and address + count <= FLASH_SIZE:
            data = bytearray(self.flash[address:address + count])
            for i in range(address, min(address + count, ROM_VECTOR_SIZE)):
                data[i - address] = ROM_VECTORS[i]
            return bytes(data)
        found = self.ram_slice(address, count)
        if found:
            region, off = found
            return bytes(region[off:off + count])
        return None


# ---------------------------------------------------------------------------
# The ISP commands: one handler per command letter, working on the chip's state

class IspCommands:
    """The ISP command table of an `IspChip`.

    A handler takes the command's arguments, answers through the chip and returns the code it
    answered with.
    """

    def __init__(self, chip):
        self.chip = chip
        self.table = {
            "U": self.unlock,
            "B": self.set_baud_rate,
            "A": self.set_echo,
            "W": self.write_to_ram,
            "R": self.read_memory,
            "P": self.prepare_sectors,
            "C": self.copy_ram_to_flash,
            "E": self.erase_sectors,
            "I": self.blank_check_sectors,
            "G": self.go,
            "J": self.read_part_id,
            "K": self.read_boot_code_version,
            "N": self.read_serial_number,
            "M": self.compare,
        }

    def run(self, cmd, words):
        """Answers one command with its argument words; returns the code answered."""
        handler = self.table.get(cmd)
        if handler is None:
            return self.fail(INVALID_COMMAND)
        try:
            # The go command's mode is a letter; every other argument is a decimal number.
            args = [int(w, 10) for w in words] if cmd != "G" else words
        except ValueError:
            return self.fail(PARAM_ERROR)
        return handler(args)

    def unlock(self, args):
        chip = self.chip
        if len(args) != 1:
            return self.fail(PARAM_ERROR)
        if args[0] != UNLOCK_CODE:
            return self.fail(INVALID_CODE)
        chip.unlocked = True
        return self.ok()

    def set_baud_rate(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        if args[0] not in BAUD_RATES or args[0] in chip.faults.refused_rates:
            return self.fail(INVALID_BAUD_RATE)
        if args[1] not in (1, 2):
            return self.fail(INVALID_STOP_BIT)
        self.ok()
        # The answer still leaves at the old rate; the new one holds from then on.
        if chip.on_baud_change:
            chip.on_baud_change(args[0], args[0] in chip.faults.stuck_rates)
        return CMD_SUCCESS

    def set_echo(self, args):
        chip = self.chip
        if len(args) != 1 or args[0] not in (0, 1):
            return self.fail(PARAM_ERROR)
        chip.echo = args[0] == 1
        return self.ok()

    def write_to_ram(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        address, count = args
        if address % 4:
            return self.fail(ADDR_ERROR)
        if count <= 0 or count % 4:
            return self.fail(COUNT_ERROR)
        if chip.ram_slice(address, count) is None:
            return self.fail(ADDR_NOT_MAPPED)
        if chip.overlaps_isp_ram(address, count):
            return self.fail(ADDR_ERROR)
        chip.transfer = {"address": address, "count": count, "done": 0,
                         "group": bytearray(), "lines": 0, "want_sum": False}
        self.ok()
        chip.state = "write_data"
        return CMD_SUCCESS

    def read_memory(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        address, count = args
        if address % 4:
            return self.fail(ADDR_ERROR)
        if count <= 0 or count % 4:
            return self.fail(COUNT_ERROR)
        data = chip.read_mapped(address, count)
        if data is None:
            return self.fail(ADDR_NOT_MAPPED)
        chip.transfer = {"data": data, "done": 0, "group_end": 0}
        self.ok()
        chip.send_read_group()
        return CMD_SUCCESS

    def prepare_sectors(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        if not chip.valid_sectors(*args):
            return self.fail(INVALID_SECTOR)
        chip.prepared.update(range(args[0], args[1] + 1))
        return self.ok()

    def copy_ram_to_flash(self, args):
        chip = self.chip
        if len(args) != 3:
            return self.fail(PARAM_ERROR)
        dst, src, count = args
        if not chip.unlocked:
            return self.fail(CMD_LOCKED)
        if dst % 256:
            return self.fail(DST_ADDR_ERROR)
        if src % 4:
            return self.fail(SRC_ADDR_ERROR)
        if count not in COPY_SIZES:
            return self.fail(COUNT_ERROR)
        if dst + count > FLASH_SIZE:
            return self.fail(DST_ADDR_NOT_MAPPED)
        source = chip.ram_slice(src, count)
        if source is None:
            return self.fail(SRC_ADDR_NOT_MAPPED)
        if not set(chip.sectors_of(dst, count)) <= chip.prepared:
            return self.fail(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION)
        region, offset = source
        # Programming can only turn ones into zeros.
        for i in range(count):
            chip.flash[dst + i] &= region[offset + i]
        for word in chip.faults.bad_words:
            if dst <= word < dst + count:
                self.misprogram(word)
        chip.prepared.clear()
        if chip.timing:
            chip.flash_busy(count // 256 * chip.timing["program_per_256"])
        return self.ok()

    def misprogram(self, address):
        """A word whose cells did not take: a bit that should have been cleared stays set (or,
        in a word of ones, one that should have stayed set is cleared). The copy reports success."""
        chip = self.chip
        value = int.from_bytes(chip.flash[address:address + 4], "little")
        zeros = ~value & 0xFFFFFFFF
        value = value | (zeros & -zeros) if zeros else value & ~1
        chip.flash[address:address + 4] = value.to_bytes(4, "little")

    def erase_sectors(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        if not chip.unlocked:
            return self.fail(CMD_LOCKED)
        first, last = args
        if not chip.valid_sectors(first, last):
            return self.fail(INVALID_SECTOR)
        if not set(range(first, last + 1)) <= chip.prepared:
            return self.fail(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION)
        start = SECTORS[first][0]
        end = SECTORS[last][0] + SECTORS[last][1]
        chip.flash[start:end] = bytes([ERASED]) * (end - start)
        chip.prepared.clear()
        if chip.timing:
            chip.flash_busy((last - first + 1) * chip.timing["erase_per_sector"])
        return self.ok()

    def blank_check_sectors(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        first, last = args
        if not chip.valid_sectors(first, last):
            return self.fail(INVALID_SECTOR)
        start = SECTORS[first][0]
        end = SECTORS[last][0] + SECTORS[last][1]
        view = chip.read_mapped(start, end - start)
        for off in range(0, len(view), 4):
            word = view[off:off + 4]
            if word != b"\xff\xff\xff\xff":
                chip.reply(SECTOR_NOT_BLANK, off, int.from_bytes(word, "little"))
                return SECTOR_NOT_BLANK
        return self.ok()

    def go(self, args):
        chip = self.chip
        if len(args) != 2:
            return self.fail(PARAM_ERROR)
        try:
            address = int(args[0], 10)
        except ValueError:
            return self.fail(PARAM_ERROR)
        if not chip.unlocked:
            return self.fail(CMD_LOCKED)
        if args[1] != "T":   # the Cortex-M3 only runs Thumb code
            return self.fail(PARAM_ERROR)
        if chip.read_mapped(address, 4) is None:
            return self.fail(ADDR_NOT_MAPPED)
        self.ok()
        chip.state = "running"
        chip.started_at = address
        return CMD_SUCCESS

    def read_part_id(self, args):
        chip = self.chip
        if args:
            return self.fail(PARAM_ERROR)
        chip.reply(CMD_SUCCESS, chip.part_id)
        return CMD_SUCCESS

    def read_boot_code_version(self, args):
        chip = self.chip
        if args:
            return self.fail(PARAM_ERROR)
        chip.reply(CMD_SUCCESS, *chip.boot_version)
        return CMD_SUCCESS

    def read_serial_number(self, args):
        chip = self.chip
        if args:
            return self.fail(PARAM_ERROR)
        chip.reply(CMD_SUCCESS, *chip.serial)
        return CMD_SUCCESS

    def compare(self, args):
        chip = self.chip
        if len(args) != 3:
            return self.fail(PARAM_ERROR)
        a, b, count = args
        if a % 4 or b % 4:
            return self.fail(ADDR_ERROR)
        if count <= 0 or count % 4:
            return self.fail(COUNT_ERROR)
        first = chip.read_mapped(a, count)
        second = chip.read_mapped(b, count)
        if first is None or second is None:
            return self.fail(ADDR_NOT_MAPPED)
        for off in range(0, count if first != second else 0, 4):
            if first[off:off + 4] != second[off:off + 4]:
                chip.reply(COMPARE_ERROR, off)
                return COMPARE_ERROR
        return self.ok()

    def ok(self):
        self.chip.reply(CMD_SUCCESS)
        return CMD_SUCCESS

    def fail(self, code):
        self.chip.reply(code)
        return code


# ---------------------------------------------------------------------------
# The pty side: event loop, pacing, control channel

class Simulator:
    def __init__(self, opts):
        self.opts = opts
        self.faults = Faults()
        for spec in opts.fault or []:
            self.faults.apply(spec.split())
        self.chip = IspChip(self.queue_output, self.faults,
                            serial=opts.serial, part_id=opts.part_id,
                            boot_version=opts.boot_version,
                            on_baud_change=self.on_baud_change, timing=opts.timing)
        if opts.flash_in:
            self.load_flash(opts.flash_in)
        self.on_close = opts.on_close
        self.set_pace(opts.pace)
        self.initial_pace = opts.pace
        self.out = deque()          # [not_before, bytearray]
        self.tx_clock = 0.0
        self.rx_clock = 0.0
        self.rx_backlog = False    # the last paced read left characters waiting on the line
        self.connected = False
        self.opens = 0
        self.closes = 0
        self.running = True
        self.bytes_in = 0
        self.bytes_out = 0
        self.busy_until = 0.0
        self.fifo = bytearray()    # what the UART holds while the chip is busy
        self.overruns = 0          # characters lost because the FIFO was full
        # The rate the chip's UART was set to with B (None: the rate it synchronised at, taken to
        # be the host's). Characters sent at another rate reach it as garbage and are lost.
        self.uart_rate = None
        self.pending_rate = None   # set by B, in force once its answer has left
        self.garbled = 0
        self.rate_changes = []
        self.chars_by_pace = {}    # line pace -> [characters in, characters out]
        self.control_requests = ControlRequests(self)

    # -- helpers -----------------------------------------------------------
    def set_pace(self, baud):
        self.pace = int(baud or 0)
        self.char_time = 10.0 / self.pace if self.pace else 0.0

    @staticmethod
    def line_base(clock, now):
        """Where the next character starts: right after the previous one while
        the line is busy (a late wake-up must not slow the line down), now
        once it has been idle."""
        return clock if clock > now - LINE_IDLE_SLACK else now

    def on_baud_change(self, baud, stuck=False):
        self.pending_rate = (self.host_rate() or baud) if stuck else baud
        if not self.out:
            self.apply_pending_rate()

    def apply_pending_rate(self):
        if self.pending_rate is None:
            return
        self.uart_rate, self.pending_rate = self.pending_rate, None
        self.rate_changes.append(self.uart_rate)
        if self.pace:
            self.set_pace(self.uart_rate)
        self.log("UART at %d baud" % self.uart_rate)

    def host_rate(self):
        try:
            return TERMIOS_RATES.get(termios.tcgetattr(self.master)[4])
        except (termios.error, OSError):
            return None

    def heard_at_the_wrong_rate(self):
        if self.uart_rate is None:
            return False
        host = self.host_rate()
        return host is not None and host != self.uart_rate

    def load_flash(self, path):
        with open(path, "rb") as f:
            data = f.read(FLASH_SIZE + 1)
        if len(data) > FLASH_SIZE:
            raise ValueError("flash image larger than 512 KB")
        self.chip.flash[:] = data + bytes([ERASED]) * (FLASH_SIZE - len(data))

    def dump_flash(self, path):
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(self.chip.flash)
        os.replace(tmp, path)

    def queue_output(self, data, delay):
        data = self.faults.drop_out.filter(data)
        if not data:
            return
        now = time.monotonic()
        not_before = now + delay
        if self.out and self.out[-1][0] >= not_before:
            self.out[-1][1].extend(data)
        else:
            self.out.append([not_before, bytearray(data)])

    def power_on(self):
        self.chip.power_on()
        self.busy_until = 0.0
        self.fifo.clear()
        self.out.clear()
        self.uart_rate = self.pending_rate = None
        self.set_pace(self.initial_pace)

    # -- setup -------------------------------------------------------------
    def open_pty(self):
        master, slave = os.openpty()
        tty.setraw(slave)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(master, False)
        self.master = master
        if self.opts.link:
            link = self.opts.link
            if os.path.islink(link):
                os.unlink(link)
            os.symlink(self.slave_path, link)

    def open_control(self):
        self.ctl = None
        self.ctl_clients = {}
        if not self.opts.control:
            return
        if os.path.exists(self.opts.control):
            os.unlink(self.opts.control)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(self.opts.control)
        s.listen(4)
        s.setblocking(False)
        self.ctl = s

    def cleanup(self):
        if self.opts.flash_out:
            self.dump_flash(self.opts.flash_out)
        for path in (self.opts.link, self.opts.control):
            if path and os.path.lexists(path):
                try:
                    os.unlink(path)
                except OSError:
                    pass

    # -- loop --------------------------------------------------------------
    def run(self):
        self.open_pty()
        self.open_control()
        ready = {"ready": True, "pty": self.slave_path, "link": self.opts.link,
                 "control": self.opts.control, "pid": os.getpid()}
        print(json.dumps(ready), flush=True)
        try:
            while self.running:
                self.step()
        finally:
            self.cleanup()

    def slave_open(self):
        p = select.poll()
        p.register(self.master, select.POLLIN)
        events = p.poll(0)
        return not any(ev & select.POLLHUP for _, ev in events)

    def handle_hangup(self):
        # Read what the host wrote before it closed; it still reached the chip.
        self.read_input(unlimited=True)
        self.connected = False
        self.closes += 1
        self.out.clear()
        self.apply_pending_rate()
        if self.opts.flash_out:
            self.dump_flash(self.opts.flash_out)
        if self.on_close == "reset":
            self.power_on()
        self.log("port closed (%s)" % self.on_close)
        end_exclusive_mode(self.slave_path)

    def step(self):
        now = time.monotonic()
        if not self.connected:
            if self.slave_open():
                self.connected = True
                self.opens += 1
                self.tx_clock = self.rx_clock = now
                self.rx_backlog = False
                self.log("port opened")
            else:
                if self.busy_until and now >= self.busy_until:
                    self.end_busy(now)
                    self.out.clear()   # nobody listens: the chip's answers are lost
                self.poll_control(0.01)
                return
        timeout = 0.05
        if self.busy_until:
            if now >= self.busy_until:
                self.end_busy(now)
            else:
                timeout = min(timeout, self.busy_until - now)
        want_out = False
        if self.out:
            head_time = self.out[0][0]
            start = max(head_time, self.tx_clock if self.pace else 0.0)
            if start <= now + 0.0005:
                # Due: the poll below wakes once the host's side takes characters again. A host
                # that does not read leaves its buffer full, and the chip waits on its line as a
                # real one does, without running: at this simulator's priority a wait that polled
                # without sleeping kept the host's programs from the processor.
                want_out = True
            else:
                timeout = min(timeout, start - now)
        can_read = not self.pace or self.rx_clock <= now + 0.0005
        if not can_read:
            timeout = min(timeout, self.rx_clock - now)
        fds = {}
        p = select.poll()
        mask = (select.POLLIN if can_read else 0) | (select.POLLOUT if want_out else 0)
        p.register(self.master, mask)
        fds[self.master] = "pty"
        if self.ctl:
            p.register(self.ctl, select.POLLIN)
            fds[self.ctl.fileno()] = "listen"
            for fd in self.ctl_clients:
                p.register(fd, select.POLLIN)
                fds[fd] = "client"
        events = p.poll(max(timeout, 0.0) * 1000.0)
        if can_read and not any(fd == self.master and ev & select.POLLIN for fd, ev in events):
            self.rx_backlog = False   # the line was seen empty: the next character starts it anew
        for fd, ev in events:
            kind = fds.get(fd)
            if kind == "pty":
                if ev & select.POLLHUP:
                    self.handle_hangup()
                    return
                if ev & select.POLLIN:
                    self.read_input()
                if ev & select.POLLOUT and self.connected:
                    self.write_output()
            elif kind == "listen":
                self.accept_control()
            elif kind == "client":
                self.serve_control(fd)

    def read_input(self, unlimited=False):
        limit = 4096
        now = time.monotonic()
        base = self.rx_clock if self.rx_backlog else self.line_base(self.rx_clock, now)
        if self.pace and not unlimited:
            # A wire delivers one character per character time. Characters left waiting by the
            # last read kept arriving while this process was held up: the UART took them, so
            # they are read at once (the line was never idle) instead of the wake-up being lost.
            limit = min(4096, max(1, int((now + 0.002 - base) / self.char_time)))
        try:
            data = os.read(self.master, limit)
        except BlockingIOError:
            return
        except OSError:
            return
        if not data:
            return
        if self.pace:
            self.rx_clock = base + len(data) * self.char_time
            self.rx_backlog = not unlimited and len(data) == limit
        self.bytes_in += len(data)
        self.chars_by_pace.setdefault(self.pace, [0, 0])[0] += len(data)
        if self.heard_at_the_wrong_rate():
            self.garbled += len(data)
            return
        data = self.faults.drop_in.filter(data)
        if now < self.busy_until:
            self.hold(data)
        else:
            self.feed_chip(data, now)

    def hold(self, data):
        room = max(UART_FIFO_SIZE - len(self.fifo), 0)
        self.fifo += data[:room]
        self.overruns += max(len(data) - room, 0)

    def feed_chip(self, data, now):
        rest = self.chip.feed(data)
        busy = self.chip.take_busy()
        if busy:
            self.busy_until = now + busy
            self.hold(rest)

    def end_busy(self, now):
        """The flash operation is over: the ISP handler reads what the UART kept."""
        while self.fifo and now >= self.busy_until:
            held, self.fifo = bytes(self.fifo), bytearray()
            self.feed_chip(held, now)
        if now >= self.busy_until:
            self.busy_until = 0.0

    def write_output(self):
        now = time.monotonic()
        head = self.out[0]
        if head[0] > now + 0.0005:
            return
        chunk = head[1]
        n = len(chunk)
        if self.pace:
            if self.tx_clock > now + 0.0005:
                return
            n = min(n, max(1, int(0.002 / self.char_time)))
        try:
            written = os.write(self.master, bytes(chunk[:n]))
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return
        del chunk[:written]
        self.bytes_out += written
        self.chars_by_pace.setdefault(self.pace, [0, 0])[1] += written
        if self.pace:
            self.tx_clock = self.line_base(self.tx_clock, now) + written * self.char_time
        if not chunk:
            self.out.popleft()
            if not self.out:
                self.apply_pending_rate()

    # -- control channel -----------------------------------------------------
    def poll_control(self, timeout):
        if not self.ctl:
            time.sleep(timeout)
            return
        fds = [self.ctl] + list(self.ctl_clients)
        readable, _, _ = select.select(fds, [], [], timeout)
        for r in readable:
            if r is self.ctl:
                self.accept_control()
            else:
                self.serve_control(r)

    def accept_control(self):
        try:
            conn, _ = self.ctl.accept()
        except BlockingIOError:
            return
        conn.setblocking(False)
        self.ctl_clients[conn.fileno()] = (conn, bytearray())

    def serve_control(self, fd):
        if not isinstance(fd, int):
            fd = fd.fileno() if hasattr(fd, "fileno") else fd
        conn, buf = self.ctl_clients[fd]
        try:
            data = conn.recv(4096)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            del self.ctl_clients[fd]
            conn.close()
            return
        buf += data
        while b"\n" in buf:
            line, _, rest = bytes(buf).partition(b"\n")
            buf[:] = rest
            reply = self.control_command(line.decode("utf-8", "replace").split())
            try:
                conn.setblocking(True)
                conn.sendall((json.dumps(reply) + "\n").encode())
                conn.setblocking(False)
            except OSError:
                pass

    def control_command(self, words):
        try:
            return self.control_requests.run(words)
        except (ValueError, OSError, IndexError) as e:
            return {"ok": False, "error": str(e)}

    def log(self, text):
        if self.opts.verbose:
            print("lpc_rom: " + text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The control channel's requests: one handler per verb, working on the simulator

class ControlRequests:
    """The control requests of a `Simulator`.

    A handler takes the words after the verb and returns the JSON answer, or None when they do
    not fit the request.
    """

    def __init__(self, sim):
        self.sim = sim
        self.table = {
            "status": self.status,
            "dump": self.dump,
            "load": self.load,
            "reset": self.reset,
            "history": self.history,
            "fault": self.fault,
            "pace": self.pace,
            "timing": self.timing,
            "on-close": self.on_close,
            "serial": self.serial,
            "quit": self.quit,
        }

    def run(self, words):
        if not words:
            raise ValueError("empty request")
        handler = self.table.get(words[0])
        reply = handler(words[1:]) if handler else None
        if reply is None:
            raise ValueError("unknown request: %s" % " ".join(words))
        return reply

    def status(self, args):
        sim = self.sim
        st = sim.chip.status()
        st.update({"ok": True, "connected": sim.connected, "opens": sim.opens,
                   "closes": sim.closes, "on_close": sim.on_close,
                   "pace": sim.pace, "bytes_in": sim.bytes_in,
                   "bytes_out": sim.bytes_out, "faults": sim.faults.describe(),
                   "busy": time.monotonic() < sim.busy_until, "overruns": sim.overruns,
                   "uart_rate": sim.uart_rate, "rate_changes": sim.rate_changes,
                   "garbled": sim.garbled,
                   "chars_by_pace": {str(k): v for k, v in sim.chars_by_pace.items()}})
        return st

    def dump(self, args):
        if len(args) != 1:
            return None
        self.sim.dump_flash(args[0])
        return {"ok": True}

    def load(self, args):
        if len(args) != 1:
            return None
        self.sim.load_flash(args[0])
        return {"ok": True}

    def reset(self, args):
        if args:
            return None
        self.sim.power_on()
        return {"ok": True}

    def history(self, args):
        history = self.sim.chip.history
        if not args:
            return {"ok": True, "history": [{k: v for k, v in entry.items() if k != "at"}
                                            for entry in history]}
        if args == ["timed"]:
            return {"ok": True, "history": list(history)}
        if args == ["clear"]:
            history.clear()
            return {"ok": True}
        return None

    def fault(self, args):
        self.sim.faults.apply(args)
        return {"ok": True, "faults": self.sim.faults.describe()}

    def pace(self, args):
        if len(args) != 1:
            return None
        self.sim.initial_pace = 0 if args[0] == "off" else int(args[0])
        self.sim.set_pace(self.sim.initial_pace)
        return {"ok": True}

    def timing(self, args):
        if len(args) != 1:
            return None
        self.sim.chip.set_timing(args[0])
        return {"ok": True}

    def on_close(self, args):
        if len(args) != 1 or args[0] not in ("reset", "keep"):
            return None
        self.sim.on_close = args[0]
        return {"ok": True}

    def serial(self, args):
        if len(args) != 4:
            return None
        self.sim.chip.serial = tuple(parse_word(w) for w in args)
        return {"ok": True}

    def quit(self, args):
        if args:
            return None
        self.sim.running = False
        return {"ok": True}


def parse_word(text):
    value = int(text, 0)
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("not a 32-bit word: %s" % text)
    return value


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Simulated NXP LPC17xx ISP boot ROM on a pty.")
    ap.add_argument("--link", help="symlink to create to the pty slave")
    ap.add_argument("--control", help="Unix socket path for run-time control")
    ap.add_argument("--flash-in", help="preload flash from this file (rest erased)")
    ap.add_argument("--flash-out", help="write flash here on every port close and at exit")
    ap.add_argument("--on-close", choices=("reset", "keep"), default="reset",
                    help="what a host closing the port does to the chip (default: reset)")
    ap.add_argument("--pace", type=int, default=0, metavar="BAUD",
                    help="pace both directions at BAUD, 10 bits per character")
    ap.add_argument("--timing", choices=sorted(FLASH_TIMING), default="off",
                    help="flash erase and program times: off (answer at once), datasheet "
                         "(typical: 100 ms a sector, 1 ms per 256 bytes) or slowest (maximum)")
    ap.add_argument("--serial", nargs=4, type=parse_word, default=list(DEFAULT_SERIAL),
                    metavar="WORD", help="the four words answered to N")
    ap.add_argument("--part-id", type=parse_word, default=PART_ID_LPC1768)
    ap.add_argument("--boot-version", nargs=2, type=int, default=list(DEFAULT_BOOT_VERSION),
                    metavar=("MAJOR", "MINOR"))
    ap.add_argument("--fault", action="append", metavar="SETTING",
                    help='fault setting as on the control channel, e.g. "resend once"')
    ap.add_argument("-v", "--verbose", action="store_true")
    opts = ap.parse_args(argv)
    try:
        for spec in opts.fault or []:
            Faults().apply(spec.split())
    except ValueError as e:
        ap.error(str(e))
    return opts


def main(argv=None):
    opts = parse_args(sys.argv[1:] if argv is None else argv)
    run_ahead_of_the_host()
    sim = Simulator(opts)

    def stop(signum, frame):
        sim.running = False
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    sim.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
