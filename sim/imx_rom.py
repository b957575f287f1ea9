#!/usr/bin/python3
"""Simulated i.MX boot ROM on a pseudo-terminal (Serial Download Protocol over a UART).

The protocol lives in imx_sdp.py; this file is the UART front end: a pty whose
slave path is published through a stable symlink, a control socket for
switching faults at run time, output pacing at the line rate, and dumps of
what was written into the simulated memory.

    imx_rom.py --link /tmp/x/ttyIMX [--control /tmp/x/ctl] [--dump-dir DIR]
               [--pace] [--pace-input] [--fault NAME[=VALUE]]... [--set KEY=VALUE]...

When ready it prints one line on standard output:
    imx_rom ready port=<link> tty=<slave path> control=<socket path or ->
When the host closes the port the ROM is reset (memory and records kept), or
with `--set on-close=keep` left as it is (inside a data phase, as the silicon).
SIGTERM or SIGINT ends it; with --dump-dir it dumps before leaving.
See sim/README.md for the control commands.
"""

import argparse
import errno
import json
import os
import select
import signal
import socket
import sys
import termios
import time
import tty

sys.dont_write_bytecode = True     # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import imx_sdp  # noqa: E402
from part_priority import run_ahead_of_the_host  # noqa: E402
from pty_exclusive import end_exclusive_mode  # noqa: E402

LINE_RATE = 115200
BITS_PER_CHARACTER = 10
BYTE_TIME = BITS_PER_CHARACTER / LINE_RATE
IDLE_POLL_S = 0.02          # how often to look for a host while the port is closed
READ_CHUNK = 4096
LINE_IDLE_SLACK_S = 0.005   # a paced line from the host idle no longer than this is still busy
FAULTS = ("silent", "short-status", "chatter", "reject")


class OutputPacer:
    """Byte timing of the line towards the host."""

    def __init__(self):
        self.line_free = 0.0

    def schedule(self, count, now):
        """Start time of a block of `count` bytes queued at `now`; the block
        occupies the line for count byte times."""
        start = max(self.line_free, now)
        self.line_free = start + count * BYTE_TIME
        return start


class InputPacer:
    """Byte timing of the line from the host: a read takes no more than the line carried since
    the last byte taken. A UART keeps receiving while its chip is held up, so after a read that
    left bytes waiting the clock goes on from the last byte and the backlog of a late wake-up is
    read at once. Only a read that found fewer bytes than allowed (the line seen empty) lets the
    line go idle; its next byte starts the clock anew, right after the previous byte when that
    ended moments ago (a host writing frame after frame keeps the line busy), else now."""

    def __init__(self):
        self.idle = True
        self.line_free = 0.0    # when the last byte taken left the line

    def _start(self, now):
        if self.idle and self.line_free < now - LINE_IDLE_SLACK_S:
            return now
        return self.line_free

    def allowance(self, now):
        carried = int((now - self._start(now)) / BYTE_TIME)
        return max(carried, 1) if self.idle else carried

    def wait(self, now):
        """Seconds until the next byte is due; None while idle."""
        if self.idle:
            return None
        return self.line_free + BYTE_TIME - now

    def taken(self, count, wanted, now):
        if count:
            self.line_free = self._start(now) + count * BYTE_TIME
        self.idle = count < wanted


