"""A small host side for driving the module simulator from Python tests.

It speaks the host's half of the wire: packet framing, link start/stop, magic
query, heartbeat replies, UEI requests, the upgrade packets and the UDP
discovery request.  Every wait has a time-out.
"""

import json
import os
import select
import signal
import socket
import subprocess
import threading
import time

SIM_DIR = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"

SYNC_PATTERN = bytes([0xAD, 0x00] * 6)
LINK_START = bytes([0xAF, 0x01, 0x01])
LINK_STOP = bytes([0xAF, 0x01, 0x00])
MAGIC_QUERY = bytes([0xAD, 0x00])
DISCOVERY_REQUEST = bytes([1] + [0] * 15)


class SimProcess:
    """module_sim.py as a child process; stopped by its pid. enter wraps its command line (into
    a network namespace, say) and must exec it, so that the pid stays the simulator's."""

    def __init__(self, args, timeout=10.0, env=None, enter=None):
        command = [PYTHON, os.path.join(SIM_DIR, "module_sim.py")] + list(args)
        self.proc = subprocess.Popen(enter(command) if enter else command,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.ready = self._read_ready(timeout)
        self.control = Control(self.ready["control"]["port"])

    def _read_ready(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            readable, _, _ = select.select([self.proc.stdout], [], [], max(0.0, left))
            if not readable:
                self.stop()
                raise TimeoutError("module simulator not ready within %.1f s" % timeout)
            chunk = os.read(self.proc.stdout.fileno(), 1)
            if not chunk:
                err = self.proc.stderr.read().decode(errors="replace")
                self.proc.wait(timeout=5)
                raise RuntimeError("module simulator ended: %s" % err.strip())
            line += chunk
        return json.loads(line)

    def module(self, serial):
        for m in self.ready["modules"]:
            if m["serial"] == serial:
                return m
        raise KeyError(serial)

    def stop(self, timeout=10.0):
        """SIGTERM, wait; SIGKILL by pid if it does not end. Returns the exit status."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=timeout)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        return self.proc.returncode


class Control:
    """Line client of the simulator's control channel."""

    def __init__(self, port, timeout=5.0):
        self.port = port
        self.timeout = timeout

    def __call__(self, line):
        with socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout) as sock:
            sock.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = sock.recv(65536)
                if not chunk:
                    break
                answer += chunk
        text = answer.decode().strip()
        if text == "ok":
            return None
        if text.startswith("ok "):
            return json.loads(text[3:])
        raise RuntimeError("control command %r failed: %s" % (line, text))

    def state(self, serial):
        return self(f"state {serial}")

    def wait_for(self, serial, predicate, timeout=5.0, interval=0.05):
        """Polls the module's state until predicate(state) holds; returns the state."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.state(serial)
            if predicate(state):
                return state
            if time.monotonic() > deadline:
                raise TimeoutError("state of %s never matched: %s" % (serial, state))
            time.sleep(interval)


class HostLink:
    """One TCP connection to a module, read by a thread that frames the module's packets.

    Heartbeats (address, 2, 0x00, b) are answered with b + 2 unless answer_heartbeats is
    False; heartbeat_reply may be set to a function b -> reply value.  Every other frame
    is queued for expect().
    """

    def __init__(self, ip, port, timeout=5.0, answer_heartbeats=True):
        self.sock = socket.create_connection((ip, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.answer_heartbeats = answer_heartbeats
        self.heartbeat_reply = lambda b: (b + 2) & 0xFF
        self.heartbeats = []
        self.frames = []
        self.junk = bytearray()
        self.closed = None      # reason once the module ended the connection
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        state, address, length, data = 0, 0, 0, bytearray()
        self.sock.settimeout(0.2)
        while True:
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                if self.closed:
                    return
                continue
            except OSError as exc:
                self._end("reset" if isinstance(exc, ConnectionResetError) else str(exc))
                return
            if not chunk:
                self._end("eof")
                return
            for b in chunk:
                if state == 0:
                    if b == 0 or b & 1:
                        with self._cond:
                            self.junk.append(b)
                        continue
                    address, state = b, 1
                elif state == 1:
                    if b > 28:
                        with self._cond:
                            self.junk += bytes([address, b])
                        state = 0
                        continue
                    length, data, state = b, bytearray(), 2
                    if length == 0:
                        self._frame(address, bytes(data))
                        state = 0
                else:
                    data.append(b)
                    if len(data) == length:
                        self._frame(address, bytes(data))
                        state = 0

    def _end(self, reason):
        with self._cond:
            self.closed = reason
            self._cond.notify_all()

    def _frame(self, address, data):
        if len(data) == 2 and data[0] == 0:
            with self._cond:
                self.heartbeats.append((address, data[1]))
                self._cond.notify_all()
            if self.answer_heartbeats:
                try:
                    self.send(bytes([address, 2, 0, self.heartbeat_reply(data[1]) & 0xFF]))
                except OSError:
                    pass  # closed meanwhile
            return
        with self._cond:
            self.frames.append((address, data))
            self._cond.notify_all()

    def send(self, raw):
        self.sock.sendall(bytes(raw))

    def send_packet(self, address, data):
        self.send(bytes([address, len(data)]) + bytes(data))

    def expect(self, match=None, timeout=2.0):
        """First queued frame (address, data) accepted by match; None after the time-out."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i, item in enumerate(self.frames):
                    if match is None or match(*item):
                        return self.frames.pop(i)
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    return None
                self._cond.wait(left)

    def expect_prefix(self, prefix, timeout=2.0):
        prefix = bytes(prefix)
        return self.expect(lambda a, d: d[:len(prefix)] == prefix, timeout)

    def request(self, address, data, prefix=None, timeout=2.0):
        """Sends a packet and waits for the reply whose data begin with prefix (default: data[:2])."""
        self.send_packet(address, data)
        found = self.expect_prefix(bytes(data[:2]) if prefix is None else prefix, timeout)
        return None if found is None else found[1]

    def wait_heartbeats(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.heartbeats) < count:
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    return False
                self._cond.wait(left)
        return True

    def wait_closed(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self.closed:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._cond.wait(left)
            return self.closed

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass
        self._end(self.closed or "closed by host")
        self._reader.join(timeout=2)


# ---- UEI -------------------------------------------------------------------------

def uei_get(option, index=0, subindex=None):
    data = bytes([0x03, 0x40 | option, 0x20 | index])
    return data + (bytes([subindex]) if subindex is not None else b"")


def uei_set8(option, value, index=0):
    return bytes([0x03, 0x80 | option, 0x20 | index, value])


def uei_call(option, index=0):
    return bytes([0x03, 0x80 | option, 0x20 | index])


def get_uei(link, address, option, subindex=None, timeout=2.0):
    """Returns the reply data of a system-entity get (command, option, specifier, value...)."""
    return link.request(address, uei_get(option, 0, subindex), prefix=bytes([0x03, option]),
                        timeout=timeout)


def set_uei8(link, address, option, value, timeout=2.0):
    """Returns the reply data of a system-entity 8-bit set (its option byte has bits 6 and 7)."""
    return link.request(address, uei_set8(option, value), prefix=bytes([0x03, 0xC0 | option]),
                        timeout=timeout)


# ---- upgrade ---------------------------------------------------------------------

UPGRADE = 0x5F


def upgrade_block(link, address, data, resend_limit=10, timeout=2.0):
    """DATA packets of at most 26 bytes, each resent (bounded) until its count is right,
    then SUM.  Returns (local sum, module status, module sum, resends)."""
    total, resends, offset = 0, 0, 0
    while offset < len(data):
        chunk = data[offset:offset + 26]
        reply = link.request(address, bytes([UPGRADE, 1]) + chunk, timeout=timeout)
        if reply is None:
            raise TimeoutError("no DATA reply at offset %d" % offset)
        if reply[2] != len(chunk):
            resends += 1
            if resends > resend_limit:
                raise RuntimeError("DATA count stays wrong")
            continue
        total = (total + sum(chunk)) & 0xFFFFFFFF
        offset += len(chunk)
    reply = link.request(address, bytes([UPGRADE, 4]), prefix=bytes([UPGRADE, 7]), timeout=timeout)
    if reply is None:
        raise TimeoutError("no SUM reply")
    return total, reply[2], int.from_bytes(reply[3:7], "big"), resends


def upgrade_prepare(link, address, load_address, flags=0, timeout=2.0):
    """Returns (status, block size) or None without a reply."""
    reply = link.request(address, bytes([UPGRADE, 3, flags]) + load_address.to_bytes(4, "big"),
                         prefix=bytes([UPGRADE, 7]), timeout=timeout)
    if reply is None:
        return None
    return reply[2], int.from_bytes(reply[3:5], "big")


def upgrade_write(link, address, length, timeout=2.0):
    reply = link.request(address, bytes([UPGRADE, 5]) + length.to_bytes(2, "big"),
                         prefix=bytes([UPGRADE, 7]), timeout=timeout)
    return None if reply is None else reply[2]


# ---- discovery -------------------------------------------------------------------

def discover(iface_ip, wait=1.0, request=DISCOVERY_REQUEST):
    """Multicasts one request from iface_ip to 232.2.2.2:9888 and collects the replies
    arriving on port 9889 within `wait` seconds: [(source ip, datagram)]."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("", 9889))
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sender.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface_ip))
        sender.sendto(request, ("232.2.2.2", 9888))
        sender.close()
        replies = []
        deadline = time.monotonic() + wait
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return replies
            readable, _, _ = select.select([listener], [], [], left)
            if readable:
                data, (src, _) = listener.recvfrom(2048)
                replies.append((src, data))
    finally:
        sender.close()
        listener.close()


def read_log(path):
    """Packet log lines split into (time, who, kind, rest)."""
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 3)
            if len(parts) == 4:
                rows.append((float(parts[0]), parts[1], parts[2], parts[3]))
    return rows
