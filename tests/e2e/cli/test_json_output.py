"""--json for the commands that work on devices (-G, -U, -G -U, -U -t RECOVER, several devices):
standard output carries exactly one JSON document, `ok` is true exactly when the exit status is 0,
every line a person reads goes to standard error as it is, and each device named has one record
in the order named. Run in a private network namespace: simulated modules on TCP/IP behind its
veth pair, the update server on 127.0.0.1."""

import json
import os
import re
import signal
import unittest
from collections import Counter

from support import json_document
from support import updater as e2e

A, B, C = "0A000001", "0A000002", "0A000003"
ABSENT = "0A0000EE"
OLD, NEW = 1000, 1234
# Lines whose figures differ from one run to the next.
TIMES = [re.compile(r"^(Update time: )[0-9.]+( sec)$"), re.compile(r"^(    [0-9A-F]{8}  .*?)[0-9]+\.[0-9]( s(?:  .*)?)$")]
RECORD_FIELDS = ["serial", "model", "build_before", "build_wanted", "build_after", "result", "step", "cause", "state",
                 "seconds", "file"]
STATES = {"running", "unchanged", "in_loader", "not_back", "flash_may_be_erased", "unknown"}


def normalized(lines):
    out = []
    for line in lines:
        for pattern in TIMES:
            line = pattern.sub(r"\1#\2", line)
        out.append(line)
    return out


class JsonChecks:
    """What every --json run must show; the test classes supply self.work and run_updater()."""

    def document(self, result, command):
        """The one document of the run's standard output, checked against the rules of the format."""
        self.assertTrue(result.stdout.endswith("\n"), result)
        self.assertEqual(result.stdout.count("\n"), 1, "one line, nothing else: %r" % result)
        document = json.loads(result.stdout)
        self.assertEqual(json_document.schema_faults(document), [], document)
        self.assertEqual(list(document)[:5], ["schema", "program", "command", "ok", "error"], document)
        self.assertEqual(document["schema"], 1)
        self.assertEqual(document["program"]["name"], "Updater")
        self.assertEqual(document["command"], command)
        self.assertIs(document["ok"], result.status == 0, result)
        if document["error"] is not None:
            self.assertEqual(sorted(document["error"]), ["cause", "step"])
            self.assertTrue(document["error"]["cause"], document)
        for record in document.get("devices", []):
            self.assertEqual(list(record), RECORD_FIELDS, record)
            self.assertRegex(record["serial"], r"^[0-9A-F]{8}$")
            self.assertIn(record["state"], STATES)
            failed = record["result"] in ("failed", "not_run")
            self.assertEqual(record["step"] is None, not failed, record)
            self.assertEqual(record["cause"] is None, not failed, record)
            for field in ("build_before", "build_wanted", "build_after"):
                self.assertTrue(record[field] is None or isinstance(record[field], int), record)
        return document

    def assert_same_human_lines(self, plain, with_json):
        """The --json run showed on standard error every line the plain run showed on either."""
        self.assertEqual(plain.status, with_json.status)
        self.assertEqual(Counter(normalized(plain.out_lines + plain.err_lines)),
                         Counter(normalized(with_json.err_lines)))

    def record(self, document, serial):
        records = [r for r in document["devices"] if r["serial"] == serial]
        self.assertEqual(len(records), 1, document)
        return records[0]