class RomPort:
    def __init__(self, args):
        self.rom = imx_sdp.SdpRom(imx_sdp.Settings(), hid=False)
        self.link = args.link
        self.control_path = args.control
        self.dump_dir = args.dump_dir
        self.pace = False
        self.pace_input = False
        self.out = []               # [start time (None: unpaced), bytearray]
        self.out_pacer = OutputPacer()
        self.in_pacer = InputPacer()
        self.connected = False
        self.running = True
        self.clients = {}           # socket -> bytearray of pending input
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.tty_name = os.ttyname(slave)
        os.close(slave)             # keep only the master: a host close then shows as EIO
        os.set_blocking(self.master, False)
        self._publish_link()
        self.listener = self._open_control()
        self.wake_r, self.wake_w = os.pipe()     # signal wake-up for poll()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)

    # ---- set-up and tear-down ---------------------------------------------

    def _publish_link(self):
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(self.tty_name, tmp)
        os.replace(tmp, self.link)

    def _open_control(self):
        if not self.control_path:
            return None
        if os.path.lexists(self.control_path):
            os.unlink(self.control_path)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(self.control_path)
        listener.listen(4)
        listener.setblocking(False)
        return listener

    def close(self):
        for client in list(self.clients):
            client.close()
        if self.listener:
            self.listener.close()
            _unlink_quietly(self.control_path)
        if os.path.islink(self.link) and os.readlink(self.link) == self.tty_name:
            _unlink_quietly(self.link)
        os.close(self.master)
        os.close(self.wake_r)
        os.close(self.wake_w)

    # ---- settings ---------------------------------------------------------

    def apply(self, key, value):
        if key == "pace":
            self.pace = imx_sdp._on_off(value)
        elif key == "pace-input":
            self.pace_input = imx_sdp._on_off(value)
        else:
            self.rom.settings.apply(key, value)

    def describe(self):
        settings = self.rom.settings.describe()
        settings.update({"pace": self.pace, "pace-input": self.pace_input})
        return settings

    # ---- main loop --------------------------------------------------------

    def run(self):
        while self.running:
            now = time.monotonic()
            timeout = self._poll_timeout(now)
            poller = select.poll()
            poller.register(self.wake_r, select.POLLIN)
            if self.listener:
                poller.register(self.listener, select.POLLIN)
            for client in self.clients:
                poller.register(client, select.POLLIN)
            master_events = self._master_events(now)
            if master_events:
                poller.register(self.master, master_events)
            try:
                events = poller.poll(None if timeout is None else timeout * 1000)
            except InterruptedError:
                continue
            for fd, event in events:
                if fd == self.wake_r:
                    _drain(self.wake_r)
                elif self.listener and fd == self.listener.fileno():
                    self._accept()
                elif fd != self.master:
                    self._serve_client(fd)
            if not self.connected:
                self._look_for_host()
            if self.connected:
                self._read_host()
            if self.connected:
                self._write_host()

    def _master_events(self, now):
        if not self.connected:
            return 0
        events = 0
        if not self.pace_input or self.in_pacer.idle:
            events |= select.POLLIN     # paced and busy: the time-out drives reads
        if self.out and (self.out[0][0] is None or self._due_bytes(now) > 0):
            events |= select.POLLOUT
        return events

    def _poll_timeout(self, now):
        """Seconds until something is due; None: wait for events only."""
        waits = []
        if not self.connected:
            waits.append(IDLE_POLL_S)
        else:
            # only waits for the line; ready work is signalled by poll itself
            if self.pace_input and not self.in_pacer.idle:
                waits.append(self.in_pacer.wait(now))
            if self.out and self.out[0][0] is not None and self._due_bytes(now) <= 0:
                waits.append(self.out[0][0] + BYTE_TIME - now)
        return max(0.0, min(waits)) if waits else None

    # ---- the host side of the pty -----------------------------------------

    def _look_for_host(self):
        """While the port is closed a read fails with EIO; EAGAIN means a
        host has opened it."""
        wanted = 1 if self.pace_input else READ_CHUNK
        try:
            data = os.read(self.master, wanted)
        except BlockingIOError:
            self.connected = True
            return
        except OSError as err:
            if err.errno == errno.EIO:
                return
            raise
        self.connected = True
        if data:
            self.in_pacer.taken(len(data), wanted, time.monotonic())
            self._feed(data)

    def _read_host(self):
        limit = READ_CHUNK
        now = time.monotonic()
        if self.pace_input:
            limit = min(limit, self.in_pacer.allowance(now))
            if limit <= 0:
                return
        try:
            data = os.read(self.master, limit)
        except BlockingIOError:
            self.in_pacer.taken(0, limit, now)
            return
        except OSError as err:
            if err.errno == errno.EIO:
                self._host_closed()
                return
            raise
        if not data:
            self._host_closed()
            return
        self.in_pacer.taken(len(data), limit, now)
        self._feed(data)

    def _feed(self, data):
        for _, payload in self.rom.feed(data):
            self._queue(payload)

    def _queue(self, payload):
        if not payload:
            return
        start = self.out_pacer.schedule(len(payload), time.monotonic()) if self.pace else None
        self.out.append([start, bytearray(payload)])

    def _due_bytes(self, now):
        start, data = self.out[0]
        if start is None:
            return len(data)
        return min(len(data), int((now - start) / BYTE_TIME + 1e-9))

    def _write_host(self):
        while self.out:
            now = time.monotonic()
            count = self._due_bytes(now)
            if count <= 0:
                return
            entry = self.out[0]
            try:
                written = os.write(self.master, bytes(entry[1][:count]))
            except BlockingIOError:
                return
            except OSError as err:
                if err.errno == errno.EIO:
                    self._host_closed()
                    return
                raise
            del entry[1][:written]
            if entry[0] is not None:
                entry[0] += written * BYTE_TIME
            if not entry[1]:
                self.out.pop(0)
            if written < count:
                return

    def _host_closed(self):
        self.connected = False
        self.out.clear()
        self.out_pacer = OutputPacer()
        self.in_pacer = InputPacer()
        try:
            termios.tcflush(self.master, termios.TCIOFLUSH)
        except termios.error:
            pass
        self.rom.host_closed()
        end_exclusive_mode(self.tty_name)

    # ---- control channel --------------------------------------------------

    def _accept(self):
        try:
            client, _ = self.listener.accept()
        except BlockingIOError:
            return
        client.setblocking(False)
        self.clients[client] = bytearray()

    def _serve_client(self, fd):
        client = next((c for c in self.clients if c.fileno() == fd), None)
        if client is None:
            return
        try:
            data = client.recv(4096)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            del self.clients[client]
            client.close()
            return
        pending = self.clients[client]
        pending += data
        while b"\n" in pending:
            line, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            answer = self.control(line.decode("utf-8", "replace").strip())
            try:
                client.setblocking(True)
                client.sendall(answer.encode() + b"\n")
                client.setblocking(False)
            except OSError:
                del self.clients[client]
                client.close()
                return

    def control(self, line):
        """One control command; returns the answer line."""
        words = line.split(None, 2)
        if not words:
            return "error empty command"
        verb = words[0]
        try:
            if verb == "set" and len(words) >= 2:
                self.apply(words[1], words[2] if len(words) > 2 else "on")
                return "ok"
            if verb == "fault" and len(words) >= 2:
                name, _, value = words[1].partition("=")
                if name not in FAULTS:
                    return "error unknown fault %s" % name
                self.apply(name, value or (words[2] if len(words) > 2 else "on"))
                return "ok"
            if verb == "clear":
                for name in FAULTS:
                    self.apply(name, "off")
                return "ok"
            if verb == "get":
                return "ok " + json.dumps(self.describe())
            if verb == "state":
                return "ok " + json.dumps(self.rom.state())
            if verb == "read" and len(words) == 3:
                address, count = imx_sdp.parse_int(words[1]), imx_sdp.parse_int(words[2])
                if not 0 <= count <= imx_sdp.MAX_READ_COUNT:
                    return "error count out of range"
                return "ok " + self.rom.memory.read(address, count).hex()
            if verb == "reset":
                self.rom.reset()
                return "ok"
            if verb == "dump":
                if not self.dump_dir:
                    return "error no --dump-dir"
                self.dump()
                return "ok " + self.dump_dir
        except ValueError as err:
            return "error %s" % err
        return "error unknown command %s" % line

    # ---- dumps ------------------------------------------------------------

    def dump(self):
        """state.json and one mem_XXXXXXXX.bin per written region."""
        os.makedirs(self.dump_dir, exist_ok=True)
        for name in os.listdir(self.dump_dir):
            if name.startswith("mem_") and name.endswith(".bin"):
                os.unlink(os.path.join(self.dump_dir, name))
        state = self.rom.state()
        for region, (start, data) in zip(state["regions"], self.rom.memory.written_regions()):
            region["file"] = "mem_%08X.bin" % start
            with open(os.path.join(self.dump_dir, region["file"]), "wb") as f:
                f.write(data)
        state["settings"] = self.describe()
        tmp = os.path.join(self.dump_dir, "state.json.tmp")
        with open(tmp, "w") as f:
            json.dump(state, f, indent=1)
        os.replace(tmp, os.path.join(self.dump_dir, "state.json"))


