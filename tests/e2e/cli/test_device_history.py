"""The history of every device in the store: each -U (a file, a store build, several devices at
once) and each recovery appends one JSON line to the device's .history once its outcome is known,
with the -l note; a run ended by SIGINT records that and the state it left the device in. -I shows
the records after what it showed before and --json gives them; damaged lines are named and
skipped; a history that cannot be written costs one warning, never the update. Runs inside a
private network namespace, against simulated modules on TCP/IP."""

import json
import os
import threading
import signal
import unittest

from support import json_document
from support import updater as e2e
from support.common import RUN_UID

SERIAL = "0F5849A1"
SERIAL_NUMBER = 0x0F5849A1
OTHER = "0A000002"
OLD, NEW = 1000, 1234
NOTE = "replaced after RMA 4471"
TIME_RE = r"^20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ$"


def module(serial, **keys):
    settings = dict(serial=serial, model=19, address=2 if serial == SERIAL else 4, version="2.1.5", build=OLD,
                    reboot_ms=300, load_restart_ms=300)
    settings.update(keys)
    return ["--module", ",".join("%s=%s" % item for item in settings.items())]


@e2e.inside_only
class History(unittest.TestCase):
    def setUp(self):
        self.work = e2e.Workspace(self)
        self.sim = e2e.Simulator(self, self.work.root, *module(SERIAL), *module(OTHER))

    def history_file(self, serial=SERIAL):
        return self.work.device(serial) / ".history"

    def records(self, serial=SERIAL):
        """Every line of the device's history as JSON (each must be one)."""
        return [json.loads(line) for line in self.history_file(serial).read_text().splitlines()]

    def update(self, *args, **options):
        return self.work.run("-U", "-d", SERIAL, *args, "-u", e2e.closed_port_url(), **options)

    def bird(self, name, build=NEW, serial=SERIAL_NUMBER, **options):
        return e2e.Bird(self.work.cwd / name, build, serial=serial, **options)

    def interrupted_update(self):
        """An update whose firmware transfer SIGINT stops half-way."""
        self.bird("big.bird", firmware=e2e.firmware_image(NEW, "3.2.1", size=40000))
        self.sim.control("set %s delay_ms 5" % SERIAL)
        sent = []
        data_packets = lambda: self.sim.state(SERIAL)["stats"].get("data_packets", 0)
        before = data_packets()  # the simulator counts those of earlier updates too

        def watch(proc):
            if not sent and data_packets() >= before + 20 and proc.poll() is None:
                proc.send_signal(signal.SIGINT)
                sent.append(True)

        result = self.update("-f", "big.bird", "-l", "stopped on purpose", while_running=watch)
        self.sim.control("set %s delay_ms 0" % SERIAL)
        self.assertTrue(sent, result)
        return result

    def test_four_runs_recorded_in_order_shown_by_info_and_json(self):
        self.bird("fw.bird")
        updated = self.update("-f", "fw.bird", "-l", NOTE)
        self.assertEqual(updated.status, 0, updated)
        self.assertEqual(updated.stderr, "")  # the history costs no line
        self.bird("plover.bird", model="Plover")
        refused = self.update("-f", "plover.bird")
        self.assertEqual(refused.status, 1, refused)
        recovery = self.work.run("-U", "-t", "RECOVER", "-s", str(self.work.cwd / "no-such-port"), "-d", SERIAL,
                                 "-f", "fw.bird", "-l", "bench recovery")
        self.assertEqual(recovery.status, 1, recovery)
        interrupted = self.interrupted_update()
        self.assertEqual(interrupted.status, -signal.SIGINT, interrupted)

        records = self.records()
        self.assertEqual(len(records), 4, (records, interrupted))
        wanted = [
            # command, result, step, state, note, build before, build after, interrupted
            ("update", "updated", None, "running", NOTE, OLD, NEW, None),
            ("update", "failed", "validation", "unchanged", None, NEW, NEW, None),
            ("recover", "failed", "identification", "unchanged", "bench recovery", None, None, None),
            ("update", "failed", "firmware", "in_loader", "stopped on purpose", NEW, None, "SIGINT"),
        ]
        for record, (command, result, step, state, note, before, after, signal_name) in zip(records, wanted):
            with self.subTest(command=command, result=result, step=step):
                self.assertEqual((record["command"], record["result"], record["step"], record["state"],
                                  record["note"], record["build_before"], record["build_after"],
                                  record["interrupted"]),
                                 (command, result, step, state, note, before, after, signal_name), record)
                self.assertEqual(record["serial"], SERIAL)
                self.assertRegex(record["time"], TIME_RE)
                self.assertEqual(record["user"], "uid %d" % RUN_UID)
                self.assertEqual(record["host"], os.uname().nodename)
                self.assertEqual(record["arguments"][1:3], ["-U", "-d"] if command == "update" else ["-U", "-t"])
                self.assertGreaterEqual(record["seconds"], 0)
                if result == "failed":
                    self.assertTrue(record["cause"], record)
        self.assertEqual((records[0]["file"], records[0]["file_build"], records[0]["build_wanted"]),
                         ("fw.bird", NEW, NEW))
        self.assertIn("interrupted by SIGINT", records[3]["cause"])

        info = self.work.run("-I", "-d", SERIAL)
        self.assertEqual(info.status, 0, info)
        at = info.out_lines.index("  History (oldest first):")
        shown = info.out_lines[at + 1:]
        self.assertEqual(len(shown), 4, info)
        self.assertRegex(shown[0], r'^    \S+Z  update  1000 -> 1234  updated  "%s"$' % NOTE)
        self.assertRegex(shown[1], r"^    \S+Z  update  1234 -> 1234  failed at validation \(unchanged\)$")
        self.assertRegex(shown[2], r'^    \S+Z  recover  - -> -  failed at identification \(unchanged\)  '
                                   r'"bench recovery"$')
        self.assertRegex(shown[3], r'^    \S+Z  update  1234 -> -  failed at firmware \(in_loader\), interrupted '
                                   r'by SIGINT  "stopped on purpose"$')

        document = self.work.run("-I", "-d", SERIAL, "--json")
        self.assertEqual(document.status, 0, document)
        devices = json_document.read(self, document, command="info", ok=True)["stored"]
        self.assertEqual([device["serial"] for device in devices], [SERIAL])
        self.assertEqual(devices[0]["history"], records)
        self.assertEqual(devices[0]["history_skipped"], [])

    def test_runs_at_once_and_one_after_the_other_lose_nothing(self):
        for serial in (SERIAL, OTHER):
            self.work.put_build(serial, NEW)
        # Two devices at once, each in a process of its own.
        result = self.work.run("-U", "-d", "%s,%s" % (SERIAL, OTHER), "-b", str(NEW), "-u", e2e.closed_port_url(),
                               "-l", "rack")
        self.assertEqual(result.status, 0, result)
        # Then two runs on the same device, one after the other, and two at once.
        for _ in range(2):
            again = self.update("-b", str(NEW), "-l", "again")
            self.assertEqual(again.status, 0, again)
        results = []
        runs = [threading.Thread(target=lambda: results.append(self.update("-b", str(NEW), "-l", "together")))
                for _ in range(2)]
        for run in runs:
            run.start()
        for run in runs:
            run.join()
        self.assertEqual(len(results), 2)
        self.assertEqual([record["note"] for record in self.records(OTHER)], ["rack"])
        notes = [record["note"] for record in self.records(SERIAL)]
        self.assertEqual(notes, ["rack", "again", "again", "together", "together"])
        self.assertEqual([record["result"] for record in self.records(SERIAL)][:3], ["updated"] * 3)

    def test_damaged_lines_are_named_and_the_next_record_follows_them(self):
        self.bird("fw.bird")
        self.assertEqual(self.update("-f", "fw.bird").status, 0)
        good = self.history_file().read_text()
        self.history_file().write_text(good + "this is no record\n" + good[:30])
        info = self.work.run("-I", "-d", SERIAL)
        self.assertEqual(info.status, 0, info)
        self.assertIn("    Skipped history line 2: not JSON: ", "\n".join(info.out_lines))
        self.assertIn("    Skipped history line 3: cut short (no line end)", info.out_lines)
        self.assertEqual(sum(1 for line in info.out_lines if " updated" in line), 1, info)

        self.assertEqual(self.update("-f", "fw.bird", "-l", "after the damage").status, 0)
        text = self.history_file().read_text()
        self.assertTrue(text.startswith(good + "this is no record\n" + good[:30] + "\n"), text)
        info = self.work.run("-I", "-d", SERIAL, "--json")
        device = json_document.read(self, info, command="info", ok=True)["stored"][0]
        self.assertEqual([record["note"] for record in device["history"]], [None, "after the damage"])
        self.assertEqual([line.split(":")[0] for line in device["history_skipped"]], ["line 2", "line 3"])

    def test_history_that_cannot_be_written_costs_one_warning(self):
        self.bird("fw.bird")
        self.work.put_build(SERIAL, NEW)
        history = self.history_file()
        history.write_text("")
        os.chown(history, 0, 0)
        os.chmod(history, 0o444)
        result = self.update("-f", "fw.bird")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err_lines, ["Warning: history file %s not written: it could not be opened: "
                                            "Permission denied" % history], result)
        self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (SERIAL, NEW))
        self.assertEqual(history.read_text(), "")


Outside = e2e.namespace_suite("cli.test_device_history", "History")


if __name__ == "__main__":
    unittest.main()
