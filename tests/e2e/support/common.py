"""Helpers shared by the end-to-end support modules and suites: the run-as user and the one way to
run the built Updater as that user, the store and its settings files, the one way to run a
command in a private network namespace, the update server and the module simulator as child
processes, and the interactive C++ test drivers."""

import json
import os
import pwd
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
# tests/e2e: the directory the suites run from, their modules named by family ("cli.test_cli").
E2E_DIR = os.path.dirname(HERE)
SRC_DIR = os.path.normpath(os.path.join(E2E_DIR, "..", ".."))
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(SRC_DIR, "sim")
sys.dont_write_bytecode = True
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

import halyard_host as host  # noqa: E402

PYTHON = "/usr/bin/python3"
NETNS_RUN = os.path.join(SIM_DIR, "netns_run.sh")
IN_LOOPBACK = os.path.join(HERE, "in_loopback_namespace.sh")
UPDATE_SERVER = os.path.join(SIM_DIR, "update_server.py")
MODULE_SIM = os.path.join(SIM_DIR, "module_sim.py")
START_TIMEOUT = 20
STOP_TIMEOUT = 15
UPDATER = os.environ.get("UPDATER_BIN", "")


def unlisted_uid(first, lookup=None, tries=1000):
    """The first user id from first on that has no password entry: the Updater run under it finds
    no home directory of a real user and takes HOME. Raises RuntimeError when none is free."""
    lookup = lookup or pwd.getpwuid
    for uid in range(first, first + tries):
        try:
            lookup(uid)
        except KeyError:
            return uid
    raise RuntimeError("no user id without a password entry in %d..%d" % (first, first + tries - 1))


# The user the Updater runs as in every suite: one without a password entry, so that its home
# directory is the HOME a test gives it and a real home directory is never touched.
RUN_UID = unlisted_uid(54321)


def as_user(uid, command=()):
    """The command run under uid (and its group) with no supplementary groups."""
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"] + [str(a) for a in command]


def give_to_run_user(root):
    """root and everything below it owned by the run-as user (links themselves, not their targets)."""
    for path in [Path(root)] + list(Path(root).rglob("*")):
        os.chown(path, RUN_UID, RUN_UID, follow_symlinks=False)


# ---- marks on tests ---------------------------------------------------------------------------------

def starts_first(test):
    """Marks a test that takes much longer than the others of its suite (it sits out a simulated
    part's time): run_suite.py --jobs starts it before them, so that the suite ends with it rather
    than after it."""
    test.starts_first = True
    return test


SANITIZER_SKIP = "sanitizer builds skip this test: "


def sanitizer_builds_skip(why):
    """Leaves a test out of the sanitizer builds' runs: for a test whose time goes on sitting out a
    simulated part or a bound, while the code it runs is run there by another test (a sanitizer
    finds faults in the code that runs, not in the time it waits)."""
    return unittest.skipIf(os.environ.get("UPDATER_SANITIZE"), SANITIZER_SKIP + why)


# ---- private network namespaces ---------------------------------------------------------------------

def can_make_namespaces():
    """Whether a private network namespace can be made here (root, unshare and ip)."""
    return os.geteuid() == 0 and bool(shutil.which("unshare")) and bool(shutil.which("ip"))


def in_namespace(command, network=None):
    """The command run in a private network namespace made for it, which dies with it:
    network None: no interface up at all; "loopback": only lo, up (in_loopback_namespace.sh, as
    CTest runs the loopback-only suites); "veth": lo and the veth pair of sim/netns_run.sh."""
    command = [str(a) for a in command]
    if network is None:
        return ["unshare", "--net", "--"] + command
    if network == "loopback":
        return ["/bin/sh", IN_LOOPBACK] + command
    if network == "veth":
        return [NETNS_RUN] + command
    raise ValueError("no such namespace network: %r" % (network,))


def run_tests_inside(testcase, module, selector, network, env=None, timeout=900):
    """Runs `python3 -m unittest -v module.selector` in a private namespace (see in_namespace)
    and asserts that it ran tests, skipped none and all passed."""
    run_env = dict(os.environ, SIM_DIR=SIM_DIR)
    run_env.update(env or {})
    command = in_namespace([PYTHON, "-m", "unittest", "-v", "%s.%s" % (module, selector)], network)
    result = subprocess.run(command, cwd=E2E_DIR, env=run_env, capture_output=True, text=True,
                            timeout=timeout)
    assert_inner_run_passed(testcase, result)


