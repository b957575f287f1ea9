"""-U and -G for several devices in one command: eight simulated modules (six on TCP/IP behind the
veth pair of a private network namespace, two on emulated USB) updated side by side, each checked
byte for byte in the simulator's memory; one module that refuses or vanishes while the others
complete; -U -d all over a mix of current and old modules; concurrent downloads into one store;
and the Ansible module driving the program through ansible-playbook.

The simulators are started once for the class and put back to their first state before each test
(build, version, faults), so that the cases share their set-up."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from support import updater as e2e
from support import usb
from support.common import PYTHON, RUN_PATH, RUN_UID, UPDATER

TCP = ["0A000001", "0A000002", "0A000003", "0A000004", "0A000005", "0A000006"]
USB = ["0B000001", "0B000002"]
ALL = TCP + USB
OLD, NEW = 1000, 1234
HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = Path(os.environ.get("SRC_DIR", Path(HERE).parents[1])) / "contrib" / "ansible" / "tessaron" / "updater"
ANSIBLE = shutil.which("ansible-playbook")
ROW = re.compile(r"^    ([0-9A-F]{8})  (\S+) +(\S+) +(\S+) +([0-9.]+ s|-)  (.*)$")
DOWNLOAD_ROW = re.compile(r"^    ([0-9A-F]{8})  (\S+) +(\S+) +([0-9.]+ s|-)$")


def firmware(serial, build):
    return e2e.firmware_image(build, "3.2.1", seed=int(serial, 16) % 251)


class ClassCleanup:
    """What a helper taking a test case needs for cleanups that last as long as the class."""

    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


def table(result, row=ROW):
    """{serial: (before, after, result, time, rest)} from the summary table at the end (-G:
    DOWNLOAD_ROW, (build, result, time))."""
    lines = result.out_lines
    start = lines.index("Summary:")
    rows = {}
    for line in lines[start + 2:]:
        match = row.match(line)
        if match:
            rows[match.group(1)] = match.groups()[1:]
    return rows


@e2e.inside_only
@unittest.skipUnless(usb.HAVE_UMOCKDEV, "needs umockdev for the modules on USB")
class Rack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.simdir = Path(tempfile.mkdtemp(prefix="rack."))
        cls.addClassCleanup(shutil.rmtree, cls.simdir, ignore_errors=True)
        os.chmod(cls.simdir, 0o755)
        modules = []
        for serial in TCP:
            modules += ["--module", "serial=%s,model=19,address=2,version=2.1.5,build=%d,reboot_ms=300,"
                                    "load_restart_ms=300" % (serial, OLD)]
        cls.sim = e2e.ModuleSim(cls.addClassCleanup, *modules, iface=e2e.MODULE_IP, workdir=cls.simdir)
        cls.dump = cls.simdir / "usbdump"
        cls.dump.mkdir()
        os.chown(cls.dump, RUN_UID, RUN_UID)
        usb_modules = []
        for serial in USB:
            usb_modules += usb.module_arg(serial=serial, model=19, address=2, version="2.1.5", build=OLD,
                                      load_mode="restart", load_restart_ms=500, reboot_ms=300)
        cls.bus = usb.UsbBus(ClassCleanup(cls), "--dump-dir", str(cls.dump), *usb_modules, run_as=RUN_UID)

    def setUp(self):
        self.work = e2e.Workspace(self)
        self.no_server = e2e.closed_port_url()
        for serial in TCP:
            self.sim.control("revive %s" % serial)
            for name, value in (("vanish_after_data", 0), ("mode", "firmware"), ("build", OLD), ("version", "2.1.5")):
                self.sim.control("set %s %s %s" % (serial, name, value))
        for serial in USB:
            for name, value in (("build", OLD), ("version", "2.1.5")):
                self.bus("set %s %s %s" % (serial, name, value))
        for serial in TCP:
            self.sim.control.wait_for(serial, lambda s: s["online"] and s["mode"] == "firmware", timeout=15)
        for serial in USB:
            self.bus.wait_for(lambda: (lambda s: s["plugged"] and s["module"]["mode"] == "firmware")(
                self.bus.state(serial)), timeout=15, what="%s on the bus" % serial)

    # -- helpers --

    def run_updater(self, *args, long_wait_ms=None, **options):
        env = self.bus.updater_env(long_wait_ms)
        return self.work.run(*args, env=env, timeout=180, **options)

    def store_builds(self, build=NEW, model="Osprey", serials=ALL):
        return {serial: e2e.Bird(self.work.device(serial) / ("%d.bird" % build), build, serial=int(serial, 16),
                                 model=model, firmware=firmware(serial, build))
                for serial in serials}

    def server(self, builds):
        """The update server with builds {serial: [build, ...]}; the latest is the highest."""
        root = self.work.root / "server"
        for serial, numbers in builds.items():
            for build in numbers:
                e2e.Bird(root / serial / ("%d.bird" % build), build, serial=int(serial, 16),
                         firmware=firmware(serial, build))
        return e2e.UpdateServer(self, root).url

    def dumped(self, serial):
        if serial in USB:
            self.bus("dump " + serial)
            path = self.dump / serial / ("firmware-%08X.bin" % e2e.FIRMWARE_ADDRESS)
            return path.read_bytes() if path.exists() else None
        return self.sim.dumped(serial, "firmware", e2e.FIRMWARE_ADDRESS)

    def running_build(self, serial):
        if serial in USB:
            return self.bus.state(serial)["module"]["build"]
        return self.sim.state(serial)["build"]

    def inits(self, serial):
        return len(self.sim.upgrade_requests(serial, 0x00))

    def assert_updated(self, result, serials, birds):
        rows = table(result)
        for serial in serials:
            with self.subTest(serial=serial):
                self.assertEqual(rows[serial][:3], (str(OLD), str(NEW), "updated"), result)
                self.assertEqual(rows[serial][4], "runs build %d" % NEW)
                self.assertEqual(self.dumped(serial), birds[serial].firmware)
                self.assertEqual(self.running_build(serial), NEW)
                self.assertEqual(self.work.settings(serial).get("LATEST_TRANSFER"), "%d.bird" % NEW)
                self.assertIn("%s: Updating firmware with build: %d" % (serial, NEW), result.out_lines)

    # -- cases --

    def test_eight_modules_in_one_command(self):
        birds = self.store_builds()
        self.work.give_store_to_runner()
        result = self.run_updater("-U", "-d", ",".join(ALL), "-b", str(NEW), "-u", self.no_server, "-j", "8")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "", result)
        self.assertEqual(result.out_lines[:2], ["Updater (Version: 1.1 Apr 26 2023)", "Updating 8 devices, 8 at a time"])
        self.assertEqual(sorted(table(result)), sorted(ALL))
        self.assert_updated(result, ALL, birds)
        # Every other line belongs to one device and says so; the version line only once.
        body = result.out_lines[2:result.out_lines.index("Summary:") - 1]
        self.assertTrue(all(re.match(r"^[0-9A-F]{8}: ", line) for line in body), body)
        self.assertEqual(sum("Updater (Version" in line for line in result.out_lines), 1)

    def test_one_module_refuses_and_one_vanishes_while_the_others_complete(self):
        refusing, vanishing = "0A000002", "0A000005"
        birds = self.store_builds(serials=[s for s in ALL if s != refusing])
        self.store_builds(serials=[refusing], model="Plover")
        self.work.give_store_to_runner()
        # The loader takes 12 DATA packets: the module vanishes in its firmware, for good.
        self.sim.control("set %s vanish_after_data 20" % vanishing)
        result = self.run_updater("-U", "-d", ",".join(ALL), "-b", str(NEW), "-u", self.no_server,
                                  long_wait_ms=3000)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Updating 8 devices, 4 at a time", result.out_lines)
        completed = [s for s in ALL if s not in (refusing, vanishing)]
        self.assert_updated(result, completed, birds)
        rows = table(result)
        self.assertEqual(rows[refusing][:3], (str(OLD), str(OLD), "FAILED"))
        self.assertEqual(rows[refusing][4].split("  ")[0], "runs build %d, as before" % OLD)
        self.assertTrue(rows[refusing][4].endswith("Connected device model and Bird file model do not match [Osprey]"),
                        rows[refusing])
        self.assertTrue(rows[refusing][4].split("  ")[-1].startswith("validation: "), rows[refusing])
        self.assertEqual(rows[vanishing][:3], (str(OLD), "-", "FAILED"))
        self.assertRegex(rows[vanishing][4], r"^in its loader without complete firmware: update it again +"
                                             r"firmware: .+")
        self.assertIn("%s: Birdfile failed validation" % refusing, result.err_lines)
        self.assertEqual(result.err_lines[-1], "2 of 8 devices failed: %s, %s" % (refusing, vanishing))
        for serial in (refusing, vanishing):
            self.assertNotIn("LATEST_TRANSFER", self.work.settings(serial))
        self.assertEqual(self.sim.state(refusing)["build"], OLD)

    def test_the_table_shows_what_the_outcome_check_read_after_the_reboot(self):
        # The second module takes the firmware but boots its old image again: the build after is
        # the one it came back with, and the run fails.
        good, rolling_back = TCP[:2]
        birds = self.store_builds(serials=[good])
        e2e.Bird(self.work.device(rolling_back) / ("%d.bird" % NEW), NEW, serial=int(rolling_back, 16),
                 firmware=bytes((i * 29 + 3) & 0xFF for i in range(1500)))
        self.work.give_store_to_runner()
        result = self.run_updater("-U", "-d", "%s,%s" % (good, rolling_back), "-b", str(NEW), "-u", self.no_server)
        self.assertEqual(result.status, 1, result)
        self.assert_updated(result, [good], birds)
        rows = table(result)
        self.assertEqual(rows[rolling_back][:3], (str(OLD), str(OLD), "FAILED"), result)
        state, cause = re.split(r"  +", rows[rolling_back][4])
        self.assertEqual(state, "runs build %d, as before" % OLD)
        self.assertEqual(cause, "verification: it came back running build %d, not build %d" % (OLD, NEW))
        # The same build as the device's own last line: the outcome check's reading.
        self.assertIn("%s: Module %s came back running build %d, not build %d of the file: the new firmware did "
                      "not take; run the update again, or recover it with -U -t RECOVER"
                      % (rolling_back, rolling_back, OLD, NEW), result.err_lines)
        self.assertEqual(result.err_lines[-1], "1 of 2 devices failed: %s" % rolling_back)
        self.assertEqual(self.running_build(rolling_back), OLD)
        self.assertNotIn("LATEST_TRANSFER", self.work.settings(rolling_back))

    def test_every_module_found_that_does_not_run_the_latest_build(self):
        current = ["0A000001", "0A000004", "0B000002"]
        for serial in current:
            (self.bus if serial in USB else self.sim.control)("set %s build %d" % (serial, NEW))
        url = self.server({serial: [OLD, NEW] for serial in ALL})
        birds = self.store_builds()
        self.work.give_store_to_runner()
        inits = {serial: self.inits(serial) for serial in TCP}
        result = self.run_updater("-U", "-d", "all", "-u", url, "-j", "8")
        self.assertEqual(result.status, 0, result)
        old = [s for s in ALL if s not in current]
        self.assertIn("Updating %d devices, %d at a time" % (len(old), len(old)), result.out_lines)
        self.assert_updated(result, old, birds)
        rows = table(result)
        for serial in current:
            self.assertEqual(rows[serial], (str(NEW), str(NEW), "current", "-", "runs build %d" % NEW))
            self.assertFalse(any(line.startswith(serial + ":") for line in result.out_lines + result.err_lines))
        for serial in TCP:
            self.assertEqual(self.inits(serial), inits[serial] + (0 if serial in current else 1), serial)

        again = self.run_updater("-U", "-d", "all", "-u", url)
        self.assertEqual(again.status, 0, again)
        self.assertEqual(again.out_lines[1:], ["Searching for Halyard devices",
                                               "Nothing to do: all 8 modules found run the chosen build"])
        self.assertEqual(again.stderr, "")

    def test_downloads_of_several_devices_into_one_store(self):
        url = self.server({serial: [NEW] for serial in ALL})
        result = self.run_updater("-G", "-d", ",".join(ALL), "-u", url, "-j", "8")
        self.assertEqual(result.status, 0, result)
        rows = table(result, DOWNLOAD_ROW)
        served = self.work.root / "server"
        for serial in ALL:
            with self.subTest(serial=serial):
                self.assertEqual(rows[serial][:2], (str(NEW), "downloaded"))
                stored = self.work.device(serial) / ("%d.bird" % NEW)
                self.assertEqual(stored.read_bytes(), (served / serial / ("%d.bird" % NEW)).read_bytes())
                settings = self.work.settings(serial)
                self.assertEqual(settings.get("LATEST_DOWNLOAD"), "%d.bird" % NEW)
                self.assertRegex(settings.get("LAST_DOWNLOAD_DATE", ""), e2e.CTIME_RE)
        # Nothing but the device directories, and no file left half-written.
        self.assertEqual(sorted(p.name for p in self.work.store.iterdir()), sorted(ALL))
        for serial in ALL:
            self.assertEqual(sorted(p.name for p in self.work.device(serial).iterdir()),
                             [".settings", "%d.bird" % NEW])

    def test_progress_on_a_terminal_is_one_line_per_device(self):
        devices = TCP[:2]
        birds = self.store_builds(serials=devices)
        self.work.give_store_to_runner()
        shown = self.run_updater("-U", "-d", ",".join(devices), "-b", str(NEW), "-u", self.no_server, terminal=True)
        self.assertEqual(shown.status, 0, shown)
        for serial in devices:
            # Its own line of the area: the bar of its firmware transfer, drawn below the lines.
            # A device's line starts a screen line: after a line end, or first after the redraw's clear.
            self.assertRegex(shown.stdout, r"(?:\r\n|\x1b\[J)%s \[=*> *\] +[0-9]+%%\r\n" % serial)
            self.assertEqual(self.dumped(serial), birds[serial].firmware)
        # The area is taken away before every line and at the end: the table stands alone.
        self.assertIn("\x1b[2F\x1b[J", shown.stdout)
        self.assertTrue(shown.stdout.split("Summary:")[1].count("\x1b") == 0, shown.stdout)

    def test_devices_finish_their_update_when_the_run_is_killed(self):
        devices = TCP[:2]
        images = {serial: e2e.firmware_image(NEW, "3.2.1", size=30000, seed=int(serial, 16) % 251)
                  for serial in devices}
        for serial in devices:
            e2e.Bird(self.work.device(serial) / ("%d.bird" % NEW), NEW, serial=int(serial, 16),
                     firmware=images[serial])
        self.work.give_store_to_runner()

        def kill_in_the_firmware_transfer(proc):
            if proc.poll() is None and any(self.sim.state(s)["mode"] == "loader" for s in devices):
                os.kill(proc.pid, signal.SIGKILL)

        result = self.run_updater("-U", "-d", ",".join(devices), "-b", str(NEW), "-u", self.no_server,
                                  while_running=kill_in_the_firmware_transfer)
        self.assertEqual(result.status, -signal.SIGKILL, result)
        # Each device's process goes on without anyone reading its lines, to the end of its update.
        for serial in devices:
            self.sim.control.wait_for(serial, lambda s: s["online"] and s["build"] == NEW, timeout=60)
            self.assertEqual(self.dumped(serial), images[serial])
        for serial in devices:
            deadline = time.monotonic() + 30
            while "LATEST_TRANSFER" not in self.work.settings(serial) and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertEqual(self.work.settings(serial).get("LATEST_TRANSFER"), "%d.bird" % NEW)

    def test_single_device_lines_stay_as_they_were(self):
        serial = TCP[0]
        self.store_builds(serials=[serial])
        self.work.give_store_to_runner()
        for args in (["-d", serial], ["-d", serial, "-d", serial], ["-d", "%s,%s" % (serial, serial.lower())]):
            with self.subTest(args=args):
                self.sim.control("set %s build %d" % (serial, OLD))
                result = self.run_updater("-U", *args, "-b", str(NEW), "-u", self.no_server)
                self.assertEqual(result.status, 0, result)
                self.assertEqual(result.out_lines[:-2], ["Updater (Version: 1.1 Apr 26 2023)",
                                                         *e2e.update_lines(NEW, len(firmware(serial, NEW)) + 4)])
                self.assertRegex(result.out_lines[-2], r"^Update time: [0-9]+\.[0-9]{4} sec$")
                self.assertEqual(result.out_lines[-1], "Module %s now runs build %d" % (serial, NEW))
                self.sim.control.wait_for(serial, lambda s: s["online"] and s["mode"] == "firmware", timeout=10)

    @unittest.skipUnless(ANSIBLE, "needs ansible-playbook (Debian's ansible-core)")
    def test_ansible_module_changes_once_checks_without_writing_and_fails_per_device(self):
        serials = TCP[:3]
        root = self.work.root / "server"
        for serial in serials:
            e2e.Bird(root / serial / ("%d.bird" % NEW), NEW, serial=int(serial, 16), firmware=firmware(serial, NEW))
        url = e2e.UpdateServer(self, root).url
        ansible = Ansible(self, self.work, self.bus.updater_env())
        built = subprocess.run([shutil.which("ansible-galaxy"), "collection", "build", "--output-path",
                                str(ansible.dir), str(COLLECTION)], env=ansible.env, capture_output=True, text=True,
                               timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr + built.stdout)
        self.assertTrue((ansible.dir / "tessaron-updater-2.0.0.tar.gz").is_file())

        checked = ansible.play(serials, url, check=True)
        self.assertEqual((checked["changed"], checked.get("failed", False)), (True, False), checked)
        self.assertEqual([d["result"] for d in checked["devices"]], ["would update"] * 3)
        for serial in serials:
            self.assertEqual(self.sim.state(serial)["build"], OLD)
            self.assertFalse(self.work.device(serial).exists())

        first = ansible.play(serials, url)
        self.assertEqual((first["changed"], first.get("failed", False)), (True, False), first)
        for serial, device in zip(serials, first["devices"]):
            self.assertEqual((device["serial"], device["before"], device["after"], device["result"]),
                             (serial, OLD, NEW, "updated"))
            self.assertEqual(self.dumped(serial), firmware(serial, NEW))
            self.sim.control.wait_for(serial, lambda s: s["online"] and s["mode"] == "firmware", timeout=10)

        second = ansible.play(serials, url)
        self.assertEqual((second["changed"], second.get("failed", False)), (False, False), second)
        self.assertEqual([d["result"] for d in second["devices"]], ["current"] * 3)

        # A newer build of another model for one device: that device fails with the cause, the
        # others are current.
        e2e.Bird(root / serials[1] / "1240.bird", 1240, serial=int(serials[1], 16), model="Plover")
        failing = ansible.play(serials, url)
        self.assertTrue(failing["failed"], failing)
        device = failing["devices"][1]
        self.assertEqual((device["result"], device["step"], device["before"]), ("failed", "validation", NEW))
        self.assertEqual(device["cause"], "Connected device model and Bird file model do not match [Osprey]")
        self.assertEqual(device["state"], "unchanged")
        self.assertIn(serials[1], failing["msg"])
        self.assertFalse(failing["changed"])
        self.assertEqual([d["result"] for d in failing["devices"][::2]], ["current"] * 2)


ROUTER = "D272031D"


@e2e.inside_only
class Routed(unittest.TestCase):
    """Modules behind one router share its link and its module bus: one after another."""

    def setUp(self):
        self.work = e2e.Workspace(self)
        self.devices = ["11111111", "22222222"]
        modules = ["--module", "serial=%s,model=13,address=254" % ROUTER]
        for address, serial in zip((6, 90), self.devices):
            modules += ["--behind", "router=%s,serial=%s,model=19,address=%d,version=2.1.5,build=%d,reboot_ms=300,"
                                    "load_restart_ms=300" % (ROUTER, serial, address, OLD)]
        self.sim = e2e.Simulator(self, self.work.root, *modules)

    def test_modules_behind_one_router_are_updated_one_after_another(self):
        for serial in self.devices:
            e2e.Bird(self.work.device(serial) / ("%d.bird" % NEW), NEW, serial=int(serial, 16),
                     firmware=firmware(serial, NEW))
        self.work.give_store_to_runner()
        result = self.work.run("-U", "-r", ROUTER, "-d", ",".join(self.devices), "-b", str(NEW),
                               "-u", e2e.closed_port_url(), "-j", "8", timeout=180)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out_lines[1:3], ["Updating 2 devices, 1 at a time",
                                                 "Devices behind router %s are handled one after another" % ROUTER])
        rows = table(result)
        for serial in self.devices:
            self.assertEqual(rows[serial][:3], (str(OLD), str(NEW), "updated"), result)
            self.assertEqual(rows[serial][4], "runs build %d" % NEW)
            self.assertEqual(self.sim.dumped(serial, "firmware", e2e.FIRMWARE_ADDRESS), firmware(serial, NEW))
        # The second device's lines all come after the first device's.
        first = [i for i, line in enumerate(result.out_lines) if line.startswith(self.devices[0] + ":")]
        second = [i for i, line in enumerate(result.out_lines) if line.startswith(self.devices[1] + ":")]
        self.assertLess(max(first), min(second), result)
        self.assertEqual(self.sim.state(ROUTER)["route_to_me"], 0)


class Ansible:
    """ansible-playbook against localhost with the collection of contrib/ansible, the Updater run
    by a wrapper as the run-as user with the test's HOME; its JSON report."""

    def __init__(self, testcase, work, env):
        self.dir = work.root / "ansible"
        collections = self.dir / "collections" / "ansible_collections" / "tessaron"
        collections.mkdir(parents=True)
        (collections / "updater").symlink_to(COLLECTION)
        self.wrapper = self.dir / "Updater"
        variables = " ".join("%s=%s" % item for item in dict(env, HOME=str(work.home), PATH=RUN_PATH).items())
        self.wrapper.write_text("#!/bin/sh\nexec setpriv --reuid=%d --regid=%d --clear-groups env %s %s \"$@\"\n"
                                % (RUN_UID, RUN_UID, variables, UPDATER))
        os.chmod(self.wrapper, 0o755)
        self.testcase = testcase
        # Ansible's own files stay in the test's directory, never in a real home.
        self.env = {"PATH": os.environ.get("PATH", RUN_PATH), "HOME": str(self.dir),
                    "ANSIBLE_COLLECTIONS_PATH": str(self.dir / "collections"),
                    "ANSIBLE_LOCALHOST_WARNING": "false", "ANSIBLE_INVENTORY_UNPARSED_WARNING": "false",
                    "ANSIBLE_PYTHON_INTERPRETER": PYTHON, "ANSIBLE_LOCAL_TEMP": str(self.dir / "tmp"),
                    "ANSIBLE_REMOTE_TEMP": str(self.dir / "rtmp"), "ANSIBLE_NOCOLOR": "1"}

    def play(self, serials, url, check=False):
        """One ansible-playbook run; the firmware task's result, written out by an always-section
        that runs even in check mode and after a failure."""
        playbook, report = self.dir / "play.yml", self.dir / "result.json"
        if report.exists():
            report.unlink()
        task = {"name": "firmware", "register": "firmware", "tessaron.updater.firmware": {
            "serial": serials, "server_url": url, "transport": "TCP", "updater_path": str(self.wrapper)}}
        keep = {"name": "keep the result", "check_mode": False, "ansible.builtin.copy": {
            "content": "{{ firmware | to_json }}", "dest": str(report)}}
        playbook.write_text(json.dumps([{"hosts": "localhost", "gather_facts": False,
                                         "tasks": [{"block": [task], "always": [keep]}]}]))
        command = [ANSIBLE, "-i", "localhost,", "-c", "local", str(playbook)] + (["--check"] if check else [])
        run = subprocess.run(command, env=self.env, capture_output=True, text=True, timeout=300, cwd=str(self.dir))
        self.testcase.assertTrue(report.exists(), run.stderr + run.stdout)
        result = json.loads(report.read_text())
        self.testcase.assertEqual(run.returncode, 2 if result.get("failed") else 0, run.stderr + run.stdout)
        return result


Outside = e2e.namespace_suite("cli.test_several_devices", "Rack", "Routed")


if __name__ == "__main__":
    unittest.main()
