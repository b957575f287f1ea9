"""The helpers every end-to-end suite relies on: the run-as user id without a password entry,
and the exit statuses of run_suite.py and in_loopback_namespace.sh, by which CTest tells a
skipped suite from a passed one."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from e2e_common import unlisted_uid

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_SUITE = os.path.join(HERE, "run_suite.py")
IN_LOOPBACK = os.path.join(HERE, "in_loopback_namespace.sh")


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

    def run_suite(self, bodies):
        with tempfile.TemporaryDirectory() as directory:
            tests = "".join("    def test_%d(self):\n        %s\n" % (i, body) for i, body in enumerate(bodies))
            with open(os.path.join(directory, "suite_under_test.py"), "w") as module:
                module.write("import unittest\n\n\nclass Case(unittest.TestCase):\n" + tests)
            env = dict(os.environ, PYTHONPATH=directory)
            return subprocess.run([sys.executable, RUN_SUITE, "suite_under_test"], env=env, cwd=directory,
                                  capture_output=True, text=True, timeout=60)

    def test_exit_status_by_outcome(self):
        for name, bodies, status in self.CASES:
            with self.subTest(name):
                done = self.run_suite(bodies)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn("Ran %d test" % len(bodies), done.stderr)


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv") and shutil.which("unshare"),
                     "needs root, setpriv and unshare")
class LoopbackNamespace(unittest.TestCase):
    def run_inside(self, prefix, *command):
        return subprocess.run(prefix + ["/bin/sh", IN_LOOPBACK] + list(command), capture_output=True,
                              text=True, timeout=60)

    def test_root_runs_the_command_with_only_the_loopback_interface_up(self):
        done = self.run_inside([], "ip", "-o", "link")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([line.split(":")[1].strip() for line in done.stdout.splitlines()], ["lo"])
        self.assertIn("UP", done.stdout)
        self.assertEqual(self.run_inside([], "false").returncode, 1)   # the command's own status

    def test_without_the_right_to_make_a_namespace_the_suite_is_skipped(self):
        uid = unlisted_uid(54400)
        done = self.run_inside(["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"], "true")
        self.assertEqual(done.returncode, 77, done.stderr)


if __name__ == "__main__":
    unittest.main()