@e2e.inside_only
class JsonWithoutModules(JsonChecks, unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)

    def run_updater(self, *args):
        return self.work.run(*args, timeout=120)

    def server(self, builds):
        root = self.work.root / "server"
        for serial, build in builds.items():
            e2e.Bird(root / serial / ("%d.bird" % build), build, serial=int(serial, 16))
        return e2e.UpdateServer(self, root).url

    def test_a_command_line_not_understood(self):
        cases = [
            (["-U", "-d", A, "-q"], "update", "Unknown option: [-q]"),
            (["-G"], "get", "-G must specify a specific device via -d"),
            (["-G", "-d", A, "-b", "12x"], "get", "Invalid build number obtained from argument [12x]"),
            (["-U", "-d", "%s,%s" % (A, B), "-B"], "update",
             "Several devices (-d) are taken by -U and -G only; run the other commands for one device"),
            (["-U"], "update", "Must specify the specific device to be updated"),
            (["-q"], "help", None),
        ]
        for args, command, cause in cases:
            with self.subTest(args=args):
                plain = self.run_updater(*args, "-u", e2e.closed_port_url())
                with_json = self.run_updater(*args, "--json", "-u", e2e.closed_port_url())
                document = self.document(with_json, command)
                self.assert_same_human_lines(plain, with_json)
                self.assertNotIn("devices", document)
                if cause is None:
                    self.assertEqual((with_json.status, document["error"]), (0, None))
                else:
                    self.assertEqual(with_json.status, 1)
                    self.assertEqual(document["error"], {"step": "command", "cause": cause})

    def test_download_from_a_server_that_is_down(self):
        result = self.run_updater("-G", "-d", A, "-u", e2e.closed_port_url(), "--json")
        self.assertEqual(result.status, 1, result)
        record = self.record(self.document(result, "get"), A)
        self.assertEqual((record["result"], record["step"], record["state"]), ("failed", "server", "unchanged"))
        self.assertRegex(record["cause"], r"^greeting of the update server failed: .*Couldn't connect to server")
        self.assertIsNone(record["file"])
        self.assertFalse((self.work.device(A) / ("%d.bird" % NEW)).exists())

    def test_downloads_for_several_devices_with_one_refused(self):
        url = self.server({A: NEW, C: NEW})
        single = self.run_updater("-G", "-d", A, "-u", url, "--json")
        self.assertEqual(single.status, 0, single)
        record = self.record(self.document(single, "get"), A)
        stored = self.work.device(A) / ("%d.bird" % NEW)
        self.assertEqual((record["result"], record["build_wanted"], record["file"], record["state"]),
                         ("downloaded", NEW, str(stored), "unchanged"))
        self.assertEqual(stored.read_bytes(), (self.work.root / "server" / A / ("%d.bird" % NEW)).read_bytes())

        several = self.run_updater("-G", "-d", "%s,%s,%s" % (C, B, A), "-u", url, "--json")
        self.assertEqual(several.status, 1, several)
        document = self.document(several, "get")
        self.assertIsNone(document["error"])
        self.assertEqual([r["serial"] for r in document["devices"]], [C, B, A])
        self.assertEqual([r["result"] for r in document["devices"]], ["downloaded", "failed", "downloaded"])
        refused = document["devices"][1]
        self.assertEqual((refused["step"], refused["state"], refused["build_wanted"]), ("server", "unchanged", None))
        self.assertIn("query of the latest build failed", refused["cause"])
        # The table, on standard error, is the same records in words.
        self.assertEqual(several.err_lines[-1], "1 of 3 devices failed: %s" % B)
        row = [line for line in several.err_lines if line.startswith("    %s  " % B)]
        self.assertEqual(len(row), 1, several)
        self.assertRegex(row[0], r"^    %s  -  +FAILED +[0-9.]+ s  server: query of the latest build failed" % B)

    def test_recovery_through_a_port_that_is_not_there(self):
        args = ["-U", "-t", "RECOVER", "-s", str(self.work.root / "no-such-port"), "-d", A, "-b", str(NEW)]
        plain = self.run_updater(*args)
        with_json = self.run_updater(*args, "--json")
        self.assert_same_human_lines(plain, with_json)
        record = self.record(self.document(with_json, "recover"), A)
        self.assertEqual((record["result"], record["step"], record["state"], record["build_after"]),
                         ("failed", "identification", "unchanged", None))
        self.assertIn("no-such-port", record["cause"])