def _drain(fd):
    try:
        while os.read(fd, 256):
            pass
    except BlockingIOError:
        pass


def _unlink_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def parse_args(argv):
    p = argparse.ArgumentParser(description="Simulated i.MX boot ROM (SDP over a UART) on a pty")
    p.add_argument("--link", required=True, help="symlink to create to the pty slave")
    p.add_argument("--control", help="Unix socket path of the control channel")
    p.add_argument("--dump-dir", help="directory for memory dumps (written on exit and on 'dump')")
    p.add_argument("--pace", action="store_true", help="send at the 115200-baud line rate")
    p.add_argument("--pace-input", action="store_true",
                   help="consume input no faster than the 115200-baud line rate")
    p.add_argument("--fault", action="append", default=[], metavar="NAME[=VALUE]",
                   help="start with a fault: " + ", ".join(FAULTS))
    p.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                   help="start with a setting (" + ", ".join(imx_sdp.Settings.KEYS) + ")")
    p.add_argument("--banner", help="text printed after a jump (escapes such as \\r\\n allowed)")
    p.add_argument("--fingerprint", metavar="LOW,HIGH",
                   help="words read at 0x401F4410 and 0x401F4420")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    run_ahead_of_the_host()
    port = RomPort(args)
    try:
        settings = [s.partition("=")[::2] for s in args.set]
        for fault in args.fault:
            name, _, value = fault.partition("=")
            if name not in FAULTS:
                raise ValueError("unknown fault %s" % name)
            settings.append((name, value or "on"))
        if args.banner is not None:
            settings.append(("banner", args.banner))
        if args.fingerprint:
            settings.append(("fingerprint", args.fingerprint))
        if args.pace:
            settings.append(("pace", "on"))
        if args.pace_input:
            settings.append(("pace-input", "on"))
        for key, value in settings:
            port.apply(key, value)
    except ValueError as err:
        port.close()
        print("imx_rom: %s" % err, file=sys.stderr)
        return 2

    def stop(signum, frame):
        port.running = False
    signal.set_wakeup_fd(port.wake_w)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    print("imx_rom ready port=%s tty=%s control=%s"
          % (args.link, port.tty_name, args.control or "-"), flush=True)
    try:
        port.run()
    finally:
        if args.dump_dir:
            port.dump()
        port.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