class LoopbackNamespace:
    """A private network namespace holding only loopback (network "veth": and the veth pair of
    sim/netns_run.sh), kept while the test runs by a sleeping process (stopped by pid); programs
    enter it with nsenter, so that several of them share it."""

    def __init__(self, testcase, network="loopback", seconds=600):
        self.holder = subprocess.Popen(in_namespace(["sleep", str(seconds)], network))
        testcase.addCleanup(stop_by_pid, self.holder, STOP_TIMEOUT)
        self.path = "/proc/%d/ns/net" % self.holder.pid
        deadline = time.monotonic() + START_TIMEOUT
        # The holder is in our namespace until the set-up script has made its own, and the
        # namespace is ready once the script has become the sleep.
        while not (self._own_namespace() and "UP" in self._lo_flags() and self._holder_sleeps()):
            if time.monotonic() > deadline or self.holder.poll() is not None:
                raise AssertionError("no namespace of its own with loopback up")
            time.sleep(0.05)
        self.inode = os.stat(self.path).st_ino

    def _holder_sleeps(self):
        try:
            with open("/proc/%d/comm" % self.holder.pid) as comm:
                return comm.read().strip() == "sleep"
        except OSError:
            return False

    def _own_namespace(self):
        try:
            return os.stat(self.path).st_ino != os.stat("/proc/self/ns/net").st_ino
        except OSError:
            return False

    def _lo_flags(self):
        shown = subprocess.run(self.enter(["ip", "-o", "link", "show", "lo"]), capture_output=True,
                               text=True, timeout=10)
        return shown.stdout.split(">")[0] if shown.returncode == 0 else ""

    def enter(self, command):
        return ["nsenter", "--net=" + self.path] + [str(a) for a in command]


# ---- child processes --------------------------------------------------------------------------------

