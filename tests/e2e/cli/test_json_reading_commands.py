"""--json end to end for the reading commands (-D, -B, -C, -I, -N) and a command line that is not
understood: standard output is one document that validates against the schema that ships with
the program, `ok` follows the exit status, and the lines a person reads are on standard error,
as they stand without --json. Runs inside a private network namespace (sim/netns_run.sh), as the
-D tests do; the update server and the chip simulator are on this side of it."""

import json
import os
import socket
import unittest

from support import json_document
from support import recovery as rs
from support import updater as e2e
from support.updater import mkbird

SERIAL = "0F5849A1"
OTHER = "0F5849A2"
ROUTER = "D272031D"
CHIP = (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)


class Case(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)

    def run_json(self, *args, command, ok, **options):
        """Runs the Updater with --json and args; returns (document, result) once the document
        passed json_document.read."""
        result = self.work.run("--json", *args, **options)
        return json_document.read(self, result, command=command, ok=ok), result

    def assert_lines_moved_to_stderr(self, args, result, same_order=True):
        """The run of args without --json shows on standard output what the --json run showed on
        standard error (its own error lines around them), line for line."""
        plain = self.work.run(*args)
        self.assertEqual(plain.status, result.status, plain)
        moved = [line for line in result.err_lines if line not in plain.err_lines]
        if same_order:
            self.assertEqual(moved, plain.out_lines, (plain, result))
        else:
            self.assertEqual(sorted(moved), sorted(plain.out_lines), (plain, result))


@e2e.inside_only
class Discover(Case):
    def test_modules_found_with_their_fields_and_a_module_that_could_not_be_asked(self):
        e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=19,address=2,version=2.1.5,build=99519470" % SERIAL,
            "--module", "serial=%s,model=13,address=4,version=1.0.0,build=1000,port=40404,refuse=on" % ROUTER,
            "--module", "serial=00000007,model=200,address=254,version=15.1.11259375,build=4294967295")
        document, result = self.run_json("-D", "-t", "TCP", command="discover", ok=True)
        devices = {device["serial"]: device for device in document["devices"]}
        self.assertEqual(sorted(devices), ["00000007", SERIAL, ROUTER])
        self.assertEqual(devices[SERIAL], {
            "serial": SERIAL, "model": "Osprey", "model_number": 19, "build": 99519470, "version": "2.1.5",
            "transport": "TCP", "address": e2e.MODULE_IP, "port": devices[SERIAL]["port"], "module": 2,
            "router": None, "router_address": 2, "cause": None})
        self.assertEqual((devices["00000007"]["model"], devices["00000007"]["build"],
                          devices["00000007"]["version"]), ("Unknown", 4294967295, "15.1.11259375"))
        # Not reached: its build is unknown, not 0, and the record says why.
        refused = devices[ROUTER]
        self.assertEqual((refused["build"], refused["version"], refused["port"]), (None, None, 40404))
        self.assertTrue(refused["cause"], refused)
        self.assertEqual(document["transports"], [{"name": "TCP", "ok": True, "cause": None}])
        self.assertIsNone(document["router"])
        self.assert_lines_moved_to_stderr(["-D", "-t", "TCP"], result, same_order=False)

    def test_a_transport_whose_search_failed_is_named_with_its_cause(self):
        # A socket without SO_REUSEADDR on the reply port keeps discovery from binding it.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 9889))
            document, result = self.run_json("-D", "-t", "TCP", command="discover", ok=True)
        self.assertEqual(document["devices"], [])
        self.assertEqual(document["transports"], [
            {"name": "TCP", "ok": False, "cause": "UDP port 9889 cannot be bound: Address already in use"}])
        self.assertIn("TCP/IP discovery failed: UDP port 9889 cannot be bound: Address already in use",
                      result.err_lines)

    def test_modules_behind_a_router_and_a_router_not_found(self):
        e2e.Simulator(
            self, self.work.root,
            "--module", "serial=%s,model=13,address=254,version=1.0.0,build=1000" % ROUTER,
            "--behind", "router=%s,serial=0000000A,model=19,address=10,version=3.2.1,build=77" % ROUTER)
        document, _ = self.run_json("-D", "-r", ROUTER, command="discover", ok=True)
        self.assertEqual(document["router"], ROUTER)
        self.assertEqual(document["transports"], [{"name": "router", "ok": True, "cause": None}])
        self.assertEqual([(d["serial"], d["module"], d["router"], d["build"]) for d in document["devices"]],
                         [("0000000A", 10, ROUTER, 77)])

        document, result = self.run_json("-D", "-r", "0BADBAD0", "-t", "TCP", command="discover", ok=False)
        self.assertEqual(result.status, 1, result)
        json_document.assert_failure(self, document, "discovery", "Router 0BADBAD0 not found")
        self.assertEqual(document["transports"], [{"name": "router", "ok": False, "cause": "Router 0BADBAD0 not found"}])
        self.assertEqual(document["devices"], [])

    def test_with_info_each_module_carries_what_the_store_keeps(self):
        e2e.Simulator(self, self.work.root,
                      "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000" % SERIAL,
                      "--module", "serial=%s,model=19,address=4,version=2.1.5,build=1000" % OTHER)
        self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird", LAST_DOWNLOAD_DATE="Fri Dec 11 08:00:00 2026")
        document, _ = self.run_json("-D", "-I", "-t", "TCP", command="discover", ok=True)
        stored = {device["serial"]: device["stored"] for device in document["devices"]}
        self.assertIsNone(stored[OTHER])
        self.assertEqual(stored[SERIAL]["latest_download"], {"file": "1234.bird", "date": "Fri Dec 11 08:00:00 2026"})
        self.assertEqual([(b["file"], b["build"]) for b in stored[SERIAL]["builds"]], [("1234.bird", 1234)])


