"""The helpers every end-to-end suite relies on: the run-as user id without a password entry,
the one way to run the Updater as that user, and the exit statuses of run_suite.py and
in_loopback_namespace.sh, by which CTest tells a skipped suite from a passed one."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

from support import common
from support.common import IN_LOOPBACK, RUN_UID, as_user, can_make_namespaces, in_namespace, unlisted_uid
from support.common import LoopbackNamespace as KeptLoopbackNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_SUITE = os.path.join(HERE, "run_suite.py")


class UnlistedUid(unittest.TestCase):
    def test_ids_with_a_password_entry_are_passed_over(self):
        listed = {54321, 54322}

        def lookup(uid):
            if uid in listed:
                return ("someone", uid)
            raise KeyError(uid)
        self.assertEqual(unlisted_uid(54321, lookup), 54323)
        self.assertEqual(unlisted_uid(54320, lookup), 54320)
        with self.assertRaises(RuntimeError):
            unlisted_uid(54321, lookup, tries=2)

    def test_the_id_found_on_this_machine_has_no_password_entry(self):
        import pwd
        uid = unlisted_uid(54321)
        with self.assertRaises(KeyError):
            pwd.getpwuid(uid)


class RunSuiteStatus(unittest.TestCase):
    CASES = [
        # name, test bodies, exit status
        ("all skipped", ["self.skipTest('cannot run here')", "self.skipTest('cannot run here')"], 77),
        ("some skipped", ["self.skipTest('cannot run here')", "pass"], 0),
        ("passed", ["pass"], 0),
        ("failed", ["self.fail('wrong')", "self.skipTest('cannot run here')"], 1),
    ]

    def run_suite(self, bodies, *options, decorators=None):
        decorators = decorators or [""] * len(bodies)
        with tempfile.TemporaryDirectory() as directory:
            tests = "".join("    %s\n    def test_%d(self):\n        %s\n" % (decorator, i, body)
                            for i, (decorator, body) in enumerate(zip(decorators, bodies)))
            with open(os.path.join(directory, "suite_under_test.py"), "w") as module:
                module.write("import os, time, unittest\n\n\nclass Case(unittest.TestCase):\n" + (tests or "    pass\n"))
            env = dict(os.environ, PYTHONPATH=directory)
            return subprocess.run([sys.executable, RUN_SUITE] + list(options) + ["suite_under_test"], env=env,
                                  cwd=directory, capture_output=True, text=True, timeout=60)

    def test_exit_status_by_outcome(self):
        for name, bodies, status in self.CASES:
            with self.subTest(name):
                done = self.run_suite(bodies)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn("Ran %d test" % len(bodies), done.stderr)

    def test_exit_status_by_outcome_with_each_test_in_a_process_of_its_own(self):
        for name, bodies, status in self.CASES:
            with self.subTest(name):
                done = self.run_suite(bodies, "--jobs", "3")
                self.assertEqual(done.returncode, status, done.stdout)
                # Every test ran, each with its own report in the output.
                self.assertEqual(done.stdout.count("Ran 1 test"), len(bodies), done.stdout)
                self.assertIn("==== suite_under_test: %d tests" % len(bodies), done.stdout)

    def test_tests_run_side_by_side_each_in_its_own_process(self):
        # Each test waits until all three have started: in order, the first would wait forever.
        body = ("open(os.path.join(os.environ['PYTHONPATH'], 'started.%d' % os.getpid()), 'w').close(); "
                "[time.sleep(0.05) for _ in range(200) if len([n for n in os.listdir(os.environ['PYTHONPATH']) "
                "if n.startswith('started.')]) < 3]; "
                "self.assertEqual(len([n for n in os.listdir(os.environ['PYTHONPATH']) if n.startswith('started.')]), 3)")
        done = self.run_suite([body] * 3, "--jobs", "3")
        self.assertEqual(done.returncode, 0, done.stdout)

    def test_a_test_skipped_by_its_decorator_starts_no_process_of_its_own(self):
        skip = "@unittest.skip('runs in the namespace')"
        for decorators, status, processes in (([skip, ""], 0, 1), ([skip, skip], 77, 0)):
            with self.subTest(decorators=decorators):
                done = self.run_suite(["pass", "pass"], "--jobs", "3", decorators=decorators)
                self.assertEqual(done.returncode, status, done.stdout)
                self.assertEqual(done.stdout.count("Ran 1 test"), processes, done.stdout)
                self.assertIn("suite_under_test.Case.test_0: skipped (runs in the namespace)", done.stdout)
                self.assertIn("==== suite_under_test: 2 tests, %d passed, %d skipped, 0 failed"
                              % (processes, 2 - processes), done.stdout)

    def test_a_test_marked_to_start_first_starts_before_the_others(self):
        # Two at a time, each test as long as the others: the one that waited ends last.
        starts_first = "@(lambda test: setattr(test, 'starts_first', True) or test)"
        done = self.run_suite(["time.sleep(0.3)"] * 3, "--jobs", "2", decorators=["", "", starts_first])
        self.assertEqual(done.returncode, 0, done.stdout)
        ended = re.findall(r"^==== suite_under_test\.Case\.(test_\d): ok", done.stdout, re.M)
        self.assertEqual((sorted(ended[:2]), ended[2:]), (["test_0", "test_2"], ["test_1"]), done.stdout)

    def test_a_suite_without_tests_fails(self):
        for options in ([], ["--jobs", "2"]):
            with self.subTest(options=options):
                done = self.run_suite([], *options)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)


class InnerRunCheck(unittest.TestCase):
    """What a run of tests inside a namespace may skip: only what a sanitizer build leaves out."""

    @staticmethod
    def inner_run(*skipped):
        lines = ["test_%d (m.C.test_%d) ... skipped %r" % (i, i, why) for i, why in enumerate(skipped)]
        summary = "OK (skipped=%d)" % len(skipped) if skipped else "OK"
        stderr = "\n".join(lines + ["test_x (m.C.test_x) ... ok", "", "-" * 70,
                                     "Ran %d tests in 0.1s" % (len(skipped) + 1), "", summary, ""])
        return subprocess.CompletedProcess([], 0, "", stderr)

    def test_only_the_sanitizer_builds_skips_pass(self):
        with mock.patch("sys.stderr"):
            common.assert_inner_run_passed(self, self.inner_run())
            # A reason holding a quote is printed in double quotes.
            common.assert_inner_run_passed(self, self.inner_run(common.SANITIZER_SKIP + "the transfer's code"))
            common.assert_inner_run_passed(self, self.inner_run(common.SANITIZER_SKIP + "one",
                                                                common.SANITIZER_SKIP + "two"))
            for skipped in (("needs umockdev",), (common.SANITIZER_SKIP + "x", "needs umockdev's typelib")):
                with self.subTest(skipped=skipped), self.assertRaises(AssertionError):
                    common.assert_inner_run_passed(self, self.inner_run(*skipped))


def interfaces(command_prefix):
    """(name, flags) of the interfaces a command run through command_prefix sees."""
    done = subprocess.run(command_prefix + ["ip", "-o", "link"], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError(done.stderr)
    return [(line.split(":")[1].strip().split("@")[0], line.split("<")[1].split(">")[0].split(","))
            for line in done.stdout.splitlines()]


@unittest.skipUnless(can_make_namespaces() and shutil.which("setpriv"), "needs root, setpriv, unshare and ip")
class LoopbackNamespace(unittest.TestCase):
    def run_inside(self, user, *command):
        return subprocess.run(in_namespace(as_user(user, command) if user is not None else command, "loopback"),
                              capture_output=True, text=True, timeout=60)

    def test_root_runs_the_command_with_only_the_loopback_interface_up(self):
        done = self.run_inside(None, "ip", "-o", "link")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([line.split(":")[1].strip() for line in done.stdout.splitlines()], ["lo"])
        self.assertIn("UP", done.stdout)
        self.assertEqual(self.run_inside(None, "false").returncode, 1)   # the command's own status

    def test_the_command_learns_the_namespace_it_runs_in(self):
        done = self.run_inside(None, "/bin/sh", "-c", 'echo "$HALYARD_NETNS_INODE"; stat -L -c %i /proc/self/ns/net')
        self.assertEqual(done.returncode, 0, done.stderr)
        announced, actual = done.stdout.split()
        self.assertEqual(announced, actual)
        self.assertNotEqual(int(actual), os.stat("/proc/self/ns/net").st_ino)

    def test_without_the_right_to_make_a_namespace_the_suite_is_skipped(self):
        done = subprocess.run(as_user(unlisted_uid(54400), ["/bin/sh", IN_LOOPBACK, "true"]),
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 77, done.stderr)


@unittest.skipUnless(can_make_namespaces() and shutil.which("nsenter"), "needs root, unshare, ip and nsenter")
class NamespaceRunner(unittest.TestCase):
    """The private namespaces the suites run commands in: never the machine's own interfaces."""

    def test_each_network_holds_only_its_own_interfaces(self):
        cases = [
            # network, interfaces (name, up)
            (None, [("lo", False)]),
            ("loopback", [("lo", True)]),
            ("veth", [("lo", True), ("hy-host", True), ("hy-module", True)]),
        ]
        for network, expected in cases:
            with self.subTest(network=network):
                seen = interfaces(in_namespace([], network))
                self.assertEqual(sorted((name, "UP" in flags) for name, flags in seen), sorted(expected))

    def test_the_kept_loopback_namespace_is_shared_by_the_commands_entering_it(self):
        namespace = KeptLoopbackNamespace(self)
        first, second = (subprocess.run(namespace.enter(["stat", "-L", "-c", "%i", "/proc/self/ns/net"]),
                                        capture_output=True, text=True, timeout=60).stdout for _ in range(2))
        self.assertEqual(first, second)
        self.assertNotEqual(int(first), os.stat("/proc/self/ns/net").st_ino)
        self.assertEqual([(name, "UP" in flags) for name, flags in interfaces(namespace.enter([]))], [("lo", True)])
        holder = namespace.holder
        self.doCleanups()
        self.assertIsNotNone(holder.poll())   # the namespace goes with the test


