"""A fleet of test stations driven over SSH: the playbook of the Ansible collection's README, run
by ansible-playbook from a control namespace against two stations. Each station is a private
network namespace of its own with its own sshd (on a configuration, host key and authorized key
made by the test), its own installed Updater (`cmake --install` into a prefix of its own, run as
the run-as user with a store of its own), its own simulated modules on TCP/IP (the veth pair of
sim/netns_run.sh) and its own update server on its loopback. The control namespace reaches each
station over a veth pair of their own; nothing is made in the machine's own namespace, so no
packet can leave the machine.

The runs: check mode changes nothing and tells what would change; the first run brings every
module to the build its server names latest, but one module refused by its server's file fails
alone, with the step, the cause and the state its record names; a second run changes nothing."""

# Sanitizer builds skip this suite: the program's --json paths it drives are the JSON suites' (which
# the sanitizer builds run); there it would only make three playbook runs slower.

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from support import json_document
from support import updater as e2e
from support.common import (PYTHON, RUN_PATH, RUN_UID, SIM_DIR, SRC_DIR, START_TIMEOUT, STOP_TIMEOUT,
                            LoopbackNamespace, ModuleSim, UpdateServer, as_user, give_to_run_user, stop_by_pid,
                            store_dir)

ANSIBLE_PLAYBOOK = shutil.which("ansible-playbook")
SSHD = "/usr/sbin/sshd"
SSH_KEYGEN = shutil.which("ssh-keygen")
BUILD_DIR = os.environ.get("BUILD_DIR", "")
CALLBACKS = Path(SRC_DIR) / "tests" / "e2e" / "support" / "ansible_callbacks"
README = Path(SRC_DIR) / "contrib" / "ansible" / "tessaron" / "updater" / "README.md"
COLLECTION = README.parent
FIXTURES = COLLECTION / "tests" / "unit" / "plugins" / "modules" / "fixtures"
OLD, NEW, NEWER = 1000, 1234, 1240
# The stations' modules; the last one's server holds a file for another model.
STATIONS = {"station-01": ["0C000001", "0C000002"], "station-02": ["0D000001", "0D000002"]}
REFUSED = "0D000002"
PLAY_TIMEOUT = 420


def firmware(serial, build):
    return e2e.firmware_image(build, "3.2.1", seed=int(serial, 16) % 251)


def readme_playbook():
    """The playbook the README shows (the yaml block that starts with `# firmware.yml`)."""
    blocks = re.findall(r"```yaml\n(.*?)```", README.read_text(), re.S)
    playbooks = [block for block in blocks if block.startswith("# firmware.yml\n")]
    assert len(playbooks) == 1, "the README shows no playbook # firmware.yml"
    return playbooks[0]


