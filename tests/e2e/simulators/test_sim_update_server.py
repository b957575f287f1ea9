"""Tests of sim/update_server.py: queries, query log, fault switches, shutdown."""

import base64
import binascii
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request
from pathlib import Path

SIM_DIR = Path(os.environ.get("SIM_DIR", Path(__file__).resolve().parents[3] / "sim"))
sys.dont_write_bytecode = True
sys.path.insert(0, str(SIM_DIR))
import mkbird  # noqa: E402
from support.common import PYTHON, START_TIMEOUT, STOP_TIMEOUT, UPDATE_SERVER, UpdateServer  # noqa: E402

CALL_TIMEOUT = 10
FINGERPRINT = (0x11111111, 0x22222222, 0x33333333, 0x44444444)
FP_QUERY = "brief=true&fp=11111111%2022222222%2033333333%2044444444&op=fix&"


def bird_query(serial="0012ABCD", build="1300", fw="default"):
    return "bld=%s&fw=%s&no_cal=false&op=bird&sn=%s&" % (build, fw, serial)


class ServerTestCase(unittest.TestCase):
    """A fresh data root and server for every test."""

    server_args = ()

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = Path(self.tmp.name) / "root"
        device = self.root / "0012ABCD"
        device.mkdir(parents=True)
        self.files = {
            1234: mkbird.simple_file(build=1234, version="1.2.3", serial=0x0012ABCD,
                                     firmware=bytes(range(256)) * 4),
            1300: mkbird.simple_file(build=1300, version="1.3.0", serial=0x0012ABCD,
                                     firmware=bytes(range(100)), loader=b"LDR"),
        }
        for build, data in self.files.items():
            (device / ("%d.bird" % build)).write_bytes(data)
        (device / "notes.txt").write_text("not a build")
        self.log = Path(self.tmp.name) / "queries.log"
        self.server = UpdateServer(None, self.root, *self.server_args, log=self.log)

    def tearDown(self):
        status = self.server.stop()
        self.tmp.cleanup()
        self.assertEqual(status, 0)

    def assertReply(self, query, body, status=200):
        self.assertEqual(self.server.get(query), (status, body))

    def logged(self):
        return self.log.read_text().splitlines()


class QueryTest(ServerTestCase):
    def test_ping_latest_and_list(self):
        self.assertReply("op=hi&rv=2&", b"ok\n")
        self.assertReply("op=qu&sn=0012ABCD&", b"ok\n1300\ndefault\n")
        self.assertReply("op=builds&sn=0012ABCD&", b"ok\n1234;1.2.3\n1300;1.3.0\n")

    def test_metadata_overrides_latest_designation_and_versions(self):
        meta = {"latest": "12x", "firmware": "osprey-std",
                "versions": {"1300": "1.10", "99": "0.9"}}
        (self.root / "0012ABCD" / "meta.json").write_text(json.dumps(meta))
        self.assertReply("op=qu&sn=0012ABCD&", b"ok\n12x\nosprey-std\n")
        self.assertReply("op=builds&sn=0012ABCD&", b"ok\n99;0.9\n1234;1.2.3\n1300;1.10\n")
        status, body = self.server.get(bird_query(fw="osprey-std"))
        self.assertEqual(body.split(b"\n")[0], b"ok")

    def test_build_image_is_the_file_in_base64(self):
        status, body = self.server.get(bird_query())
        self.assertEqual(status, 200)
        first, image, rest = body.split(b"\n")
        self.assertEqual((first, rest), (b"ok", b""))
        self.assertEqual(base64.b64decode(image, validate=True), self.files[1300])

    def test_refused_queries_answer_error(self):
        cases = [
            ("op=qu&sn=0012ABCE&", b"unknown device 0012ABCE"),
            ("op=qu&sn=0012abcd&", b"bad serial number '0012abcd'"),
            ("op=builds&", b"missing sn"),
            (bird_query(build="1299"), b"no build 1299 for 0012ABCD"),
            (bird_query(build="01300"), b"bad build number '01300'"),
            (bird_query(fw="other"), b"unknown firmware 'other'"),
            ("bld=1300&fw=default&no_cal=maybe&op=bird&sn=0012ABCD&", b"bad no_cal 'maybe'"),
            ("op=zz&", b"unknown op 'zz'"),
            ("brief=true&fp=1%202%203&op=fix&", b"bad fingerprint '1 2 3'"),
            (FP_QUERY, b"unknown fingerprint"),
        ]
        for query, reason in cases:
            with self.subTest(query):
                self.assertReply(query, b"error\n" + reason + b"\n")

    def test_query_log_holds_each_query_as_received(self):
        queries = ["op=hi&rv=2&", "op=qu&sn=0012ABCD&", bird_query(), FP_QUERY, ""]
        for query in queries:
            self.server.get(query)
        self.server.control("state")
        self.server.get("op=hi&rv=2&", timeout=CALL_TIMEOUT)
        self.assertEqual(self.logged(), queries + ["op=hi&rv=2&"])

    def test_other_paths_are_not_found(self):
        with self.assertRaises(urllib.error.HTTPError) as caught:
            urllib.request.urlopen(self.server.base + "/cgi/x?op=hi", timeout=CALL_TIMEOUT)
        self.assertEqual(caught.exception.code, 404)
        caught.exception.close()

    def test_data_changes_are_seen_at_once(self):
        (self.root / "0012ABCD" / "1400.bird").write_bytes(self.files[1300])
        self.assertReply("op=qu&sn=0012ABCD&", b"ok\n1400\ndefault\n")


