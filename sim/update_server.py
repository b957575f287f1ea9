#!/usr/bin/python3
"""Update server for tests: answers the "/cgi/u" queries from a directory of builds.

    update_server.py --root DIR [--port 0] [--log FILE] [--fingerprints FILE]
                     [--url-file FILE] [--fault RULE ...]

Binds to 127.0.0.1 only.  When ready it prints one line on stdout, the URL of
the query endpoint (http://127.0.0.1:PORT/cgi/u), and nothing else there.
Every query string received on /cgi/u is appended, exactly as received, as one
line to the --log file.  SIGTERM or SIGINT stops it cleanly (exit status 0).

Data (read at every query, so tests may change it while the server runs):
    ROOT/<SERIAL %08X>/<BUILD>.bird   one file per build
    ROOT/<SERIAL %08X>/meta.json      optional: {"latest": "1234",
                                      "firmware": "designation",
                                      "versions": {"1234": "1.2.3"}}
    ROOT/fingerprints.json            (or --fingerprints) recovery table:
        {"00000001 00000002 00000003 00000004":
            {"serial": "0012ABCD", "build": 1234, "encode": true}}

See sim/README.md for the replies, the fault switches and the control requests.
"""

import argparse
import base64
import json
import os
import re
import select
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mkbird  # noqa: E402  (same directory)

QUERY_PATH = "/cgi/u"
CONTROL_PREFIX = "/ctl/"
DEFAULT_FIRMWARE = "default"
DEFAULT_HANG_SECONDS = 60.0
DEFAULT_HUGE_SECONDS = 30.0
MAX_SECONDS = 3600
HUGE_MAX_BYTES = 4 << 30
HUGE_CHUNK = 64 * 1024
SERIAL_RE = re.compile(r"^[0-9A-F]{8}$")
BUILD_RE = re.compile(r"^(0|[1-9][0-9]*)$")
BUILD_FILE_RE = re.compile(r"^(0|[1-9][0-9]*)\.bird$")
OPS = ("hi", "qu", "bird", "builds", "fix")


class ServerError(Exception):
    """A query the server refuses; the text becomes line 2 of an "error" reply."""


# ---------------------------------------------------------------- fault rules


class Rule:
    """One fault switch.  Fields left at None do not apply.

    status  HTTP status code of the reply (body unchanged)
    notok   text that replaces the first line ("ok")
    body    literal reply body replacing the normal one
    badb64  "length" or "chars": spoil the Base64 line of a build reply
    delay   seconds to wait before replying
    hang    seconds to hold the request without any reply, then close
    close   close the connection without any reply
    cut     send only this many body bytes of a longer declared Content-Length
    huge    stream a body of this many bytes ("ok", then one Base64 line)
    endless stream "ok" and a Base64 line that never ends, without a Content-Length (at rate
            bytes a second when rate is given, else as fast as the client takes it)
    limit   seconds a huge or endless body may take before the server stops sending
    rate    send the reply body at this many bytes a second
    ops     query ops it applies to (None: all)
    times   how many more queries it applies to (None: no end)
    """

    KEYS = ("status", "notok", "body", "badb64", "delay", "hang", "close", "cut", "huge",
            "endless", "limit", "rate", "ops", "times")

    def __init__(self, text):
        self.status = self.notok = self.body = self.badb64 = None
        self.hang = self.cut = self.huge = self.rate = None
        self.delay = 0.0
        self.close = False
        self.endless = False
        self.limit = DEFAULT_HUGE_SECONDS
        self.ops = None
        self.times = None
        self.text = text
        # latin-1: a body may carry any byte value as %XX
        pairs = urllib.parse.parse_qsl(text, keep_blank_values=True, encoding="latin-1")
        if not pairs:
            raise ValueError("empty fault rule")
        for key, value in pairs:
            self._set(key, value)
        if self.badb64 and self.ops is None:
            self.ops = {"bird"}      # only build replies carry Base64

    def _set(self, key, value):
        if key not in self.KEYS:
            raise ValueError("unknown fault key %r (one of %s)" % (key, ", ".join(self.KEYS)))
        if key == "status":
            self.status = int(value)
            if not 100 <= self.status <= 999:
                raise ValueError("status must be 100..999")
        elif key == "notok":
            self.notok = value or "error"
        elif key == "body":
            self.body = value
        elif key == "badb64":
            self.badb64 = value or "length"
            if self.badb64 not in ("length", "chars"):
                raise ValueError("badb64 is length or chars")
        elif key in ("delay", "hang", "limit"):
            if not value and key != "hang":
                raise ValueError("%s needs a number of seconds" % key)
            seconds = float(value) if value else DEFAULT_HANG_SECONDS
            if not 0 <= seconds <= MAX_SECONDS:
                raise ValueError("%s must be 0..%d seconds" % (key, MAX_SECONDS))
            setattr(self, key, seconds)
        elif key == "close":
            self.close = True
        elif key == "endless":
            self.endless = True
        elif key == "cut":
            self.cut = int(value) if value else -1   # -1: half of the body
            if self.cut < -1:
                raise ValueError("cut must not be negative")
        elif key == "huge":
            self.huge = int(value)
            if not 0 < self.huge <= HUGE_MAX_BYTES:
                raise ValueError("huge must be 1..%d bytes" % HUGE_MAX_BYTES)
        elif key == "rate":
            self.rate = float(value) if value else 0.0
            if not 0 < self.rate <= HUGE_MAX_BYTES:
                raise ValueError("rate must be more than 0 bytes a second")
        elif key == "ops":
            self.ops = set(filter(None, value.split(",")))
            unknown = self.ops - set(OPS)
            if unknown:
                raise ValueError("unknown ops: %s" % ", ".join(sorted(unknown)))
        elif key == "times":
            self.times = int(value)
            if self.times < 1:
                raise ValueError("times must be at least 1")

    def matches(self, op):
        return self.ops is None or op in self.ops

    def as_dict(self):
        return {"rule": self.text, "ops": sorted(self.ops) if self.ops else None,
                "times": self.times}