@e2e.inside_only
class Builds(Case):
    def server(self, versions, latest):
        root = self.work.root / "server"
        for build in versions:
            bird = mkbird.simple_file(build=build, version=versions[build], serial=0, model="Osprey",
                                      firmware=bytes(range(256)), loader=b"\x10" * 64)
            (root / SERIAL).mkdir(parents=True, exist_ok=True)
            (root / SERIAL / ("%d.bird" % build)).write_bytes(bird)
        meta = {"versions": {str(b): v for b, v in versions.items()}, "latest": latest}
        (root / SERIAL / "meta.json").write_text(json.dumps(meta))
        return e2e.UpdateServer(self, root).url

    def test_builds_by_number_and_latest_as_the_server_names_it(self):
        # The server names 9 latest although 12 is higher: the program takes 9, and so does the record.
        url = self.server({7: "1.9", 9: "1.10", 12: "0.5-beta"}, latest="9")
        document, result = self.run_json("-B", "-d", SERIAL, "-u", url, command="builds", ok=True)
        self.assertEqual(document["device"], SERIAL)
        self.assertEqual(document["builds"], [
            {"build": 7, "version": "1.9", "latest": False},
            {"build": 9, "version": "1.10", "latest": True},
            {"build": 12, "version": "0.5-beta", "latest": False}])
        self.assertEqual(document["latest"], {"build": 9, "cause": None})
        self.assert_lines_moved_to_stderr(["-B", "-d", SERIAL, "-u", url], result)

    def test_server_texts_with_control_bytes_and_bytes_that_are_not_utf8_stay_valid_json(self):
        # The server sends its texts as Latin-1: "\u00e9" arrives as the byte 0xE9, no UTF-8.
        url = self.server({7: "1.0\u0001\u00e9"}, latest="7")
        root = self.work.root / "server" / SERIAL
        meta = json.loads((root / "meta.json").read_text())
        meta["versions"]["beta"] = "0.1"
        (root / "meta.json").write_text(json.dumps(meta))
        document, _ = self.run_json("-B", "-d", SERIAL, "-u", url, command="builds", ok=True)
        self.assertEqual(document["builds"], [
            {"build": 7, "version": "1.0\u0001\ufffd", "latest": True},
            {"build": None, "name": "beta", "version": "0.1", "latest": False}])

    def test_server_down_and_no_device_named(self):
        cases = [
            # args, step, text in the cause
            (("-B", "-d", SERIAL, "-u", e2e.closed_port_url()), "server", "Couldn't connect to server"),
            (("-B", "-u", e2e.closed_port_url()), "command", "must supply a serial number"),
        ]
        for args, step, cause in cases:
            with self.subTest(args=args):
                document, result = self.run_json(*args, command="builds", ok=False)
                self.assertEqual(result.status, 1, result)
                json_document.assert_failure(self, document, step, cause)
                self.assertEqual(document.get("builds", []), [])


