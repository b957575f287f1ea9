#!/usr/bin/python3
"""Simulated Halyard modules on TCP/IP: link service, UDP discovery, control channel.

    module_sim.py [--config FILE] [--module KEY=VALUE,...]... [--behind KEY=VALUE,...]...
                  [--iface ADDRESS] [--packet-log FILE] [--dump-dir DIR] [--control-port N]

Once every socket is bound it prints one JSON line on stdout ({"event": "ready", ...})
with the ports it serves on, then runs until SIGTERM, SIGINT or the control command
"quit".  See sim/README.md for the configuration keys and the control commands.
"""

import argparse
import errno
import heapq
import ipaddress
import json
import os
import selectors
import signal
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from halyard_module import (  # noqa: E402
    SETTINGS, HalyardModule, ModuleFace, ModuleSession, PacketLog, parse_serial)
from part_priority import run_ahead_of_the_host  # noqa: E402

DISCOVERY_GROUP = "232.2.2.2"
DISCOVERY_PORT = 9888
DISCOVERY_REPLY_PORT = 9889
DISCOVERY_REQUEST = 1
DISCOVERY_REPLY_MARK = 2
MAX_WAIT_S = 0.5

IDENTITY_KEYS = ("serial", "model", "address", "version", "build", "uid", "start_in_loader")
FRONT_KEYS = ("port", "ip", "behind", "faults")


class ConfigError(Exception):
    pass


def in_private_netns():
    """True inside the network namespace that netns_run.sh made (it exports its inode)."""
    expected = os.environ.get("HALYARD_NETNS_INODE", "")
    try:
        return expected.isdigit() and os.stat("/proc/self/ns/net").st_ino == int(expected)
    except OSError:
        return False


def is_loopback(address):
    return ipaddress.ip_address(address).is_loopback


class Connection:
    """One accepted TCP connection carrying a ModuleSession."""

    def __init__(self, sim, sock, module):
        self.sim = sim
        self.sock = sock
        self.out = bytearray()
        self.open = True
        self.session = ModuleSession(module, self.write, self._close_from_module)

    def write(self, data):
        if not self.open:
            return
        self.out += data
        self.flush()

    def flush(self):
        while self.out and self.open:
            try:
                sent = self.sock.send(self.out)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:
                self.sim.drop_connection(self, "lost while sending")
                return
            del self.out[:sent]
        if self.open:
            events = selectors.EVENT_READ | (selectors.EVENT_WRITE if self.out else 0)
            self.sim.selector.modify(self.sock, events, self)

    def _close_from_module(self, reset):
        self.sim.end_connection(self, reset)