class Faults:
    """Ordered fault rules; the first rule that matches a query applies to it."""

    def __init__(self):
        self._lock = threading.Lock()
        self._rules = []

    def add(self, rule):
        with self._lock:
            self._rules.append(rule)

    def clear(self):
        with self._lock:
            self._rules.clear()

    def take(self, op):
        with self._lock:
            for rule in self._rules:
                if rule.matches(op):
                    if rule.times is not None:
                        rule.times -= 1
                        if rule.times == 0:
                            self._rules.remove(rule)
                    return rule
        return None

    def as_list(self):
        with self._lock:
            return [r.as_dict() for r in self._rules]


# ---------------------------------------------------------------- builds and fingerprints


def _read_json(path, default):
    try:
        with open(path, "r", encoding="utf-8") as handle:
            return json.load(handle)
    except FileNotFoundError:
        return default
    except (OSError, ValueError) as error:
        raise ServerError("bad data file %s: %s" % (os.path.basename(path), error))


def parse_fingerprint_text(text):
    """'A B C D' (spaces, "%20" or commas between words) -> tuple of 4 ints, or None."""
    words = text.replace("%20", " ").replace(",", " ").split()
    if len(words) != 4 or not all(re.fullmatch(r"[0-9A-Fa-f]{8}", w) for w in words):
        return None
    return tuple(int(w, 16) for w in words)


def _serial_value(value):
    if isinstance(value, int):
        return value
    text = str(value)
    return int(text[2:] if text.lower().startswith("0x") else text, 16)


