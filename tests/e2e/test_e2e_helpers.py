"""The helpers every end-to-end suite relies on: the run-as user id without a password entry,
and run_suite.py's exit status, by which CTest tells a skipped suite from a passed one."""

import os
import subprocess
import sys
import tempfile
import unittest

from e2e_common import unlisted_uid

RUN_SUITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_suite.py")


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


if __name__ == "__main__":
    unittest.main()