class RecoveryTest(ServerTestCase):
    def write_table(self, entry):
        table = {" ".join("%08X" % w for w in FINGERPRINT): entry}
        (self.root / "fingerprints.json").write_text(json.dumps(table))

    def test_fingerprint_gives_serial_and_build(self):
        self.write_table({"serial": 0x0012ABCD, "build": 1234})
        self.assertReply(FP_QUERY, b"ok\n0012ABCD\n1234\n")
        self.assertReply("brief=true&fp=11111111+22222222+33333333+44444444&op=fix&",
                         b"ok\n0012ABCD\n1234\n")

    def test_raw_texts_and_default_build(self):
        self.write_table({"serial": "0x0012abcd", "build": "0x4D2"})
        self.assertReply(FP_QUERY, b"ok\n0x0012abcd\n0x4D2\n")
        self.write_table({"serial": "0012ABCD"})
        self.assertReply(FP_QUERY, b"ok\n0012ABCD\n1300\n")

    def test_builds_of_a_recovery_device_are_encoded_for_its_chip(self):
        self.write_table({"serial": "0012ABCD", "build": 1300})
        status, body = self.server.get(bird_query())
        served = base64.b64decode(body.split(b"\n")[1])
        self.assertNotEqual(served, self.files[1300])
        original = mkbird.parse(self.files[1300])
        coded = mkbird.parse(served)
        self.assertEqual([b.type for b in coded.blocks], [b.type for b in original.blocks])
        for plain, stored in zip(original.blocks, coded.blocks):
            if plain.type == mkbird.BLOCK_FIRMWARE:
                self.assertEqual(stored.address, plain.address)
                self.assertEqual(mkbird.decode_image(stored.image, FINGERPRINT), plain.image)
                self.assertNotEqual(stored.image, plain.image)
            else:
                self.assertEqual(stored.data, plain.data)

    def test_broken_table_gives_an_error_reply(self):
        for table in ('{"11111111 22222222 33333333 44444444": {"build": 1}}',
                      '{"11111111 22222222 33333333 44444444": ["x"]}',
                      '{"1 2 3 4": {"serial": 1}}', '{not json'):
            with self.subTest(table):
                (self.root / "fingerprints.json").write_text(table)
                status, body = self.server.get(FP_QUERY)
                self.assertEqual((status, body.split(b"\n")[0]), (200, b"error"))

    def test_encoding_can_be_switched_off(self):
        self.write_table({"serial": "0012ABCD", "build": 1300, "encode": False})
        status, body = self.server.get(bird_query())
        self.assertEqual(base64.b64decode(body.split(b"\n")[1]), self.files[1300])


