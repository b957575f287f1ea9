"""-B and -G end to end: the built Updater against sim/update_server.py on 127.0.0.1.

The Updater runs as a user id without a password entry and with HOME set to a temporary
directory, so its store (HOME/.tessaron/updater) never touches a real home directory.
"""

import fcntl
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
from pathlib import Path

SIM_DIR = Path(os.environ.get("SIM_DIR", Path(__file__).resolve().parents[3] / "sim"))
sys.dont_write_bytecode = True
sys.path.insert(0, str(SIM_DIR))
import mkbird  # noqa: E402
from concurrent.futures import ThreadPoolExecutor  # noqa: E402
from support.common import (RUN_UID, UPDATER, UpdateServer, closed_port_url,  # noqa: E402
                        give_to_run_user, read_settings, run_updater, store_dir)
from support.common import sanitizer_builds_skip  # noqa: E402

RUN_TIMEOUT = 60
# A server that never answers must be given up well within this (connect and low-speed bounds).
DEAD_SERVER_TIMEOUT = 90
SERIAL = "0012ABCD"
CTIME_RE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      r"[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}$")
ERASE = "\r" + " " * 88 + "\r"
DOWNLOAD_FAILED = "Download of build %d for device " + SERIAL + " failed: "
LATEST_FAILED = "Query of the latest build for device " + SERIAL + " failed: "
NO_CONNECTION = re.compile(r"Greeting of the update server failed: Failed to connect to 127\.0\.0\.1 port [0-9]+ "
                           r"after [0-9]+ ms: Couldn't connect to server")
LOW_SPEED = "less than 1024 bytes a second from the update server for 20 s"


def run_as_uid():
    """How to start the Updater so that its home directory is the HOME we give it: as RUN_UID
    when we are root, as we are (None) when our own id has no password entry; False otherwise."""
    if os.geteuid() == 0:
        return RUN_UID
    try:
        pwd.getpwuid(os.getuid())
    except KeyError:
        return None        # no password entry: HOME is used
    return False


OPENSSL = shutil.which("openssl")