class BuildStore:
    def __init__(self, root, fingerprints_path):
        self.root = root
        self.fingerprints_path = fingerprints_path or os.path.join(root, "fingerprints.json")

    def device_dir(self, serial_text):
        path = os.path.join(self.root, serial_text)
        if not os.path.isdir(path):
            raise ServerError("unknown device %s" % serial_text)
        return path

    def meta(self, serial_text):
        return _read_json(os.path.join(self.device_dir(serial_text), "meta.json"), {})

    def build_files(self, serial_text):
        """{build number: file path} of the device's .bird files."""
        path = self.device_dir(serial_text)
        builds = {}
        for name in os.listdir(path):
            match = BUILD_FILE_RE.match(name)
            if match:
                builds[int(match.group(1))] = os.path.join(path, name)
        return builds

    def build_list(self, serial_text):
        """[(build text, version text)] in ascending build order."""
        files = self.build_files(serial_text)
        versions = {str(k): str(v) for k, v in self.meta(serial_text).get("versions", {}).items()}
        entries = {str(b): None for b in files}
        entries.update({k: None for k in versions})
        result = []
        for build in sorted(entries, key=lambda b: (not b.isdigit(), int(b) if b.isdigit() else 0, b)):
            version = versions.get(build)
            if version is None:
                version = self._version_from_file(files.get(int(build))) if build.isdigit() else ""
            result.append((build, version))
        return result

    @staticmethod
    def _version_from_file(path):
        if path is None:
            return "unknown"
        with open(path, "rb") as handle:
            info = mkbird.parse(handle.read()).info
        if info is None:
            return "unknown"
        return info["version"].split(" ")[0] or "unknown"

    def latest(self, serial_text):
        """(latest build text, firmware designation)."""
        meta = self.meta(serial_text)
        latest = meta.get("latest")
        if latest is None:
            files = self.build_files(serial_text)
            if not files:
                raise ServerError("no builds for %s" % serial_text)
            latest = max(files)
        return str(latest), str(meta.get("firmware", DEFAULT_FIRMWARE))

    def fingerprints(self):
        table = _read_json(self.fingerprints_path, {})
        result = []
        for key, entry in table.items():
            words = parse_fingerprint_text(key)
            if words is None:
                raise ServerError("bad fingerprint key %r" % key)
            result.append((words, entry))
        return result

    def recovery_entry(self, words):
        for key, entry in self.fingerprints():
            if key == words:
                return entry
        raise ServerError("unknown fingerprint")

    def encoding_for(self, serial_value):
        """Fingerprint whose recovery image is served for this device, or None."""
        for words, entry in self.fingerprints():
            if entry.get("encode", True) and _serial_value(entry["serial"]) == serial_value:
                return words
        return None

    def image(self, serial_text, build_text):
        path = self.build_files(serial_text).get(int(build_text))
        if path is None:
            raise ServerError("no build %s for %s" % (build_text, serial_text))
        with open(path, "rb") as handle:
            data = handle.read()
        words = self.encoding_for(int(serial_text, 16))
        if words is not None:
            data = mkbird.transcode_file(data, words)
        return data


# ---------------------------------------------------------------- query replies


def _param(params, key):
    value = params.get(key)
    if value is None:
        raise ServerError("missing %s" % key)
    return value


def _serial_param(params):
    serial = _param(params, "sn")
    if not SERIAL_RE.match(serial):
        raise ServerError("bad serial number %r" % serial)
    return serial


def answer(store, params):
    """The reply body lines (without the trailing newlines) for one query."""
    op = params.get("op")
    if op == "hi":
        return ["ok"]
    if op == "qu":
        latest, firmware = store.latest(_serial_param(params))
        return ["ok", latest, firmware]
    if op == "bird":
        serial = _serial_param(params)
        build = _param(params, "bld")
        if not BUILD_RE.match(build):
            raise ServerError("bad build number %r" % build)
        _, firmware = store.latest(serial)
        if _param(params, "fw") != firmware:
            raise ServerError("unknown firmware %r" % params["fw"])
        if _param(params, "no_cal") not in ("true", "false"):
            raise ServerError("bad no_cal %r" % params["no_cal"])
        return ["ok", base64.b64encode(store.image(serial, build)).decode("ascii")]
    if op == "builds":
        return ["ok"] + ["%s;%s" % entry for entry in store.build_list(_serial_param(params))]
    if op == "fix":
        words = parse_fingerprint_text(_param(params, "fp"))
        if words is None:
            raise ServerError("bad fingerprint %r" % params["fp"])
        entry = store.recovery_entry(words)
        serial = entry["serial"]
        serial_text = "%08X" % serial if isinstance(serial, int) else str(serial)
        build = entry.get("build")
        if build is None:
            build, _ = store.latest("%08X" % _serial_value(serial))
        return ["ok", serial_text, str(build)]
    raise ServerError("unknown op %r" % op)


def spoil_base64(lines, mode):
    if len(lines) < 2:
        return lines
    text = lines[1]
    if mode == "length":
        text = text[:-1] if len(text) % 4 == 0 and text else text + "A"
    else:
        text = "!*?#" + text[4:] if len(text) >= 4 else "!*?#"
    return [lines[0], text] + lines[2:]