@e2e.inside_only
class Check(Case):
    def setUp(self):
        super().setUp()
        e2e.Simulator(self, self.work.root,
                      "--module", "serial=%s,model=19,address=2,version=2.1.5,build=1000" % SERIAL)

    def write(self, name, serial=int(SERIAL, 16), model="Osprey", firmware=True, **options):
        blocks = [mkbird.loader_block(e2e.LOADER_ADDRESS, e2e.loader_image()),
                  mkbird.info_block(build=1234, version="3.2.1", serial=serial, model=model)]
        if firmware:
            blocks.insert(1, mkbird.firmware_block(e2e.FIRMWARE_ADDRESS, e2e.firmware_image(1234, "3.2.1")))
        path = self.work.cwd / name
        path.write_bytes(mkbird.make(blocks, **options))
        return path

    def test_a_sound_file_with_its_information_and_blocks(self):
        path = self.write("specific.bird")
        document, result = self.run_json("-C", "-f", path, "-d", SERIAL, command="check", ok=True)
        check = document["check"]
        self.assertEqual(check["device"], {"serial": SERIAL, "model": "Osprey", "answered": True})
        [record] = check["files"]
        self.assertEqual(record["info"], {"build": 1234, "version": "3.2.1", "serial": SERIAL, "model": "Osprey"})
        self.assertEqual(record["format_version"], 0x0101)
        self.assertEqual([(b["name"], b["address"]) for b in record["blocks"]],
                         [("loader", e2e.LOADER_ADDRESS), ("firmware", e2e.FIRMWARE_ADDRESS), ("information", None)])
        self.assertEqual((record["faults"], record["sound"], record["loaded"]), ([], True, True))
        self.assert_lines_moved_to_stderr(["-C", "-f", path, "-d", SERIAL], result)

    def test_faults_of_refused_files(self):
        cases = [
            # name, options, -d, (check, step) of every fault, the first fault's words
            ("kestrel.bird", dict(model="Kestrel"), SERIAL, [("device", "validation")],
             "Connected device model and Bird file model do not match"),
            ("nofirmware.bird", dict(firmware=False), None, [("images", "validation")], "no usable firmware image"),
            ("truncated.bird", dict(truncate=200), None, [("load", "file")], "zlib error -3"),
            ("count.bird", dict(count=4), None, [("integrity", "file")], "reports 4 blocks but holds 3"),
            # Another device's file for another model: both faults, where a person reads the first.
            ("other.bird", dict(serial=0x12345678, model="Kestrel"), SERIAL,
             [("file", "validation"), ("device", "validation")], "Bird serial number 12345678"),
        ]
        for name, options, device, faults, words in cases:
            with self.subTest(name=name):
                path = self.write(name, **options)
                args = ("-C", "-f", path) + (("-d", device) if device else ())
                document, result = self.run_json(*args, command="check", ok=False)
                [record] = document["check"]["files"]
                self.assertEqual([(f["check"], f["step"]) for f in record["faults"]], faults, record)
                self.assertFalse(record["sound"])
                json_document.assert_failure(self, document, faults[0][1], words)
                self.assertIn(words, record["faults"][0]["cause"])
                # The person's line names the first fault, as without --json.
                self.assertTrue([line for line in result.err_lines if line.startswith("Check of") and words in line],
                                result)

    def test_an_absent_module_is_not_asked_for_its_model(self):
        path = self.write("specific.bird", serial=int(OTHER, 16))
        document, _ = self.run_json("-C", "-f", path, "-d", OTHER, command="check", ok=True)
        self.assertEqual(document["check"]["device"], {"serial": OTHER, "model": None, "answered": False})

    def test_a_device_without_stored_files(self):
        document, result = self.run_json("-C", "-d", OTHER, command="check", ok=False)
        json_document.assert_failure(self, document, "store", "No stored information for device %s" % OTHER)
        self.assertEqual(document["check"]["files"], [])