def run(command, timeout=30):
    done = subprocess.run([str(a) for a in command], capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError("%s: exit %d\n%s%s" % (command, done.returncode, done.stdout, done.stderr))
    return done.stdout


class Station:
    """One test station: its namespace, link to the control namespace, sshd, installed program,
    store, modules and update server."""

    def __init__(self, testcase, root, index, name, serials, control):
        self.name, self.serials = name, serials
        self.root = root / name
        self.root.mkdir()
        self.address = "10.201.%d.2" % index
        self.namespace = LoopbackNamespace(testcase, "veth", seconds=1200)
        self.link_to(control, index)
        self.program = self.install()
        self.home = self.root / "home"
        self.home.mkdir()
        give_to_run_user(self.home)
        self.updater = self.wrapper()
        self.server_url = self.update_server(testcase)
        self.sim = self.modules(testcase)
        self.host_key = self.start_sshd(testcase)

    def enter(self, command):
        return self.namespace.enter(command)

    def link_to(self, control, index):
        """A veth pair from the control namespace (10.201.N.1) to this station (10.201.N.2)."""
        near = "to-station%d" % index
        run(control.enter(["ip", "link", "add", near, "type", "veth", "peer", "name", "uplink",
                           "netns", str(self.namespace.holder.pid)]))
        run(control.enter(["ip", "addr", "add", "10.201.%d.1/24" % index, "dev", near]))
        run(control.enter(["ip", "link", "set", near, "up"]))
        run(self.enter(["ip", "addr", "add", self.address + "/24", "dev", "uplink"]))
        run(self.enter(["ip", "link", "set", "uplink", "up"]))

    def install(self):
        prefix = self.root / "prefix"
        run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], timeout=120)
        program = prefix / "bin" / "Updater"
        assert os.access(program, os.X_OK), "cmake --install put no program into %s" % prefix
        return program

    def wrapper(self):
        """The program as the run-as user with the station's own store (it has no password entry:
        no real home directory is ever touched)."""
        path = self.root / "updater-as-station-user"
        command = " ".join(as_user(RUN_UID, ["env", "-i", "HOME=%s" % self.home, "PATH=%s" % RUN_PATH,
                                             str(self.program)]))
        path.write_text("#!/bin/sh\nexec %s \"$@\"\n" % command)
        os.chmod(path, 0o755)
        return path

    def update_server(self, testcase):
        """Every module's builds NEW and NEWER with NEW named latest; the refused module's files
        are for another model."""
        root = self.root / "server"
        for serial in self.serials:
            model = "Plover" if serial == REFUSED else "Osprey"
            for build in (NEW, NEWER):
                e2e.Bird(root / serial / ("%d.bird" % build), build, serial=int(serial, 16), model=model,
                         firmware=firmware(serial, build))
            (root / serial / "meta.json").write_text(json.dumps({"latest": str(NEW)}))
        return UpdateServer(testcase, root, enter=self.enter).url

    def modules(self, testcase):
        args = []
        for serial in self.serials:
            args += ["--module", "serial=%s,model=19,address=2,version=2.1.5,build=%d,reboot_ms=300,"
                                 "load_restart_ms=300" % (serial, OLD)]
        env = dict(os.environ, HALYARD_NETNS_INODE=str(self.namespace.inode))
        return ModuleSim(testcase.addCleanup, *args, iface=e2e.MODULE_IP, workdir=self.root, env=env,
                         enter=self.enter)

    def control(self, line):
        """A line to the simulator's control port, which listens on the station's loopback."""
        script = ("import json, sys; sys.path.insert(0, %r); import halyard_host; "
                  "print(json.dumps(halyard_host.Control(%d)(%r)))" % (SIM_DIR, self.sim.ready["control"]["port"], line))
        return json.loads(run(self.enter([PYTHON, "-c", script])))

    def build_of(self, serial):
        return self.control("state %s" % serial)["build"]

    def dumped_firmware(self, serial):
        self.control("dump %s" % serial)
        path = self.sim.dump / serial / ("firmware-%08X.bin" % e2e.FIRMWARE_ADDRESS)
        return path.read_bytes() if path.exists() else None

    def stored(self):
        """The device folders of the station's store."""
        store = store_dir(self.home)
        return sorted(p.name for p in store.iterdir() if p.is_dir()) if store.exists() else []

    def start_sshd(self, testcase):
        """sshd on the station's uplink address only, on a configuration and host key of its own;
        root logs in with the test's key alone. Returns the host key's public line."""
        key = self.root / "ssh_host_ed25519_key"
        run([SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-f", key])
        config = self.root / "sshd_config"
        config.write_text("\n".join([
            "ListenAddress %s:22" % self.address, "HostKey %s" % key, "PidFile none",
            "AuthorizedKeysFile %s" % (self.root.parent / "authorized_keys"),
            "PermitRootLogin prohibit-password", "PasswordAuthentication no", "KbdInteractiveAuthentication no",
            "UsePAM no", "StrictModes no", "PrintMotd no", "PrintLastLog no", "X11Forwarding no",
            "AllowTcpForwarding no", "Subsystem sftp internal-sftp", ""]))
        run([SSHD, "-t", "-f", config])
        # -D: no daemon, the process started is sshd itself (nsenter execs it), stopped by its pid.
        with open(self.root / "sshd.log", "wb") as log:
            sshd = subprocess.Popen(self.enter([SSHD, "-D", "-e", "-f", config]), stdout=subprocess.DEVNULL,
                                    stderr=log)
        testcase.addCleanup(stop_by_pid, sshd, STOP_TIMEOUT)
        self.wait_listening(sshd)
        return "%s %s" % (self.address, (self.root / "ssh_host_ed25519_key.pub").read_text().strip())

    def wait_listening(self, sshd):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline and sshd.poll() is None:
            if ":22 " in run(self.enter(["ss", "-Htln", "src", self.address])):
                return
            time.sleep(0.1)
        raise AssertionError("sshd of %s did not listen: %s" % (self.name, (self.root / "sshd.log").read_text()))


@unittest.skipUnless(e2e.can_run() and ANSIBLE_PLAYBOOK and SSH_KEYGEN and os.access(SSHD, os.X_OK) and BUILD_DIR,
                     "needs root, namespaces, UPDATER_BIN, BUILD_DIR, ansible-playbook and Debian's openssh-server")
class Fleet(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="fleet."))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        os.chmod(self.root, 0o755)
        # sshd wants its privilege separation folder, which the package makes when it starts its
        # service (never here).
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.key = self.root / "control_key"
        run([SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-f", self.key])
        shutil.copy(str(self.key) + ".pub", self.root / "authorized_keys")
        self.control = LoopbackNamespace(self, seconds=1200)
        self.stations = [Station(self, self.root, index, name, serials, self.control)
                         for index, (name, serials) in enumerate(STATIONS.items(), start=1)]
        self.ansible = self.ansible_setup()

    def ansible_setup(self):
        directory = self.root / "ansible"
        collections = directory / "collections" / "ansible_collections" / "tessaron"
        collections.mkdir(parents=True)
        shutil.copytree(COLLECTION, collections / "updater")
        (directory / "known_hosts").write_text("".join(s.host_key + "\n" for s in self.stations))
        (directory / "firmware.yml").write_text(readme_playbook())
        hosts = dict((s.name, {"ansible_host": s.address, "modules": s.serials, "update_server": s.server_url,
                               "updater_path": str(s.updater)}) for s in self.stations)
        (directory / "inventory.yml").write_text(json.dumps({"stations": {"hosts": hosts}}))
        ssh_args = ["-F", "/dev/null", "-o", "UserKnownHostsFile=%s" % (directory / "known_hosts"),
                    "-o", "StrictHostKeyChecking=yes", "-o", "ControlMaster=no", "-o", "IdentitiesOnly=yes",
                    "-o", "ConnectTimeout=10", "-o", "BatchMode=yes"]
        # Ansible's own files, here and on the stations, stay in the test's folder.
        self.env = {"PATH": os.environ.get("PATH", RUN_PATH), "HOME": str(directory), "LC_ALL": "C.UTF-8",
                    "ANSIBLE_COLLECTIONS_PATH": str(directory / "collections"),
                    "ANSIBLE_CALLBACK_PLUGINS": str(CALLBACKS), "ANSIBLE_CALLBACKS_ENABLED": "task_results",
                    "TASK_RESULTS_FILE": str(directory / "results.json"), "ANSIBLE_NOCOLOR": "1",
                    "ANSIBLE_PYTHON_INTERPRETER": PYTHON, "ANSIBLE_REMOTE_USER": "root",
                    "ANSIBLE_PRIVATE_KEY_FILE": str(self.key), "ANSIBLE_SSH_ARGS": " ".join(ssh_args),
                    "ANSIBLE_HOST_KEY_CHECKING": "true", "ANSIBLE_TIMEOUT": "20",
                    "ANSIBLE_LOCAL_TEMP": str(directory / "tmp"), "ANSIBLE_REMOTE_TEMP": str(directory / "rtmp"),
                    "ANSIBLE_RETRY_FILES_ENABLED": "false", "ANSIBLE_FORKS": "2"}
        return directory

    def play(self, check=False):
        """One run of the README playbook over SSH from the control namespace: {station: [item
        results of the firmware task]}, and the run's stats."""
        command = self.control.enter([ANSIBLE_PLAYBOOK, "-i", "inventory.yml", "firmware.yml"]
                                     + (["--check"] if check else []))
        results_file = self.ansible / "results.json"
        if results_file.exists():
            results_file.unlink()
        done = subprocess.run(command, env=self.env, cwd=str(self.ansible), capture_output=True, text=True,
                              timeout=PLAY_TIMEOUT)
        self.assertTrue(results_file.exists(), "ansible-playbook wrote no results: exit %d\n%s%s"
                        % (done.returncode, done.stdout, done.stderr))
        report = json.loads(results_file.read_text())
        task = report["tasks"][0]
        self.assertEqual(task["name"], "Every module of the station runs the wanted build", done.stdout)
        results = dict((name, result["results"]) for name, result in task["hosts"].items())
        self.assertEqual(sorted(results), sorted(STATIONS), done.stdout)
        # ignore_errors: a module that fails leaves the run's exit status 0.
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return results, report["stats"]

    def records(self, results):
        """{serial: (item result's changed, failed, its one device record)}; every document of
        the program that the module read holds to the schema."""
        found = {}
        for station, items in results.items():
            for item in items:
                for run in item.get("runs", []):
                    self.assertEqual(json_document.schema_faults(run["document"]), [], run)
                self.assertEqual(len(item.get("devices", [])), 1, item)
                record = item["devices"][0]
                self.assertEqual(record["serial"], item["item"])
                found[item["item"]] = (item["changed"], item.get("failed", False), record)
        self.assertEqual(sorted(found), sorted(s for serials in STATIONS.values() for s in serials))
        return found

    def test_the_readme_playbook_brings_the_stations_modules_to_their_build_over_ssh(self):
        checked = self.records(self.play(check=True)[0])
        for serial, (changed, failed, record) in checked.items():
            self.assertEqual((changed, failed, record["result"], record["before"], record["wanted"]),
                             (True, False, "would update", OLD, NEW), serial)
        for station in self.stations:
            self.assertEqual([station.build_of(s) for s in station.serials], [OLD] * len(station.serials))
            self.assertEqual(station.stored(), [], "check mode downloaded into %s's store" % station.name)

        first_results, stats = self.play()
        first = self.records(first_results)
        for station in self.stations:
            for serial in station.serials:
                changed, failed, record = first[serial]
                if serial == REFUSED:
                    continue
                self.assertEqual((changed, failed, record["result"], record["before"], record["after"],
                                  record["state"], record["step"], record["cause"]),
                                 (True, False, "updated", OLD, NEW, "running", None, None), record)
                self.assertEqual(station.build_of(serial), NEW)
                self.assertEqual(station.dumped_firmware(serial), firmware(serial, NEW))
        changed, failed, refused = first[REFUSED]
        self.assertEqual((changed, failed, refused["result"], refused["step"], refused["state"], refused["after"]),
                         (False, True, "failed", "validation", "unchanged", OLD), refused)
        self.assertEqual(refused["cause"], "Connected device model and Bird file model do not match [Osprey]")
        self.assertEqual(self.stations[1].build_of(REFUSED), OLD)
        self.assertEqual((stats["station-01"]["ignored"], stats["station-02"]["ignored"]), (0, 1), stats)

        second = self.records(self.play()[0])
        for serial, (changed, failed, record) in second.items():
            self.assertFalse(changed, record)
            if serial == REFUSED:
                self.assertEqual((failed, record["step"], record["state"]), (True, "validation", "unchanged"))
            else:
                self.assertEqual((failed, record["result"], record["after"]), (False, "current", NEW), record)



class ModuleFixtures(unittest.TestCase):
    def test_the_documents_the_modules_unit_tests_read_hold_to_the_schema(self):
        fixtures = sorted(FIXTURES.glob("*.json"))
        self.assertGreater(len(fixtures), 5)
        for path in fixtures:
            with self.subTest(fixture=path.name):
                self.assertEqual(json_document.schema_faults(json.loads(path.read_text())), [])


if __name__ == "__main__":
    unittest.main()