# ---------------------------------------------------------------- HTTP


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "update-sim/1"

    def log_message(self, format, *args):  # noqa: A002 (base class signature)
        if not self.server.quiet:
            sys.stderr.write("update_server: %s\n" % (format % args))

    def do_GET(self):
        path, _, query = self.path.partition("?")
        if path == QUERY_PATH:
            self.server.log_query(query)
            self._query(query)
        elif path.startswith(CONTROL_PREFIX):
            self._control(path[len(CONTROL_PREFIX):], query)
        else:
            self._send(404, b"not found\n")

    def _query(self, query):
        params = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        op = params.get("op", "")
        self.server.count_query(op)
        try:
            lines = answer(self.server.store, params)
        except ServerError as error:
            lines = ["error", str(error)]
        except (KeyError, TypeError, ValueError, AttributeError, OSError) as error:
            # Broken test data (e.g. a fingerprint entry without "serial").
            lines = ["error", "server data: %s: %s" % (type(error).__name__, error)]
        rule = self.server.faults.take(op)
        if rule is None:
            self._send(200, self._body(lines))
            return
        self._apply(rule, lines)

    @staticmethod
    def _body(lines):
        return ("".join(line + "\n" for line in lines)).encode("latin-1", "replace")

    def _apply(self, rule, lines):
        if rule.delay and self.server.stopping.wait(rule.delay):
            return
        if rule.hang is not None:
            self._hang(rule.hang)
            return
        if rule.close:
            self.close_connection = True
            return
        if rule.badb64:
            lines = spoil_base64(lines, rule.badb64)
        if rule.notok is not None and lines:
            lines = [rule.notok] + lines[1:]
        body = self._body(lines) if rule.body is None else rule.body.encode("latin-1")
        status = rule.status or 200
        if rule.endless:
            self._send_endless(status, rule.rate, rule.limit)
        elif rule.huge is not None:
            self._send_huge(status, rule.huge, rule.limit)
        elif rule.cut is not None:
            self._send_cut(status, body, rule.cut)
        elif rule.rate is not None:
            self._send_at_rate(status, body, rule.rate)
        else:
            self._send(status, body)

    def _headers(self, status, length):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def _send(self, status, body):
        self._headers(status, len(body))
        self.wfile.write(body)

    def _send_cut(self, status, body, cut):
        if cut < 0:
            cut = len(body) // 2
        declared = max(len(body), cut + 1)
        self._headers(status, declared)
        self.wfile.write(body[:cut])
        self.wfile.flush()
        self._drop_connection()

    def _send_at_rate(self, status, body, rate):
        """The whole body, paced to rate bytes a second (pieces every 0.1 s, or one byte at a
        time for slower rates), until the client leaves or the server stops."""
        self._headers(status, len(body))
        piece = max(1, int(rate / 10))
        pause = piece / rate
        sent = 0
        try:
            while sent < len(body):
                if self.server.stopping.wait(pause):
                    self._drop_connection()
                    return
                self.wfile.write(body[sent:sent + piece])
                self.wfile.flush()
                sent += piece
        except OSError:
            self.close_connection = True

    def _send_huge(self, status, size, limit):
        """Stream "ok\\n" and a Base64 line of 'A's until size bytes or the time limit."""
        self._headers(status, size)
        head = b"ok\n"[:size]
        sent = 0
        deadline = time.monotonic() + limit
        chunk = b"A" * HUGE_CHUNK
        try:
            self.wfile.write(head)
            sent = len(head)
            while sent < size:
                if self.server.stopping.is_set() or time.monotonic() > deadline:
                    self._drop_connection()
                    return
                piece = min(HUGE_CHUNK, size - sent)
                if sent + piece == size:
                    self.wfile.write(chunk[:piece - 1] + b"\n")
                else:
                    self.wfile.write(chunk[:piece])
                sent += piece
        except OSError:
            self.close_connection = True

    def _send_endless(self, status, rate, limit):
        """Stream "ok\\n" and 'A's with no Content-Length (the body ends when the connection does)
        until the client leaves, the time limit passes or the server stops; paced to rate bytes a
        second (pieces every 0.1 s) when rate is given."""
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        deadline = time.monotonic() + limit
        piece = HUGE_CHUNK if rate is None else max(1, int(rate / 10))
        pause = 0 if rate is None else piece / rate
        chunk = b"A" * piece
        try:
            self.wfile.write(b"ok\n")
            while time.monotonic() < deadline:
                if pause and self.server.stopping.wait(pause):
                    break
                if self.server.stopping.is_set():
                    break
                self.wfile.write(chunk)
                self.wfile.flush()
        except OSError:
            pass
        self._drop_connection()

    def _hang(self, seconds):
        """Hold the request: no reply until the client leaves, the time ends or the server stops."""
        deadline = time.monotonic() + seconds
        conn = self.connection
        while not self.server.stopping.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                break
            readable, _, _ = select.select([conn], [], [], min(left, 0.2))
            if readable:
                try:
                    if not conn.recv(1, socket.MSG_PEEK):
                        break           # the client closed its side
                except OSError:
                    break
                # Bytes after the request: nothing to do with them; keep waiting.
                if self.server.stopping.wait(min(left, 0.2)):
                    break
        self._drop_connection()

    def _drop_connection(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _control(self, command, query):
        server = self.server
        try:
            if command == "fault":
                server.faults.add(Rule(query))
            elif command == "clear":
                server.faults.clear()
            elif command == "state":
                state = {"faults": server.faults.as_list(), "queries": server.query_counts()}
                self._send(200, (json.dumps(state) + "\n").encode("ascii"))
                return
            else:
                self._send(404, b"unknown control request\n")
                return
        except ValueError as error:
            self._send(400, ("error\n%s\n" % error).encode("utf-8"))
            return
        self._send(200, b"ok\n")


class UpdateServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, store, faults, log_path, quiet, tls=None):
        self.tls = tls
        self.store = store
        self.faults = faults
        self.quiet = quiet
        self.stopping = threading.Event()
        self._log_lock = threading.Lock()
        self._log = open(log_path, "a", encoding="latin-1") if log_path else None
        self._counts = {}
        super().__init__(("127.0.0.1", port), Handler)

    @property
    def url(self):
        scheme = "https" if self.tls else "http"
        return "%s://127.0.0.1:%d%s" % (scheme, self.server_address[1], QUERY_PATH)

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread, so a client that never completes it
        # holds up nobody else; one that fails it gets no answer at all.
        if self.tls:
            request.settimeout(10)
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
            request.settimeout(None)
        super().finish_request(request, client_address)

    def log_query(self, query):
        with self._log_lock:
            if self._log:
                self._log.write(query.replace("\n", "\\n") + "\n")
                self._log.flush()

    def count_query(self, op):
        with self._log_lock:
            self._counts[op] = self._counts.get(op, 0) + 1

    def query_counts(self):
        with self._log_lock:
            return dict(self._counts)

    def stop(self):
        self.stopping.set()
        self.shutdown()

    def server_close(self):
        super().server_close()
        with self._log_lock:
            if self._log:
                self._log.close()
                self._log = None