@e2e.inside_only
class Info(Case):
    def test_stored_records_and_a_device_the_store_does_not_know(self):
        self.work.put_build(SERIAL, 1234, LATEST_DOWNLOAD="1234.bird", LAST_DOWNLOAD_DATE="Fri Dec 11 08:00:00 2026",
                            LATEST_TRANSFER="1234.bird")
        (self.work.device(SERIAL) / "99.bird").write_bytes(b"bird\x01\x01 cut short")
        self.work.give_store_to_runner()
        document, result = self.run_json("-I", "-d", SERIAL, command="info", ok=True)
        [stored] = document["stored"]
        self.assertEqual((stored["serial"], stored["directory"]), (SERIAL, str(self.work.device(SERIAL))))
        self.assertEqual(stored["latest_download"], {"file": "1234.bird", "date": "Fri Dec 11 08:00:00 2026"})
        self.assertEqual(stored["latest_transfer"], {"file": "1234.bird", "date": None})
        self.assertEqual(stored["settings"]["LATEST_DOWNLOAD"], "1234.bird")
        builds = {build["file"]: build for build in stored["builds"]}
        self.assertEqual((builds["1234.bird"]["build"], builds["1234.bird"]["version"], builds["1234.bird"]["problem"]),
                         (1234, "3.2.1", None))
        self.assertEqual((builds["99.bird"]["build"], builds["99.bird"]["version"]), (None, None))
        self.assertTrue(builds["99.bird"]["problem"])
        self.assert_lines_moved_to_stderr(["-I", "-d", SERIAL], result)

        document, _ = self.run_json("-I", "-d", OTHER, command="info", ok=False)
        json_document.assert_failure(self, document, "store", "No stored information for device %s" % OTHER)
        self.assertEqual(document["stored"], [])


@e2e.inside_only
class CommandLine(Case):
    def test_not_understood_and_help(self):
        cases = [
            # args, exit status, command, step (None: no error)
            (("-D", "-Q"), 1, None, "command"),
            (("-B", "-d", "XYZ"), 1, None, "command"),
            (("-D", "-d"), 1, None, "command"),
            (("-h",), 0, "help", None),
        ]
        for args, status, command, step in cases:
            with self.subTest(args=args):
                document, result = self.run_json(*args, command=command, ok=status == 0)
                self.assertEqual(result.status, status, result)
                self.assertEqual(self.work.run(*args).status, status)
                if step is None:
                    self.assertIsNone(document["error"])
                else:
                    json_document.assert_failure(self, document, step)


@e2e.inside_only
@rs.needs_updater
class FingerprintOfAChip(Case):
    def test_a_chip_identified_and_a_port_that_is_not_there(self):
        chip_dir = self.work.root / "chip"
        chip_dir.mkdir()
        os.chmod(chip_dir, 0o755)
        rom = rs.LpcRom(chip_dir, CHIP)
        self.addCleanup(rom.stop)
        document, result = self.run_json("-N", "-s", rom.link, "-u", e2e.closed_port_url(),
                                         command="fingerprint", ok=True)
        self.assertEqual(document["fingerprint"], {
            "chip": "LPC", "words": ["12345678", "9ABCDEF0", "0F1E2D3C", "4B5A6978"], "port": rom.link})
        self.assertIn("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]", result.err_lines)

        missing = str(self.work.root / "ttyNONE")
        document, _ = self.run_json("-N", "-s", missing, "-u", e2e.closed_port_url(), command="fingerprint", ok=False)
        json_document.assert_failure(self, document, "identification")
        self.assertIsNone(document["fingerprint"])


Outside = e2e.namespace_suite("cli.test_json_reading_commands", "Discover", "Builds", "Check", "Info",
                              "CommandLine", "FingerprintOfAChip")


if __name__ == "__main__":
    unittest.main()