class FaultTest(ServerTestCase):
    def test_reply_shaping_faults(self):
        image_line = base64.b64encode(self.files[1300])
        cases = [
            # fault rule, query, expected (status, body)
            ("status=404", "op=hi&rv=2&", (404, b"ok\n")),
            ("status=500&ops=bird", "op=hi&rv=2&", (200, b"ok\n")),
            ("status=500&ops=bird", bird_query(), (500, b"ok\n" + image_line + b"\n")),
            ("notok=OK", "op=qu&sn=0012ABCD&", (200, b"OK\n1300\ndefault\n")),
            ("notok", "op=hi&rv=2&", (200, b"error\n")),
            ("body=ok%0A%0A1234%0Afw%20x%0D%0A", "op=qu&sn=0012ABCD&", (200, b"ok\n\n1234\nfw x\r\n")),
            ("body=&status=200", "op=builds&sn=0012ABCD&", (200, b"")),
            ("body=ok%0A%FF%00", "op=hi&rv=2&", (200, b"ok\n\xff\x00")),
            ("delay=0.2", "op=hi&rv=2&", (200, b"ok\n")),
        ]
        for rule, query, expected in cases:
            with self.subTest(rule=rule, query=query[:12]):
                self.server.control("clear")
                self.server.control("fault", rule)
                self.assertEqual(self.server.get(query), expected)

    def test_undecodable_base64(self):
        self.server.control("fault", "badb64=length")
        self.assertReply("op=hi&rv=2&", b"ok\n")           # only build replies are spoiled
        line = self.server.get(bird_query())[1].split(b"\n")[1]
        self.assertNotEqual(len(line) % 4, 0)
        self.server.control("clear")
        self.server.control("fault", "badb64=chars")
        line = self.server.get(bird_query())[1].split(b"\n")[1]
        self.assertEqual(len(line) % 4, 0)
        with self.assertRaises(binascii.Error):
            base64.b64decode(line, validate=True)

    def test_cut_body_declares_more_than_it_sends(self):
        self.server.control("fault", "cut=5")
        with self.assertRaises(http.client.IncompleteRead) as caught:
            self.server.get("op=qu&sn=0012ABCD&")
        self.assertEqual(caught.exception.partial, b"ok\n13")
        self.assertEqual(caught.exception.expected, len(b"ok\n1300\ndefault\n") - 5)

    def test_close_and_bounded_hang_give_no_reply(self):
        for rule in ("close", "hang=0.2"):
            with self.subTest(rule):
                self.server.control("clear")
                self.server.control("fault", rule)
                with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
                    self.server.get("op=hi&rv=2&")

    def test_hang_outlasts_the_client_and_blocks_nothing_else(self):
        self.server.control("fault", "hang=600&ops=bird")
        with self.assertRaises((socket.timeout, urllib.error.URLError)):
            self.server.get(bird_query(), timeout=0.5)
        self.assertReply("op=hi&rv=2&", b"ok\n")

    def test_huge_body_is_streamed_whole(self):
        size = 3 * 1024 * 1024 + 7
        self.server.control("fault", "huge=%d&ops=bird" % size)
        status, body = self.server.get(bird_query(), timeout=60)
        self.assertEqual((status, len(body)), (200, size))
        self.assertTrue(body.startswith(b"ok\nAAAA"))
        self.assertTrue(body.endswith(b"A\n"))
        self.assertEqual(body.count(b"\n"), 2)

    def test_huge_body_stops_at_its_time_limit(self):
        self.server.control("fault", "huge=%d&limit=0" % (1 << 30))
        with self.assertRaises(http.client.IncompleteRead):
            self.server.get("op=hi&rv=2&", timeout=60)

    def test_times_ops_and_rule_order(self):
        self.server.control("fault", "status=503&ops=hi&times=2")
        self.server.control("fault", "status=502")
        self.assertEqual(self.server.get("op=qu&sn=0012ABCD&")[0], 502)
        self.assertEqual(self.server.get("op=hi&rv=2&")[0], 503)
        state = json.loads(self.server.control("state"))
        self.assertEqual([f["times"] for f in state["faults"]], [1, None])
        self.assertEqual(self.server.get("op=hi&rv=2&")[0], 503)
        self.assertEqual(self.server.get("op=hi&rv=2&")[0], 502)
        state = json.loads(self.server.control("state"))
        self.assertEqual(len(state["faults"]), 1)
        self.assertEqual(state["queries"], {"qu": 1, "hi": 3})
        self.server.control("clear")
        self.assertReply("op=hi&rv=2&", b"ok\n")

    def test_bad_control_requests(self):
        for command, query, code in (("fault", "colour=red", 400), ("fault", "status=abc", 400),
                                     ("fault", "ops=hi,nope&status=500", 400), ("fault", "", 400),
                                     ("fault", "delay=", 400), ("fault", "hang=7200", 400),
                                     ("reboot", "", 404)):
            with self.subTest(command=command, query=query):
                with self.assertRaises(urllib.error.HTTPError) as caught:
                    self.server.control(command, query)
                self.assertEqual(caught.exception.code, code)
                caught.exception.close()
        self.assertEqual(json.loads(self.server.control("state"))["faults"], [])