# A stand-in for the Updater that tells what it was given, hangs or reports a sanitizer fault.
STAND_IN = """#!/bin/sh
case "$1" in
facts) echo "home=${HOME-unset} extra=${EXTRA-unset} uid=$(id -u) cwd=$(pwd)"
       if [ -t 1 ]; then echo "terminal"; fi
       echo "stdin=$(cat)"; echo "to stderr" >&2; exit 3 ;;
hang)  echo $$ > "$2"; exec sleep 600 ;;
sanitizer) echo "==1==ERROR: AddressSanitizer: heap-use-after-free" >&2 ;;
esac
"""


class UpdaterRunner(unittest.TestCase):
    """common.run_updater, run with a stand-in for the built Updater."""

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="runner."))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        os.chmod(self.work, 0o755)
        stand_in = self.work / "updater"
        stand_in.write_text(STAND_IN)
        os.chmod(stand_in, 0o755)
        patch = mock.patch.object(common, "UPDATER", str(stand_in))
        patch.start()
        self.addCleanup(patch.stop)
        self.uid = RUN_UID if os.geteuid() == 0 and shutil.which("setpriv") else None

    def test_what_the_program_is_given_and_what_comes_back(self):
        own = os.getuid() if self.uid is None else self.uid
        cases = [
            # options, first line of standard output, on a terminal
            (dict(), "home=%s extra=unset uid=%d cwd=%s" % (self.work, own, self.work), False),
            (dict(env={"EXTRA": "x y"}, terminal=True), "home=%s extra=x y uid=%d cwd=%s" % (self.work, own, self.work),
             True),
            (dict(home=None, cwd=self.work), "home=unset extra=unset uid=%d cwd=%s" % (own, self.work), False),
        ]
        for options, facts, terminal in cases:
            with self.subTest(options=options):
                calls = []
                options = dict(dict(home=self.work, uid=self.uid, while_running=calls.append), **options)
                result = common.run_updater(["facts"], **options)
                self.assertEqual(result.status, 3, result)
                self.assertEqual(result.out_lines, [facts] + (["terminal"] if terminal else []) + ["stdin="])
                self.assertEqual(result.err_lines, ["to stderr"])
                # Called while it ran and once after its end.
                self.assertIsNotNone(calls[-1].returncode)

    def test_a_run_past_its_time_limit_is_killed_and_fails(self):
        pid_file = self.work / "pid"
        start = time.monotonic()
        with self.assertRaisesRegex(AssertionError, "did not end within 1 s"):
            common.run_updater(["hang", pid_file], self.work, uid=None, timeout=1)
        self.assertLess(time.monotonic() - start, 30)   # hang guard
        with self.assertRaises(ProcessLookupError):
            os.kill(int(pid_file.read_text()), 0)

    def test_a_sanitizer_report_fails(self):
        with self.assertRaisesRegex(AssertionError, "sanitizer report from the Updater"):
            common.run_updater(["sanitizer"], self.work, uid=self.uid)


if __name__ == "__main__":
    unittest.main()