def main(argv=None):
    parser = argparse.ArgumentParser(description="Update server simulator (127.0.0.1 only).")
    parser.add_argument("--root", required=True, help="directory of <SERIAL>/<BUILD>.bird")
    parser.add_argument("--port", type=int, default=0, help="TCP port (0: any free port)")
    parser.add_argument("--log", help="append each query string to this file")
    parser.add_argument("--fingerprints", help="recovery table (default ROOT/fingerprints.json)")
    parser.add_argument("--url-file", help="also write the URL to this file when ready")
    parser.add_argument("--fault", action="append", default=[], metavar="RULE",
                        help="fault rule as a query string, e.g. status=500&ops=bird&times=1")
    parser.add_argument("--quiet", action="store_true", help="no request lines on stderr")
    parser.add_argument("--tls-cert", metavar="PEM",
                        help="serve HTTPS with this certificate chain (its key in the same file or --tls-key)")
    parser.add_argument("--tls-key", metavar="PEM", help="the private key of --tls-cert")
    args = parser.parse_args(argv)

    faults = Faults()
    try:
        for text in args.fault:
            faults.add(Rule(text))
    except ValueError as error:
        parser.error(str(error))
    store = BuildStore(args.root, args.fingerprints)
    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
    server = UpdateServer(args.port, store, faults, args.log, args.quiet, tls)

    def on_signal(signum, frame):
        threading.Thread(target=server.stop, daemon=True).start()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    if args.url_file:
        with open(args.url_file + ".tmp", "w") as handle:
            handle.write(server.url + "\n")
        os.replace(args.url_file + ".tmp", args.url_file)
    sys.stdout.write(server.url + "\n")
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