class StartupFaultTest(ServerTestCase):
    server_args = ("--fault", "status=503&ops=hi", "--fault", "notok=busy&times=1")

    def test_command_line_faults_apply_from_the_start(self):
        self.assertEqual(self.server.get("op=hi&rv=2&")[0], 503)
        self.assertReply("op=qu&sn=0012ABCD&", b"busy\n1300\ndefault\n")
        self.assertReply("op=qu&sn=0012ABCD&", b"ok\n1300\ndefault\n")


class LifecycleTest(unittest.TestCase):
    def test_url_file_and_sigterm_during_a_hang(self):
        with tempfile.TemporaryDirectory() as tmp:
            url_file = Path(tmp) / "url"
            server = UpdateServer(None, tmp, "--url-file", str(url_file), "--fault", "hang=600",
                                  log=Path(tmp) / "log")
            try:
                self.assertEqual(url_file.read_text(), server.url + "\n")
                self.assertRegex(server.url, r"^http://127\.0\.0\.1:\d+/cgi/u$")
                errors = []

                def client():
                    try:
                        server.get("op=hi&rv=2&", timeout=STOP_TIMEOUT + 5)
                    except Exception as error:  # noqa: BLE001 (what matters is that it ends)
                        errors.append(error)

                thread = threading.Thread(target=client)
                thread.start()
                self.assertTrue(wait_for_line(Path(tmp) / "log"))
            finally:
                status = server.stop()
            thread.join(STOP_TIMEOUT + 10)
            self.assertEqual(status, 0)
            self.assertFalse(thread.is_alive())
            self.assertEqual(len(errors), 1)

    def test_bad_fault_option_is_refused(self):
        result = subprocess.run([PYTHON, UPDATE_SERVER, "--root", ".", "--fault", "colour=red"],
                                capture_output=True, timeout=START_TIMEOUT)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"unknown fault key", result.stderr)


def wait_for_line(path, attempts=200):
    """True once the query log has a line (the hanging request has arrived)."""
    event = threading.Event()
    for _ in range(attempts):
        if path.exists() and path.read_text():
            return True
        event.wait(0.05)
    return False


if __name__ == "__main__":
    unittest.main()