def make_private_ca(directory):
    """A certificate authority of the test's own and two server certificates it signed: one for
    127.0.0.1 and one for another name. Returns (CA certificate, {name: (certificate, key)})."""
    directory.mkdir(mode=0o755)
    key_args = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def openssl(*args):
        subprocess.run([OPENSSL, *args], cwd=directory, check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    openssl("req", "-x509", *key_args, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Updater test CA")
    servers = {}
    for name, alt in (("local", "IP:127.0.0.1"), ("other", "DNS:updates.example.com")):
        (directory / (name + ".ext")).write_text("subjectAltName=%s\n" % alt)
        openssl("req", *key_args, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + alt[alt.index(":") + 1:])
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext")
        servers[name] = (directory / (name + ".pem"), directory / (name + ".key"))
    os.chmod(directory / "ca.pem", 0o644)
    return directory / "ca.pem", servers


def fault_args(faults):
    return [arg for fault in faults for arg in ("--fault", fault)]


def bird(build, version="1.0.0"):
    return mkbird.simple_file(build=build, version=version, serial=0, model="Osprey",
                              firmware=bytes(range(256)) * (build % 5 + 1), loader=b"\x10" * 64)


@unittest.skipUnless(UPDATER and os.access(UPDATER, os.X_OK), "UPDATER_BIN not set")
class BuildsTest(unittest.TestCase):
    def setUp(self):
        self.uid = run_as_uid()
        if self.uid is False:
            self.skipTest("cannot run the Updater without touching a real home directory")
        self.work = Path(tempfile.mkdtemp(prefix="test_builds."))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.root = self.work / "server"
        self.home = self.work / "home"
        self.home.mkdir()
        if os.geteuid() == 0:
            os.chown(self.home, RUN_UID, RUN_UID)
            os.chmod(self.work, 0o755)
        self.device = store_dir(self.home) / SERIAL
        self.files = {}
        self.add_device(SERIAL, {7: "1.9", 9: "1.10", 12: "0.5-beta-with-a-long-name"},
                        latest="12", firmware="fw-osprey")

    def add_device(self, serial, versions, latest=None, firmware=None):
        directory = self.root / serial
        directory.mkdir(parents=True)
        for build, version in versions.items():
            data = bird(build, version)
            (directory / ("%d.bird" % build)).write_bytes(data)
            self.files[(serial, build)] = data
        meta = {"versions": {str(b): v for b, v in versions.items()}}
        if latest is not None:
            meta["latest"] = latest
        if firmware is not None:
            meta["firmware"] = firmware
        (directory / "meta.json").write_text(json.dumps(meta))

    def server(self, *faults):
        return UpdateServer(self, self.root, *fault_args(faults), log=self.root / "queries.log")

    def run_updater(self, *args, timeout=RUN_TIMEOUT, terminal=False):
        return run_updater(args, self.home, uid=self.uid, timeout=timeout, terminal=terminal)

    def settings(self):
        return read_settings(self.device)

    def stored(self):
        """Names in the device directory other than the settings file."""
        if not self.device.exists():
            return set()
        return {name for name in os.listdir(self.device) if name != ".settings"}

    def assert_downloaded(self, build, result):
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(self.stored(), {"%d.bird" % build})
        self.assertEqual((self.device / ("%d.bird" % build)).read_bytes(), self.files[(SERIAL, build)])
        settings = self.settings()
        self.assertEqual(settings.get("LATEST_DOWNLOAD"), "%d.bird" % build)
        self.assertRegex(settings.get("LAST_DOWNLOAD_DATE", ""), CTIME_RE)

    # ------------------------------------------------------------------ -B

    def test_build_list_sorted_by_version_text(self):
        server = self.server()
        result = self.run_updater("-B", "-d", SERIAL, "-u", server.url)
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(result.out_lines[1:], [
            "Build List for device [0012ABCD]:",
            "",
            "Build          \tVersion        ",
            "12             \t0.5-beta-with-a",
            "9              \t1.10           ",
            "7              \t1.9            ",
        ])
        self.assertEqual(result.stderr, "")
        self.assertEqual(server.queries(), ["op=hi&rv=2&", "op=builds&sn=0012ABCD&"])

    def test_build_list_empty_and_failed(self):
        (self.root / "0000BEEF").mkdir()
        server = self.server()
        cases = [
            # (serial, url, stdout after the version line, stderr lines)
            ("0000BEEF", server.url, ["No builds found for device [0000BEEF]"], []),
            ("0000CAFE", server.url, ["No builds found for device [0000CAFE]"],
             ["Failed to retrieve builds for 0000CAFE"]),
            (SERIAL, closed_port_url(), ["No builds found for device [0012ABCD]"], None),
        ]
        for serial, url, out, err in cases:
            with self.subTest(serial=serial, url=url):
                result = self.run_updater("-B", "-d", serial, "-u", url)
                # Only a list the server gave is an answer; a failure is not.
                self.assertEqual(result.status, 1 if err != [] else 0)
                self.assertEqual(result.out_lines[1:], [] if err != [] else out)
                if err is None:
                    err = ["Server request failed for %s" % url, NO_CONNECTION]
                elif err:
                    err.append('Query of the builds for device %s failed: the update server answered "error": '
                               'unknown device %s' % (serial, serial))
                self.assert_lines(result.err_lines, err)

    def test_build_list_from_the_server_cannot_drive_the_terminal(self):
        shutil.rmtree(self.root / SERIAL)
        self.add_device(SERIAL, {7: "1.0\x1b[2J\x1b]0:owned\x07", 9: "2.0\u009b31m\u00e9"})
        server = self.server()
        result = self.run_updater("-B", "-d", SERIAL, "-u", server.url)
        self.assertEqual(result.status, 0, result.stderr)
        self.assertNotIn("\x1b", result.stdout)
        self.assertNotIn("\x07", result.stdout)
        # The server sends latin-1: 0x9B (a one-byte CSI) and a lone 0xE9 are no UTF-8 text.
        self.assertEqual(result.out_lines[-2:], [
            "7              \t1.0?[2J?]0:owne",
            "9              \t2.0?31m?       ",
        ])

    # ------------------------------------------------------------------ -G

    def test_get_latest_build(self):
        server = self.server()
        result = self.run_updater("-G", "-d", SERIAL, "-u", server.url)
        self.assert_downloaded(12, result)
        self.assertEqual(result.out_lines[1:], [
            "Retrieving firmware for device with serial number 0012ABCD",
            "No build specified",
            "Using Latest build",
            "Retrieving build 12",
            "Validating build 12 with server",
            "Build 12 is valid",
        ])
        self.assertEqual(server.queries(), [
            "op=hi&rv=2&",
            "op=qu&sn=0012ABCD&",
            "op=builds&sn=0012ABCD&",
            "bld=12&fw=fw-osprey&no_cal=false&op=bird&sn=0012ABCD&",
        ])

    def test_get_named_build_then_another_replaces_the_settings(self):
        server = self.server()
        result = self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url)
        self.assert_downloaded(7, result)
        self.assertIn("Retrieving firmware build 7", result.out_lines)
        self.assertEqual(server.queries()[-1], "bld=7&fw=fw-osprey&no_cal=false&op=bird&sn=0012ABCD&")
        result = self.run_updater("-G", "-d", SERIAL, "-b", "9", "-u", server.url)
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(self.stored(), {"7.bird", "9.bird"})
        self.assertEqual((self.device / "9.bird").read_bytes(), self.files[(SERIAL, 9)])
        self.assertEqual(self.settings()["LATEST_DOWNLOAD"], "9.bird")

    def test_override_skips_the_build_list(self):
        server = self.server("body=ok%0A&ops=builds")    # the server lists no builds
        result = self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url)
        self.assertEqual(result.status, 1)
        self.assertEqual(result.err_lines, ["No valid build 7"])
        self.assertEqual(self.stored(), set())
        result = self.run_updater("-G", "-d", SERIAL, "-b", "7", "-OVERRIDE", "-u", server.url)
        self.assert_downloaded(7, result)
        self.assertIn("Override specified, skipping validation of build 7", result.out_lines)
        self.assertNotIn("op=builds&sn=0012ABCD&", server.queries()[-3:])

    def assert_lines(self, lines, expected, message=None):
        """lines equal expected, where a compiled pattern stands for a line it matches in full."""
        self.assertEqual(len(lines), len(expected), (message, lines))
        for line, want in zip(lines, expected):
            if isinstance(want, re.Pattern):
                self.assertIsNotNone(want.fullmatch(line), (message, line))
            else:
                self.assertEqual(line, want, message)

    def test_failures_report_and_store_nothing(self):
        failed = ["Download failed"]
        no_bird = ["Failed to retreive a valid BIRD file"]
        cases = [
            # (name, fault rules, extra arguments, expected error lines)
            ("build not offered", [], ["-b", "5"], ["No valid build 5"]),
            ("no build information", ["body=error%0A&ops=qu"], [],
             ["No build information for device",
              LATEST_FAILED + 'the update server answered "error" instead of "ok"']),
            ("latest is no number", ["body=ok%0Aabc%0Afw-osprey%0A&ops=qu"], [],
             ["No build information for device", LATEST_FAILED + 'the update server named no build number ("abc")']),
            ("build list refused", ["status=503&ops=builds"], [],
             ["No valid build 12", "Query of the builds for device %s failed: HTTP status 503" % SERIAL]),
            ("build request refused", ["status=500&ops=bird"], [],
             failed + [DOWNLOAD_FAILED % 12 + "HTTP status 500"] + no_bird),
            ("error reply to the build request", ["body=error%0A&ops=bird"], [],
             failed + [DOWNLOAD_FAILED % 12 + 'the update server answered "error" instead of "ok"'] + no_bird),
            ("body cut mid-way", ["cut&ops=bird"], [],
             failed + [re.compile(re.escape(DOWNLOAD_FAILED % 12) +
                                  "transfer closed with [0-9]+ bytes remaining to read")] + no_bird),
            ("connection closed", ["close&ops=bird"], [],
             failed + [DOWNLOAD_FAILED % 12 + "Empty reply from server"] + no_bird),
            ("body over the bound", ["huge=%d&ops=bird" % (300 << 20)], [],
             failed + [DOWNLOAD_FAILED % 12 + "reply body exceeds 90880684 bytes"] + no_bird),
            ("empty image", ["body=ok%0A&ops=bird"], [],
             no_bird + [DOWNLOAD_FAILED % 12 + "the update server's reply holds no image"]),
            ("Base64 of a wrong length", ["badb64=length"], [],
             no_bird + [DOWNLOAD_FAILED % 12 + "the image the update server sent is not valid Base64"]),
            ("Base64 with foreign characters", ["badb64=chars"], [],
             no_bird + [DOWNLOAD_FAILED % 12 + "the image the update server sent is not valid Base64"]),
            ("image that is no bird file", ["body=ok%0AaGVsbG8gd29ybGQh%0A&ops=bird"], [],
             no_bird + [DOWNLOAD_FAILED % 12 + "the image the update server sent is not a bird file"]),
        ]
        for name, faults, extra, errors in cases:
            with self.subTest(name):
                server = UpdateServer(None, self.root, *fault_args(faults), log=self.root / "queries.log")
                try:
                    result = self.run_updater("-G", "-d", SERIAL, *extra, "-u", server.url)
                finally:
                    server.stop()
                self.assertEqual(result.status, 1, name)
                self.assert_lines(result.err_lines, errors, name)
                self.assertEqual(self.stored(), set(), name)
                self.assertNotIn("LATEST_DOWNLOAD", self.settings(), name)

    def test_unreachable_server_is_reported_before_the_store_is_touched(self):
        url = closed_port_url()
        result = self.run_updater("-G", "-d", SERIAL, "-u", url)
        self.assertEqual(result.status, 1)
        self.assert_lines(result.err_lines, ["Server request failed for %s" % url, NO_CONNECTION])
        self.assertFalse(self.device.exists())

    def test_failed_download_keeps_the_stored_build_and_settings(self):
        server = self.server()
        self.assert_downloaded(7, self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url))
        before = self.settings()
        for fault in ("cut=100&ops=bird&times=1", "badb64=chars&times=1"):
            with self.subTest(fault):
                # The same server, with one fault for the next build request.
                with urllib.request.urlopen(server.url.replace("/cgi/u", "/ctl/fault?") + fault,
                                            timeout=10) as reply:
                    self.assertEqual(reply.status, 200)
                result = self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url)
                self.assertEqual(result.status, 1)
                self.assertEqual(self.stored(), {"7.bird"})
                self.assertEqual((self.device / "7.bird").read_bytes(), self.files[(SERIAL, 7)])
                self.assertEqual(self.settings(), before)

    def test_file_that_cannot_be_written(self):
        server = self.server()
        self.device.mkdir(parents=True)
        (self.device / "12.bird").mkdir()          # a directory stands where the file goes
        if os.geteuid() == 0:
            for path in (self.home / ".tessaron", self.home / ".tessaron" / "updater", self.device,
                         self.device / "12.bird"):
                os.chown(path, RUN_UID, RUN_UID)
        result = self.run_updater("-G", "-d", SERIAL, "-u", server.url)
        self.assertEqual(result.status, 1)
        self.assertEqual(len(result.err_lines), 2, result.stderr)
        self.assertRegex(result.err_lines[0], r"^Failed to write file with [1-9][0-9]*$")
        self.assertEqual(result.err_lines[1],
                         "Failed to store build 12 as %s: Is a directory" % (self.device / "12.bird"))
        self.assertEqual(self.stored(), {"12.bird"})
        self.assertTrue((self.device / "12.bird").is_dir())
        self.assertNotIn("LATEST_DOWNLOAD", self.settings())

    def test_server_that_never_answers_ends_within_the_bound(self):
        server = self.server("hang=600&ops=bird")
        result = self.run_updater("-G", "-d", SERIAL, "-u", server.url, timeout=DEAD_SERVER_TIMEOUT)
        self.assertEqual(result.status, 1)
        self.assertEqual(result.err_lines, ["Download failed", DOWNLOAD_FAILED % 12 + LOW_SPEED,
                                            "Failed to retreive a valid BIRD file"])
        self.assertEqual(self.stored(), set())

    @sanitizer_builds_skip("it sits out the low-speed bound; the unit tests run the same code with "
                           "short bounds")
    def test_trickling_download_ends_and_a_slow_link_completes(self):
        # A body at 2 bytes a second ends after the low-speed bound (1 KiB/s for 20 s) with an
        # error; 20 KB/s for about 25 s completes.
        server = self.server("rate=2&ops=bird&times=1", "rate=20000&ops=bird&times=1")
        start = time.monotonic()
        result = self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url, timeout=DEAD_SERVER_TIMEOUT)
        self.assertLess(time.monotonic() - start, 60)
        self.assertEqual(result.status, 1)
        self.assertEqual(result.err_lines, ["Download failed", DOWNLOAD_FAILED % 7 + LOW_SPEED,
                                            "Failed to retreive a valid BIRD file"])
        self.assertEqual(self.stored(), set())

        shutil.rmtree(self.root / SERIAL)
        data = mkbird.simple_file(build=7, version="1.0", serial=0, model="Osprey",
                                  firmware=os.urandom(380000), loader=b"\x10" * 64)
        (self.root / SERIAL).mkdir()
        (self.root / SERIAL / "7.bird").write_bytes(data)
        (self.root / SERIAL / "meta.json").write_text(json.dumps({"versions": {"7": "1.0"}}))
        self.files[(SERIAL, 7)] = data
        self.assert_downloaded(7, self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url,
                                                   timeout=DEAD_SERVER_TIMEOUT))

    def own_device_directory(self):
        if os.geteuid() == 0:
            give_to_run_user(self.home)

    def test_temporary_file_of_a_killed_run_is_removed_by_the_next_download(self):
        self.device.mkdir(parents=True)
        ended = subprocess.Popen(["true"])
        ended.wait()
        abandoned = self.device / (".12.bird.partial.%d.0" % ended.pid)
        abandoned.write_bytes(b"half a file")
        self.own_device_directory()
        server = self.server()
        self.assert_downloaded(12, self.run_updater("-G", "-d", SERIAL, "-u", server.url))
        self.assertFalse(abandoned.exists())

    def test_settings_that_cannot_be_read_are_never_replaced(self):
        server = self.server()
        for kind in ("fifo", "directory"):
            with self.subTest(kind):
                shutil.rmtree(self.device, ignore_errors=True)
                self.device.mkdir(parents=True)
                settings = self.device / ".settings"
                if kind == "fifo":
                    os.mkfifo(settings)
                else:
                    settings.mkdir()
                self.own_device_directory()
                result = self.run_updater("-G", "-d", SERIAL, "-u", server.url, timeout=30)
                self.assertEqual(result.status, 1)
                self.assertEqual(result.err_lines, [
                    "Could not read the settings file %s; it is left as it is" % settings])
                self.assertTrue(settings.is_fifo() if kind == "fifo" else settings.is_dir())
                self.assertEqual(self.stored(), set())

    def test_links_planted_in_the_store_are_never_followed(self):
        # The run-as user may write where each link leads: only not following it keeps it there.
        server = self.server()
        target = self.home / "planted"
        settings = self.device / ".settings"
        cases = [
            (".settings.lock", None, ["Build 12 stored, but the download record could not be saved in %s: its lock "
                                      "file is not a regular file" % settings]),
            (".settings", b"LATEST_DOWNLOAD=99.bird\n",
             ["Could not read the settings file %s; it is left as it is" % settings]),
            ("12.bird", b"not firmware", []),
        ]
        for name, contents, errors in cases:
            with self.subTest(name=name):
                shutil.rmtree(store_dir(self.home), ignore_errors=True)
                target.unlink(missing_ok=True)
                if contents is not None:
                    target.write_bytes(contents)
                self.device.mkdir(parents=True)
                (self.device / name).symlink_to(target)
                self.own_device_directory()
                result = self.run_updater("-G", "-d", SERIAL, "-u", server.url)
                self.assertEqual(result.err_lines, errors, result)
                self.assertEqual(result.status, 1 if errors else 0)
                if contents is None:
                    self.assertFalse(os.path.lexists(target))
                else:
                    self.assertEqual(target.read_bytes(), contents)
                if name == "12.bird":  # the link itself was replaced by the build
                    self.assertFalse((self.device / name).is_symlink())
                    self.assertEqual((self.device / name).read_bytes(), self.files[(SERIAL, 12)])

    @unittest.skipUnless(OPENSSL, "needs openssl to make a certificate authority")
    def test_https_server_of_a_private_ca_is_trusted_through_curl_ca_bundle(self):
        ca, servers = make_private_ca(self.work / "tls")
        local = UpdateServer(self, self.root, "--tls-cert", servers["local"][0], "--tls-key", servers["local"][1])
        other = UpdateServer(self, self.root, "--tls-cert", servers["other"][0], "--tls-key", servers["other"][1])
        self.assertTrue(local.url.startswith("https://127.0.0.1:"), local.url)
        unknown_issuer = "SSL certificate problem: unable to get local issuer certificate"
        cases = [
            (local, {}, unknown_issuer),
            (local, {"CURL_CA_BUNDLE": ca}, None),
            (local, {"SSL_CERT_FILE": ca}, None),
            (local, {"CURL_CA_BUNDLE": ca, "SSL_CERT_FILE": "/nonexistent.pem"}, None),
            (other, {}, unknown_issuer),
            (other, {"CURL_CA_BUNDLE": ca}, "SSL: no alternative certificate subject name matches target host name"),
        ]
        for server, env, cause in cases:
            with self.subTest(server=server.url, env=env):
                result = run_updater(("-B", "-d", SERIAL, "-u", server.url), self.home, uid=self.uid,
                                     env={name: str(value) for name, value in env.items()}, timeout=RUN_TIMEOUT)
                if cause is None:
                    self.assertEqual((result.status, result.stderr), (0, ""), result)
                    self.assertEqual(result.out_lines[1], "Build List for device [0012ABCD]:")
                    continue
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.err_lines[0], "Server request failed for %s" % server.url)
                self.assertTrue(result.err_lines[1].startswith("Greeting of the update server failed: " + cause),
                                result.err_lines)

    def test_log_file_of_several_devices_names_the_device_on_every_line(self):
        # Each device's process appends to the one -k file: every line carries its serial number
        # after the time stamp, whole, and only that device's queries are under its number.
        other = "0012ABCE"
        self.add_device(other, {7: "1.9"}, latest="7", firmware="fw-osprey")
        server = self.server()
        log = self.home / "run.log"
        result = self.run_updater("-G", "-d", SERIAL + "," + other, "-u", server.url, "-k", str(log), "-X", "0x20")
        self.assertEqual(result.status, 0, result)
        stamped = re.compile(r"^[0-9]{4}(:[0-9]{2}){5} \| (%s|%s) \| " % (SERIAL, other))
        by_device = {SERIAL: [], other: []}
        for line in log.read_text().splitlines():
            match = stamped.match(line)
            self.assertIsNotNone(match, line)
            by_device[match.group(2)].append(line)
        for serial, lines in by_device.items():
            with self.subTest(serial=serial):
                queries = [line for line in lines if "GET(" in line]
                self.assertTrue(any("op=bird&sn=%s&" % serial in line for line in queries), lines)
                self.assertEqual([q for q in queries if "sn=" in q and "sn=%s&" % serial not in q], [])

    def test_concurrent_downloads_keep_every_record(self):
        # Two -G of the same device at once, with a record of an earlier update in the settings:
        # both builds are stored and no key is lost. Each save is a read-modify-write under the
        # settings file's lock.
        self.device.mkdir(parents=True)
        (self.device / ".settings").write_text("CREATED_TIME=Sat Dec  5 21:20:24 2026\n"
                                               "LATEST_TRANSFER=5.bird\n")
        self.own_device_directory()
        server = self.server("delay=0.3&ops=bird")
        for round_ in range(3):
            with ThreadPoolExecutor(2) as pool:
                runs = [pool.submit(self.run_updater, "-G", "-d", SERIAL, "-b", str(build), "-u", server.url)
                        for build in (7, 9)]
                results = [run.result() for run in runs]
            self.assertEqual([r.status for r in results], [0, 0], [r.stderr for r in results])
            settings = self.settings()
            self.assertIn(settings.get("LATEST_DOWNLOAD"), ("7.bird", "9.bird"))
            self.assertEqual(settings.get("LATEST_TRANSFER"), "5.bird")
            self.assertEqual(settings.get("CREATED_TIME"), "Sat Dec  5 21:20:24 2026")
        self.assertEqual(self.stored(), {"7.bird", "9.bird"})

    def test_settings_lock_held_too_long_is_an_error(self):
        server = self.server()
        self.assert_downloaded(7, self.run_updater("-G", "-d", SERIAL, "-b", "7", "-u", server.url))
        with open(self.device / ".settings.lock", "w") as lock:
            self.own_device_directory()
            fcntl.flock(lock, fcntl.LOCK_EX)
            start = time.monotonic()
            result = self.run_updater("-G", "-d", SERIAL, "-b", "9", "-u", server.url)
            self.assertLess(time.monotonic() - start, 30)
        self.assertEqual(result.status, 1)
        self.assertEqual(result.err_lines, [
            "Build 9 stored, but the download record could not be saved in %s: another run held its "
            "lock too long" % (self.device / ".settings")])
        self.assertEqual(self.settings()["LATEST_DOWNLOAD"], "7.bird")

    def test_small_queries_to_a_server_that_never_answers_end_within_their_bound(self):
        # Each small query gives up after 4 s; -B asks one (the liveness check), -G asks the
        # liveness check and, here, the latest build (the liveness check answered).
        cases = [("hang=600", ("-B",), ["Server request failed for {url}",
                                        "Greeting of the update server failed: no answer from the update server "
                                        "within 4 s"]),
                 ("hang=600&ops=qu", ("-G",), ["No build information for device",
                                               LATEST_FAILED + "no answer from the update server within 4 s"])]
        for fault, command, errors in cases:
            with self.subTest(fault=fault, command=command):
                server = self.server(fault)
                start = time.monotonic()
                result = self.run_updater(*command, "-d", SERIAL, "-u", server.url, timeout=DEAD_SERVER_TIMEOUT)
                self.assertLess(time.monotonic() - start, 15)   # hang guard: 4 s a query
                self.assertEqual(result.err_lines, [e.format(url=server.url) for e in errors])
                self.assertNotIn("\r", result.stdout)
        server = self.server("hang=600&ops=hi")
        shown = self.run_updater("-B", "-d", SERIAL, "-u", server.url, timeout=DEAD_SERVER_TIMEOUT, terminal=True)
        self.assertEqual(shown.status, 1)
        self.assertIn("\r (Asking the update server) .      \r", shown.stdout)
        self.assertIn(ERASE, shown.stdout)

    def test_spinner_only_on_a_terminal(self):
        server = self.server("delay=1&ops=bird")
        shown = self.run_updater("-G", "-d", SERIAL, "-u", server.url, terminal=True)
        self.assertEqual(shown.status, 0)
        self.assertIn("\r (Downloading) .      \r", shown.stdout)
        self.assertIn("\r (Downloading) ..      \r", shown.stdout)
        self.assertIn(ERASE, shown.stdout)
        # The download's spinner is erased once it ends (a slow server query before it, on a busy
        # host, may show and erase a spinner of its own first).
        self.assertIn(ERASE, shown.stdout[shown.stdout.index("(Downloading)"):])
        shutil.rmtree(self.device)
        result = self.run_updater("-G", "-d", SERIAL, "-u", server.url)
        self.assert_downloaded(12, result)
        self.assertNotIn("Downloading", result.stdout)
        self.assertNotIn("\r", result.stdout)


if __name__ == "__main__":
    unittest.main()