def stop_by_pid(proc, timeout):
    """SIGTERM by pid, wait; SIGKILL by pid when it will not go. Returns the exit status."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(timeout=timeout)
    return proc.returncode


def open_to_all(path):
    """A program running as another user (the Updater as the run-as user) must be able to open
    the port: its device node is opened up to everybody."""
    os.chmod(os.path.realpath(path), 0o666)


def read_ready_line(proc, timeout):
    """The first line a child prints on its standard output (a pipe), without waiting past
    timeout seconds; b"" when none came in time or the child ended first."""
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        readable, _, _ = select.select([proc.stdout], [], [], max(0.0, left))
        if not readable:
            return b""
        chunk = os.read(proc.stdout.fileno(), 1)
        if not chunk:
            return b""
        line += chunk
    return line


def unix_request(path, line, timeout):
    """Sends one line to the Unix control socket at path; returns the answer up to its newline,
    or what came before the simulator closed the connection."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(timeout)
        sock.connect(path)
        sock.sendall(line.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = sock.recv(1 << 20)
            if not chunk:
                break
            answer += chunk
    return answer


def driver_path(name):
    """The built test driver called name (DRIVER_DIR, else BUILD_DIR or build/ of the tree)."""
    directory = os.environ.get("DRIVER_DIR")
    if not directory:
        build = os.environ.get("BUILD_DIR") or os.path.join(SRC_DIR, "build")
        directory = os.path.join(build, "tests", "drivers")
    return os.path.join(directory, name)


def closed_port_url():
    """An update server URL on 127.0.0.1 where nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return "http://127.0.0.1:%d/cgi/u" % port


def assert_inner_run_passed(testcase, result):
    """Checks a `python3 -m unittest -v` run made in a namespace of its own: it passed, ran
    tests and skipped none but those a sanitizer build leaves out. Its output goes to standard
    error."""
    sys.stderr.write(result.stdout + result.stderr)
    testcase.assertEqual(result.returncode, 0, "tests inside the namespace failed")
    summary = result.stderr.split("\nRan ")[-1]
    testcase.assertRegex(summary, r"^[1-9][0-9]* tests? in ")
    # The reason is printed as Python writes a string: in double quotes when it holds a quote.
    skips = [why for _, why in re.findall(r" \.\.\. skipped (['\"])(.*)\1$", result.stderr, re.M)]
    testcase.assertEqual([why for why in skips if not why.startswith(SANITIZER_SKIP)], [],
                         "tests skipped inside the namespace")
    if not skips:
        testcase.assertNotIn("skipped", summary)


def read_driver_line(proc, buffer, deadline, what, exit_wait):
    """Reads one line of a driver's standard output into (line, rest) without waiting past
    deadline (a time.monotonic() value); buffer holds what was read before. A driver that gives
    no line in time, or ends, fails the test with what it was asked and its standard error."""
    while b"\n" not in buffer:
        left = deadline - time.monotonic()
        readable, _, _ = select.select([proc.stdout], [], [], max(0.0, left))
        if not readable:
            raise AssertionError("driver gave no answer to %r within the time-out" % (what,))
        chunk = os.read(proc.stdout.fileno(), 65536)
        if not chunk:
            proc.wait(timeout=exit_wait)
            raise AssertionError("driver ended (%s) on %r: %s" % (
                proc.returncode, what, proc.stderr.read().decode(errors="replace")))
        buffer += chunk
    line, rest = buffer.split(b"\n", 1)
    return line, rest


class DatagramSender:
    """While the with-block runs, a thread sends the datagrams (all of them, then a pause) from
    source to destination (address, port), for at most limit seconds. After the block, `sent`
    counts the rounds sent and `ran_out` tells whether the limit ended them."""

    def __init__(self, source, destination, datagrams, pause, limit=60):
        self.source, self.destination = source, destination
        self.datagrams, self.pause, self.limit = list(datagrams), pause, limit
        self.sent = 0
        self.ran_out = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            if self.source:
                sock.bind((self.source, 0))
            deadline = time.monotonic() + self.limit
            while not self._stop.is_set():
                if time.monotonic() >= deadline:
                    self.ran_out = True
                    break
                for datagram in self.datagrams:
                    sock.sendto(datagram, self.destination)
                self.sent += 1
                self._stop.wait(self.pause)
        finally:
            sock.close()

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=5)
        return False


class UpdateServer:
    """sim/update_server.py on 127.0.0.1 as a child process: started, waited for until it prints
    its URL, queried, and stopped by its pid. testcase: stopped when that test ends (else the
    caller stops it); log: its query log; enter: wraps the command, e.g. into a namespace."""

    def __init__(self, testcase, root, *args, log=None, enter=None):
        self.log = Path(log) if log is not None else None
        command = [PYTHON, UPDATE_SERVER, "--root", str(root), "--quiet", *[str(a) for a in args]]
        if self.log is not None:
            command += ["--log", str(self.log)]
        self.proc = subprocess.Popen(enter(command) if enter else command, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        if testcase is not None:
            testcase.addCleanup(self.stop)
        self.url = read_ready_line(self.proc, START_TIMEOUT).decode().strip()
        if not self.url:
            self.stop()
            raise AssertionError("update server did not start")
        self.base = self.url[:-len("/cgi/u")]

    def queries(self):
        """The query log's lines (the server was started with log)."""
        return self.log.read_text().splitlines() if self.log.exists() else []

    def control(self, command, query="", timeout=10):
        """A request to the server's own /ctl/ switches; returns the body."""
        url = "%s/ctl/%s%s" % (self.base, command, "?" + query if query else "")
        with urllib.request.urlopen(url, timeout=timeout) as reply:
            return reply.read()

    def get(self, query, timeout=10):
        """(status, body) of one query, the URL built as the client builds it."""
        try:
            with urllib.request.urlopen(self.url + "?" + query, timeout=timeout) as reply:
                return reply.status, reply.read()
        except urllib.error.HTTPError as error:
            with error:
                return error.code, error.read()

    def stop(self):
        """SIGTERM by pid, SIGKILL when it will not go; returns its exit status."""
        status = stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()
        return status


class ModuleSim:
    """sim/module_sim.py (halyard_host.SimProcess) with its packet log and dump directory in
    workdir (a temporary directory when None), stopped by pid at add_cleanup (a test's or a
    class's addCleanup). iface: the address it answers discovery on (inside a namespace only);
    env and enter: its environment and what wraps its command (see halyard_host.SimProcess)."""

    def __init__(self, add_cleanup, *args, iface=None, workdir=None, env=None, enter=None):
        if workdir is None:
            tmp = tempfile.TemporaryDirectory()
            add_cleanup(tmp.cleanup)
            workdir = tmp.name
        self.log = os.path.join(str(workdir), "packets.log")
        self.dump = Path(workdir) / "dump"
        front = ["--iface", iface] if iface else []
        self.proc = host.SimProcess(front + ["--packet-log", self.log, "--dump-dir", str(self.dump)]
                                    + list(args), env=env, enter=enter)
        add_cleanup(self.proc.stop)
        self.ready = self.proc.ready
        self.control = self.proc.control

    def module(self, serial):
        return self.proc.module(serial)

    def state(self, serial):
        return self.control.state(serial)

    def stop(self):
        return self.proc.stop()

    def log_rows(self):
        """The packet log as (time, who, kind, rest) rows."""
        return host.read_log(self.log)

    def packets(self, who, kind):
        """The rest (hex payload) of the packet log rows of one module and kind, in order."""
        return [rest for _, name, row_kind, rest in self.log_rows() if name == who and row_kind == kind]

    def dumped(self, serial, kind, address):
        """What the module kept of kind ("loader", "firmware") at address, or None."""
        self.control("dump " + serial)
        path = self.dump / serial / ("%s-%08X.bin" % (kind, address))
        return path.read_bytes() if path.exists() else None

    def upgrade_requests(self, serial, option):
        """Received upgrade packets with this option byte, as lists of data bytes."""
        found = []
        for rest in self.packets(serial, "RX"):
            data = bytes.fromhex(rest)[2:]
            if len(data) >= 2 and data[0] == 0x5F and data[1] == option:
                found.append(data)
        return found


def run_module_sim(args, env=None, timeout=30):
    """module_sim.py run once to its end (a configuration it refuses); the CompletedProcess."""
    return subprocess.run([PYTHON, MODULE_SIM] + list(args), env=env, capture_output=True,
                          text=True, timeout=timeout)


class InteractiveDriver:
    """A C++ test driver: one command per line in, one JSON line out; stopped with quit, then
    SIGKILL by pid. Lines that are not JSON fail the test unless keep_printed is set, which
    collects them in `printed` (what a runtime printed); a sanitizer report on its standard
    error fails the test when it is stopped."""

    def __init__(self, testcase, command, env=None, keep_printed=False, exit_wait=5.0):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.buffer = b""
        self.printed = []
        self.keep_printed = keep_printed
        self.exit_wait = exit_wait
        testcase.addCleanup(self.stop)

    def __call__(self, line, timeout=20.0):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        deadline = time.monotonic() + timeout
        while True:
            answer, self.buffer = read_driver_line(self.proc, self.buffer, deadline, line,
                                                   self.exit_wait)
            if not self.keep_printed or answer.startswith(b"{"):
                return json.loads(answer)
            self.printed.append(answer.decode(errors="replace"))

    def stop(self, timeout=15.0):
        """Ends the driver; returns its exit status."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=timeout)
        err = ""
        if self.proc.stderr and not self.proc.stderr.closed:
            err = self.proc.stderr.read().decode(errors="replace")
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass
        if "Sanitizer" in err or "runtime error:" in err:
            raise AssertionError("sanitizer report from the driver:\n" + err)
        return self.proc.returncode


# ---- the Updater as the run-as user ---------------------------------------------------------------

RUN_TIMEOUT = 120
RUN_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
SANITIZER_OPTIONS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS")
POLL_INTERVAL = 0.02


def store_dir(home):
    """The Updater's per-user store under its home directory."""
    return Path(home) / ".tessaron" / "updater"


def read_settings(device_dir):
    """The KEY=VALUE lines of a device's .settings file in its store directory, as a dict
    ({} when there is none)."""
    path = Path(device_dir) / ".settings"
    if not path.exists():
        return {}
    pairs = (line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)
    return {key: value for key, value in pairs}


def write_settings(device_dir, settings):
    """Writes a device's .settings file: the KEY=VALUE lines of the dict settings, in its order."""
    lines = "".join("%s=%s\n" % item for item in settings.items())
    (Path(device_dir) / ".settings").write_text(lines)


class Result:
    """A finished run of the Updater: exit status (negative: the signal that ended it), its
    output decoded byte for byte (latin-1) and the seconds it took."""

    def __init__(self, status, stdout, stderr, seconds):
        self.status, self.stdout, self.stderr, self.seconds = status, stdout, stderr, seconds
        self.out_lines = stdout.splitlines()
        self.err_lines = stderr.splitlines()

    def __repr__(self):
        return "exit %s\n--- stdout\n%s--- stderr\n%s" % (self.status, self.stdout, self.stderr)


class _TerminalReader(threading.Thread):
    """Reads a terminal's near side to its end (EIO once the far side has closed)."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd, self.chunks = fd, []
        self.start()

    def run(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                return
            if not chunk:
                return
            self.chunks.append(chunk)

    def text(self):
        self.join(timeout=STOP_TIMEOUT)
        return b"".join(self.chunks).decode("latin-1")


def _file_text(stream):
    stream.seek(0)
    return stream.read().decode("latin-1")


def updater_command(args, uid=RUN_UID, env=None, enter=None):
    """The command line that runs the Updater with args as uid (None: as we are); env: variables
    for the Updater alone, set through env(1) so that neither setpriv nor a namespace tool sees
    them (a preload library, say); enter: wraps the whole command, e.g. into a namespace."""
    command = [UPDATER, *[str(a) for a in args]]
    if env:
        command = ["env", *("%s=%s" % item for item in env.items())] + command
    if uid is not None:
        command = as_user(uid, command)
    return enter(command) if enter is not None else command


def run_updater(args, home, cwd=None, uid=RUN_UID, env=None, enter=None, timeout=RUN_TIMEOUT,
                terminal=False, while_running=None):
    """Runs the built Updater with args (see updater_command for uid, env and enter) with HOME set
    to home (None: no HOME at all), in cwd (default home), standard input on /dev/null, and
    returns its Result. terminal: standard output on a pseudo-terminal, its text as the terminal
    passes it on ("\r\n" line ends). while_running(proc) is called about every 20 ms while it
    runs and once after its end. A run that outlives timeout is killed by pid and fails the
    test; so does a sanitizer report on its standard error."""
    base = {"PATH": RUN_PATH}
    base.update({name: os.environ[name] for name in SANITIZER_OPTIONS if name in os.environ})
    if home is not None:
        base["HOME"] = str(home)
    # Output goes to files, not pipes: the Updater never waits for a reader to take it.
    with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        master, slave = os.openpty() if terminal else (None, out_file)
        start = time.monotonic()
        proc = subprocess.Popen(updater_command(args, uid, env, enter), cwd=str(cwd or home),
                                env=base, stdin=subprocess.DEVNULL, stdout=slave, stderr=err_file)
        if terminal:
            os.close(slave)
            reader = _TerminalReader(master)
        try:
            ended = _wait_for_end(proc, start + timeout, while_running)
        finally:
            if proc.poll() is None:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait(timeout=STOP_TIMEOUT)
            if terminal:
                stdout = reader.text()
                os.close(master)
            else:
                stdout = _file_text(out_file)
            stderr = _file_text(err_file)
    result = Result(proc.returncode, stdout, stderr, (ended or time.monotonic()) - start)
    if ended is None:
        raise AssertionError("Updater %s did not end within %s s: %r" % (list(args), timeout, result))
    if "Sanitizer" in stderr or "runtime error:" in stderr:
        raise AssertionError("sanitizer report from the Updater:\n" + stderr)
    return result


def _wait_for_end(proc, deadline, while_running):
    """The time proc was seen to end, while_running(proc) called meanwhile and once after; None
    when the deadline came first."""
    while proc.poll() is None:
        if time.monotonic() > deadline:
            return None
        if while_running is not None:
            while_running(proc)
        time.sleep(POLL_INTERVAL)
    ended = time.monotonic()
    if while_running is not None:
        while_running(proc)
    return ended