@e2e.inside_only
class JsonWithModules(JsonChecks, unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        modules = []
        for serial in (A, B, C):
            modules += ["--module", "serial=%s,model=19,address=2,version=2.1.5,build=%d,reboot_ms=300,"
                                    "load_restart_ms=300" % (serial, OLD)]
        self.sim = e2e.Simulator(self, self.work.root, *modules)
        self.no_server = e2e.closed_port_url()

    def run_updater(self, *args):
        return self.work.run(*args, "-u", self.no_server, timeout=180)

    def bird(self, name, serial, model="Osprey"):
        return e2e.Bird(self.work.cwd / name, NEW, serial=int(serial, 16), model=model)

    def test_update_outcomes(self):
        self.bird("a.bird", A)
        self.bird("plover.bird", B, model="Plover")
        cut = self.work.cwd / "cut.bird"
        cut.write_bytes(self.bird("whole.bird", C).path.read_bytes()[:100])
        cases = [
            # args, result, step, state, before, after
            (["-U", "-d", B, "-f", "plover.bird"], "failed", "validation", "unchanged", OLD, OLD),
            (["-U", "-d", ABSENT, "-f", "a.bird"], "failed", "connect", "unchanged", None, None),
            (["-U", "-d", C, "-f", "cut.bird"], "failed", "file", "unchanged", OLD, OLD),
            (["-U", "-d", A, "-f", "a.bird"], "updated", None, "running", OLD, NEW),
        ]
        for args, outcome, step, state, before, after in cases:
            with self.subTest(args=args):
                result = self.run_updater(*args, "--json")
                record = self.record(self.document(result, "update"), args[2])
                self.assertEqual((record["result"], record["step"], record["state"]), (outcome, step, state), record)
                self.assertEqual((record["build_before"], record["build_after"]), (before, after), record)
                self.assertEqual(record["file"], args[4])
                if outcome == "updated":
                    self.assertEqual((record["model"], record["build_wanted"]), ("Osprey", NEW))
                    self.assertEqual(result.err_lines[-1], "Module %s now runs build %d" % (A, NEW))
                    continue
                # Nothing was written: the same command without --json shows the same lines.
                self.assert_same_human_lines(self.run_updater(*args), result)
        self.assertIn("Connected device model and Bird file model do not match",
                      self.record(json.loads(self.run_updater("-U", "-d", B, "-f", "plover.bird", "--json").stdout),
                                  B)["cause"])

    def test_get_and_install_several_devices_with_one_refused(self):
        for serial, model in ((A, "Osprey"), (B, "Plover"), (C, "Osprey")):
            e2e.Bird(self.work.device(serial) / ("%d.bird" % NEW), NEW, serial=int(serial, 16), model=model)
        self.work.give_store_to_runner()
        result = self.run_updater("-U", "-d", "%s,%s,%s" % (B, C, A), "-b", str(NEW), "--json")
        self.assertEqual(result.status, 1, result)
        document = self.document(result, "update")
        self.assertEqual([r["serial"] for r in document["devices"]], [B, C, A])
        self.assertEqual([r["result"] for r in document["devices"]], ["failed", "updated", "updated"])
        refused = document["devices"][0]
        self.assertEqual((refused["step"], refused["state"], refused["build_before"], refused["build_after"]),
                         ("validation", "unchanged", OLD, OLD))
        self.assertEqual(refused["cause"], "Connected device model and Bird file model do not match [Osprey]")
        for record in document["devices"][1:]:
            self.assertEqual((record["build_before"], record["build_wanted"], record["build_after"], record["state"]),
                             (OLD, NEW, NEW, "running"))
            self.assertGreater(record["seconds"], 0)
        # The table without --json: the same rows (the devices updated are put back first).
        json_table = normalized(result.err_lines[result.err_lines.index("Summary:"):])
        for serial in (A, C):
            self.sim.control("set %s build %d" % (serial, OLD))
            self.sim.control.wait_for(serial, lambda s: s["online"] and s["mode"] == "firmware", timeout=15)
        plain = self.run_updater("-U", "-d", "%s,%s,%s" % (B, C, A), "-b", str(NEW))
        self.assertEqual(plain.status, 1, plain)
        plain_table = normalized(plain.out_lines[plain.out_lines.index("Summary:"):] + plain.err_lines[-1:])
        self.assertEqual(json_table, plain_table)
        self.assertRegex(plain_table[2], r"^    %s  %d  +%d  +FAILED +# s  runs build %d, as before  validation: "
                                         r"Connected device model" % (B, OLD, OLD, OLD))


    # -- a signal to a run over several devices --

    def interrupted(self, number, *args):
        """The run of args, sent signal number once a module is in its loader (in the middle of
        the transfers)."""
        for serial in (A, B, C):
            e2e.Bird(self.work.device(serial) / ("%d.bird" % NEW), NEW, serial=int(serial, 16),
                     firmware=e2e.firmware_image(NEW, "3.2.1", size=30000, seed=int(serial, 16) % 251))
        self.work.give_store_to_runner()
        sent = []

        def interrupt(proc):
            if not sent and proc.poll() is None and any(self.sim.state(s)["mode"] == "loader" for s in (A, B, C)):
                os.kill(proc.pid, number)
                sent.append(number)

        result = self.work.run("-U", "-d", "%s,%s,%s" % (A, B, C), "-b", str(NEW), "-u", self.no_server, *args,
                               timeout=180, while_running=interrupt)
        self.assertEqual(sent, [number], result)
        return result

    def test_sigint_ends_the_run_with_every_row_in_a_named_state(self):
        result = self.interrupted(signal.SIGINT)
        self.assertEqual(result.status, 128 + signal.SIGINT, result)
        rows = [line for line in result.out_lines[result.out_lines.index("Summary:") + 2:]]
        self.assertEqual([row[4:12] for row in rows], [A, B, C], result)
        states = [re.split(r"  +", row.strip())[5] for row in rows]
        in_loader = "in its loader without complete firmware: update it again"
        self.assertIn(in_loader, states, result)
        for row, state in zip(rows, states):
            self.assertNotIn(state, ("unknown", ""), row)
            if state == in_loader:
                self.assertRegex(row, r"FAILED .* (loader|firmware): .*interrupted by SIGINT")
        self.assertRegex(result.err_lines[-1], r"^[1-3] of 3 devices failed: ")

    def test_sigterm_ends_the_run_and_its_document_tells_every_device(self):
        result = self.interrupted(signal.SIGTERM, "-j", "2", "--json")
        self.assertEqual(result.status, 128 + signal.SIGTERM, result)
        document = self.document(result, "update")
        self.assertEqual([r["serial"] for r in document["devices"]], [A, B, C])
        for record in document["devices"]:
            self.assertNotEqual(record["state"], "unknown", result)
        waiting = document["devices"][2]
        self.assertEqual((waiting["result"], waiting["step"], waiting["state"]), ("not_run", "start", "unchanged"))
        self.assertIn("in_loader", [r["state"] for r in document["devices"][:2]], document)
        # Nothing was written to the device that never started.
        self.assertEqual(self.sim.state(C)["build"], OLD)
        self.assertEqual(self.sim.state(C)["mode"], "firmware")


Outside = e2e.namespace_suite("cli.test_json_output", "JsonWithoutModules", "JsonWithModules")


if __name__ == "__main__":
    unittest.main()