class Simulator(ModuleFace):
    def __init__(self, config):
        self.config = config
        self.selector = selectors.DefaultSelector()
        self.timers = []
        self.timer_seq = 0
        self.running = True
        self.log = PacketLog(config.get("packet_log"))
        self.iface = config.get("iface")
        self.answer_own_address = bool(config.get("answer_own_address", False))
        self.private = in_private_netns()
        self.modules = []          # link-end modules in configuration order
        self.by_label = {}         # every module, behind ones included
        self.endpoints = {}        # label -> (ip, port)
        self.listeners = {}        # label -> listening socket
        self.connections = set()
        self.udp_out = {}          # ip -> socket used to send discovery replies
        self.discovery = None
        self.control = None
        self.control_commands = ControlCommands(self)
        self._build_modules(config)

    # ---- configuration -----------------------------------------------------------

    def _build_modules(self, config):
        entries = config.get("modules") or []
        if not entries:
            raise ConfigError("no module configured")
        default_ip = self.iface or "127.0.0.1"
        for entry in entries:
            module = self._make_module(entry, None)
            ip = entry.get("ip", default_ip)
            if not self.private and not is_loopback(ip):
                raise ConfigError("outside a private network namespace modules may only listen on "
                                  "loopback addresses (got %s); run under sim/netns_run.sh" % ip)
            self.endpoints[module.label] = (ip, int(entry.get("port", 0)))
            for behind in entry.get("behind", []):
                module.add_behind(self._make_module(behind, module))
            self.modules.append(module)
        if self.iface and not self.private:
            raise ConfigError("discovery answers multicast and runs only inside a private network "
                              "namespace; run under sim/netns_run.sh")

    def _make_module(self, entry, router):
        unknown = set(entry) - set(IDENTITY_KEYS) - set(FRONT_KEYS) - set(SETTINGS)
        if unknown:
            raise ConfigError("unknown module keys: %s" % ", ".join(sorted(unknown)))
        if "serial" not in entry:
            raise ConfigError("a module needs a serial number")
        settings = {k: v for k, v in entry.items() if k in SETTINGS}
        for name, value in self.config.get("defaults", {}).items():
            settings.setdefault(name, value)
        try:
            module = HalyardModule(
                entry["serial"], int(entry.get("model", 19)), int(entry.get("address", 2)),
                entry.get("version", "1.0.0"), int(entry.get("build", 1000)),
                uid=entry.get("uid"), start_in_loader=bool(entry.get("start_in_loader", False)),
                log=self.log, face=self, router=router, **settings)
            for name, value in entry.get("faults", {}).items():
                module.faults.set(name, value)
        except (KeyError, ValueError) as exc:
            raise ConfigError("module %s: %s" % (entry.get("serial"), exc))
        if module.label in self.by_label:
            raise ConfigError("serial number %s used twice" % module.label)
        module.dump_dir = self.config.get("dump_dir")
        self.by_label[module.label] = module
        return module

    # ---- ModuleFace --------------------------------------------------------------

    def schedule(self, delay_s, fn):
        self.timer_seq += 1
        heapq.heappush(self.timers, (time.monotonic() + delay_s, self.timer_seq, fn))

    def go_offline(self, module):
        self._close_listener(module)
        self.close_sessions(module, reset=True)

    def go_online(self, module):
        if module.online and not module.vanished and not module.faults.refuse:
            self._open_listener(module)

    def close_sessions(self, module, reset=True):
        count = 0
        for conn in [c for c in self.connections if c.session.module is module]:
            conn.session.close(reset)
            count += 1
        return count

    # ---- TCP ---------------------------------------------------------------------

    def _open_listener(self, module):
        if module.label in self.listeners:
            return
        ip, port = self.endpoints[module.label]
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((ip, port))
        except OSError as exc:
            sock.close()
            if port and exc.errno == errno.EADDRINUSE and self.running:
                module.event("port %d busy, retrying" % port)
                self.schedule(0.1, lambda: self.go_online(module))
                return
            raise
        sock.listen(8)
        sock.setblocking(False)
        self.endpoints[module.label] = (ip, sock.getsockname()[1])
        self.listeners[module.label] = sock
        self.selector.register(sock, selectors.EVENT_READ, ("listen", module))
        module.event("listening on %s:%d" % self.endpoints[module.label])

    def _close_listener(self, module):
        sock = self.listeners.pop(module.label, None)
        if sock:
            self.selector.unregister(sock)
            sock.close()
            module.event("not listening")

    def _accept(self, module, listener):
        try:
            sock, peer = listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if not module.online or module.faults.refuse:
            self._abort(sock)
            return
        conn = Connection(self, sock, module)
        self.connections.add(conn)
        self.selector.register(sock, selectors.EVENT_READ, conn)
        module.event("peer %s:%d" % peer)

    @staticmethod
    def _abort(sock):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()

    def _readable(self, conn):
        try:
            data = conn.sock.recv(4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as exc:
            self.drop_connection(conn, "reset by host (%s)" % exc.strerror)
            return
        if not data:
            self.drop_connection(conn, "closed by host")
            return
        conn.session.feed(data)

    def drop_connection(self, conn, reason):
        """The host ended the connection (or it broke)."""
        if not conn.open:
            return
        conn.session.closed(reason)
        self._forget(conn)
        conn.sock.close()

    def end_connection(self, conn, reset):
        """The module ends the connection (its session was closed)."""
        if not conn.open:
            return
        conn.flush()
        if not conn.open:
            return
        self._forget(conn)
        if reset:
            self._abort(conn.sock)
        else:
            try:
                conn.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            conn.sock.close()

    def _forget(self, conn):
        conn.open = False
        self.connections.discard(conn)
        try:
            self.selector.unregister(conn.sock)
        except (KeyError, ValueError):
            pass

    # ---- discovery ---------------------------------------------------------------

    def _open_discovery(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("", DISCOVERY_PORT))
        membership = socket.inet_aton(DISCOVERY_GROUP) + socket.inet_aton(self.iface)
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        sock.setblocking(False)
        self.discovery = sock
        self.selector.register(sock, selectors.EVENT_READ, ("discovery", None))

    def _udp_sender(self, ip):
        sock = self.udp_out.get(ip)
        if sock is None:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((ip, 0))
            self.udp_out[ip] = sock
        return sock

    def discovery_reply(self, module):
        """The 16-byte reply (12 bytes with the short_discovery fault); multi-byte fields LSB first."""
        ip, port = self.endpoints[module.label]
        reply = bytes([DISCOVERY_REPLY_MARK, module.address]) + port.to_bytes(2, "little") \
            + module.serial.to_bytes(4, "little") + module.version.to_bytes(4, "little") \
            + bytes([module.model, 0, 0, 0])
        return reply[:12] if module.faults.short_discovery else reply

    def _discovery_request(self):
        try:
            data, (src, sport) = self.discovery.recvfrom(2048)
        except (BlockingIOError, InterruptedError):
            return
        self.log.write("DISCOVERY", "UDP-RX", "%s:%d %s" % (src, sport, data.hex(" ").upper()))
        own = {self.iface} | {ip for ip, _ in self.endpoints.values()}
        if src in own and not self.answer_own_address:
            self.log.write("DISCOVERY", "EV", "request from own address %s ignored" % src)
            return
        if not data or data[0] != DISCOVERY_REQUEST:
            self.log.write("DISCOVERY", "EV", "not a discovery request")
            return
        for module in self.modules:
            if not module.online or module.vanished or module.faults.no_discovery:
                continue
            if module.label not in self.listeners and not module.faults.refuse:
                continue
            reply = self.discovery_reply(module)
            ip = self.endpoints[module.label][0]
            try:
                self._udp_sender(ip).sendto(reply, (src, DISCOVERY_REPLY_PORT))
            except OSError as exc:
                module.event("discovery reply failed: %s" % exc.strerror)
                continue
            module.stats["discovery_replies"] += 1
            self.log.write(module.label, "UDP-TX", "%s:%d %s" % (
                src, DISCOVERY_REPLY_PORT, reply.hex(" ").upper()))

    # ---- control channel ---------------------------------------------------------

    def _open_control(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", int(self.config.get("control_port", 0))))
        sock.listen(4)
        sock.setblocking(False)
        self.control = sock
        self.selector.register(sock, selectors.EVENT_READ, ("control", None))

    def _control_accept(self):
        try:
            sock, _ = self.control.accept()
        except (BlockingIOError, InterruptedError):
            return
        sock.setblocking(True)
        sock.settimeout(2.0)
        self.selector.register(sock, selectors.EVENT_READ, ("control-conn", [sock, b""]))

    def _control_read(self, state):
        sock = state[0]
        try:
            data = sock.recv(4096)
        except OSError:
            data = b""
        if not data:
            self.selector.unregister(sock)
            sock.close()
            return
        state[1] += data
        while b"\n" in state[1]:
            line, state[1] = state[1].split(b"\n", 1)
            answer = self.command(line.decode("utf-8", "replace").strip())
            try:
                sock.sendall((answer + "\n").encode())
            except OSError:
                break

    def command(self, line):
        """Runs one control command; returns "ok ..." or "error ..."."""
        words = line.split()
        if not words:
            return "error empty command"
        verb, args = words[0].lower(), words[1:]
        try:
            result = self.control_commands.run(verb, args)
        except (KeyError, ValueError, IndexError, ConfigError) as exc:
            return "error %s" % (exc.args[0] if exc.args else exc)
        return "ok" if result is None else "ok " + json.dumps(result)

    # ---- main loop ---------------------------------------------------------------

    def start(self):
        self._open_control()
        for module in self.modules:
            if module.faults.refuse:
                ip, port = self.endpoints[module.label]
                if port == 0:
                    raise ConfigError("module %s refuses connections from the start: give it a "
                                      "port" % module.label)
                continue
            self._open_listener(module)
        if self.iface:
            self._open_discovery()

    def ready_record(self):
        modules = []
        for module in self.modules:
            ip, port = self.endpoints[module.label]
            modules.append({
                "serial": module.label, "serial_number": module.serial, "ip": ip, "port": port,
                "address": module.address, "model": module.model,
                "behind": [{"serial": b.label, "serial_number": b.serial, "address": b.address,
                            "model": b.model} for b in module.behind.values()]})
        return {"event": "ready", "pid": os.getpid(),
                "control": {"host": "127.0.0.1", "port": self.control.getsockname()[1]},
                "discovery": {"iface": self.iface, "group": DISCOVERY_GROUP,
                              "port": DISCOVERY_PORT} if self.iface else None,
                "modules": modules}

    def run(self):
        wake_r, wake_w = socket.socketpair()
        wake_r.setblocking(False)
        wake_w.setblocking(False)
        signal.set_wakeup_fd(wake_w.fileno(), warn_on_full_buffer=False)
        self.selector.register(wake_r, selectors.EVENT_READ, ("wake", None))

        def stop(signum, frame):
            self.running = False
        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        while self.running:
            self.selector_round(self._next_wait(), wake_r)
        self.shutdown()

    def _next_wait(self):
        now = time.monotonic()
        wake = now + MAX_WAIT_S
        if self.timers:
            wake = min(wake, self.timers[0][0])
        for conn in list(self.connections):
            due = conn.session.poll()
            if due is not None:
                wake = min(wake, due)
        return max(0.0, wake - time.monotonic())

    def selector_round(self, timeout, wake_r):
        for key, events in self.selector.select(timeout):
            data = key.data
            if isinstance(data, Connection):
                if events & selectors.EVENT_WRITE:
                    data.flush()
                if events & selectors.EVENT_READ and data.open:
                    self._readable(data)
                continue
            kind, arg = data
            if kind == "listen":
                self._accept(arg, key.fileobj)
            elif kind == "discovery":
                self._discovery_request()
            elif kind == "control":
                self._control_accept()
            elif kind == "control-conn":
                self._control_read(arg)
            elif kind == "wake":
                try:
                    wake_r.recv(64)
                except OSError:
                    pass
        now = time.monotonic()
        while self.timers and self.timers[0][0] <= now:
            _, _, fn = heapq.heappop(self.timers)
            fn()

    def shutdown(self):
        for module in self.modules:
            for conn in [c for c in self.connections if c.session.module is module]:
                conn.session.close(reset=True)
            self._close_listener(module)
        for module in self.by_label.values():
            try:
                module.dump()
            except OSError as exc:
                print("dump of %s failed: %s" % (module.label, exc), file=sys.stderr)
        for sock in list(self.udp_out.values()) + [self.discovery, self.control]:
            if sock is not None:
                sock.close()
        self.log.close()


# ---- command line ----------------------------------------------------------------

class ControlCommands:
    """The control channel's commands over a `Simulator`'s modules: verb -> handler.

    A handler returns what follows "ok" (None: nothing) or raises for an "error" answer. All but
    ping, list and quit name their modules by serial number or "*".
    """

    def __init__(self, sim):
        self.sim = sim
        self.general = {
            "ping": self.ping,
            "list": self.list,
            "quit": self.quit,
        }
        self.per_module = {
            "state": self.state,
            "set": self.set,
            "close": self.close,
            "vanish": self.vanish,
            "revive": self.revive,
            "garbage": self.garbage,
            "heartbeat": self.heartbeat,
            "dump": self.dump,
        }

    def run(self, verb, args):
        if verb in self.general:
            return self.general[verb]()
        targets = self.targets(args[0]) if args else None
        if targets is None:
            raise ValueError("%s needs a module serial number or *" % verb)
        handler = self.per_module.get(verb)
        if handler is None:
            raise ValueError("unknown command %s" % verb)
        return handler(targets, args)

    def targets(self, name):
        if name == "*":
            return list(self.sim.by_label.values())
        module = self.sim.by_label.get("%08X" % parse_serial(name))
        if module is None:
            raise KeyError("no module %s" % name)
        return [module]

    def ping(self):
        return "pong"

    def list(self):
        return [m.describe() for m in self.sim.by_label.values()]

    def quit(self):
        self.sim.running = False
        return None

    def state(self, targets, args):
        return targets[0].describe() if len(targets) == 1 else [m.describe() for m in targets]

    def set(self, targets, args):
        if len(args) != 3:
            raise ValueError("set SERIAL NAME VALUE")
        for module in targets:
            module.set_value(args[1], args[2])
            module.event("set %s %s" % (args[1], args[2]))
            if args[1] == "refuse" and module.router is None:
                if module.faults.refuse:
                    self.sim._close_listener(module)
                else:
                    self.sim.go_online(module)
        return None

    def close(self, targets, args):
        reset = (args[1] if len(args) > 1 else "rst") == "rst"
        return sum(self.sim.close_sessions(m, reset) for m in targets if m.router is None)

    def vanish(self, targets, args):
        for module in targets:
            module.vanish("control")
        return None

    def revive(self, targets, args):
        for module in targets:
            module.revive()
        return None

    def garbage(self, targets, args):
        data = bytes.fromhex("".join(args[1:]))
        return sum(self._each_session(m, lambda s: s.send_raw(data)) for m in targets)

    def heartbeat(self, targets, args):
        return sum(self._each_session(m, lambda s: s.send_heartbeat()) for m in targets)

    def dump(self, targets, args):
        return {m.label: m.dump() for m in targets}

    @staticmethod
    def _each_session(module, action):
        sessions = list(module.sessions)
        for session in sessions:
            action(session)
        return len(sessions)


def parse_pairs(text):
    """"serial=0F5849A1,model=19,uid=1:2:3:4" -> dict (uid words split on colons)."""
    result = {}
    for item in text.split(","):
        if not item.strip():
            continue
        if "=" not in item:
            raise ConfigError("expected KEY=VALUE, got %r" % item)
        key, value = (part.strip() for part in item.split("=", 1))
        if key == "uid":
            result[key] = [int(w, 0) for w in value.split(":")]
        elif key in ("model", "address", "build", "port"):
            result[key] = int(value, 0)
        elif key == "start_in_loader":
            result[key] = value.lower() in ("1", "true", "on", "yes")
        else:
            result[key] = value
    return result


def split_faults(entry):
    """Moves fault-switch keys of a flat module entry into its "faults" dict."""
    from halyard_module import Faults
    names = set(Faults().as_dict())
    faults = {k: entry.pop(k) for k in list(entry) if k in names}
    if faults:
        entry.setdefault("faults", {}).update(faults)
    return entry


def build_config(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config", help="JSON configuration file")
    parser.add_argument("--module", action="append", default=[], metavar="KEY=VALUE,...",
                        help="a module (serial=..., model=, address=, version=, build=, port=, ...)")
    parser.add_argument("--behind", action="append", default=[], metavar="router=SERIAL,KEY=VALUE,...",
                        help="a module behind the router module with serial number SERIAL")
    parser.add_argument("--iface", help="interface address: answer discovery there (private "
                                        "network namespace only); default listen address")
    parser.add_argument("--packet-log", help="file receiving one line per packet and event")
    parser.add_argument("--dump-dir", help="directory receiving the loader and firmware received")
    parser.add_argument("--control-port", type=int, help="control channel port on 127.0.0.1 "
                                                         "(default: any free port)")
    parser.add_argument("--heartbeat-ms", type=int, help="heartbeat period of every module "
                                                         "(0: none; default 1000)")
    parser.add_argument("--answer-own-address", action="store_true",
                        help="also answer discovery requests sent from the interface address")
    args = parser.parse_args(argv)

    config = {}
    if args.config:
        with open(args.config) as f:
            config = json.load(f)
    config.setdefault("modules", [])
    config["modules"] = [split_faults(dict(m)) for m in config["modules"]]
    for m in config["modules"]:
        m["behind"] = [split_faults(dict(b)) for b in m.get("behind", [])]
    for text in args.module:
        config["modules"].append(split_faults(parse_pairs(text)))
    for text in args.behind:
        entry = parse_pairs(text)
        router = entry.pop("router", None)
        if router is None:
            raise ConfigError("--behind needs router=SERIAL")
        for m in config["modules"]:
            if parse_serial(m["serial"]) == parse_serial(router):
                m.setdefault("behind", []).append(split_faults(entry))
                break
        else:
            raise ConfigError("--behind: no module %s" % router)
    for key in ("iface", "packet_log", "dump_dir", "control_port"):
        value = getattr(args, key)
        if value is not None:
            config[key] = value
    if args.answer_own_address:
        config["answer_own_address"] = True
    if args.heartbeat_ms is not None:
        config.setdefault("defaults", {})["heartbeat_ms"] = args.heartbeat_ms
    return config


def main(argv=None):
    try:
        config = build_config(sys.argv[1:] if argv is None else argv)
        sim = Simulator(config)
        run_ahead_of_the_host()
        sim.start()
    except (ConfigError, OSError, ValueError) as exc:
        print("module_sim: %s" % exc, file=sys.stderr)
        return 2
    print(json.dumps(sim.ready_record()), flush=True)
    sim.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
