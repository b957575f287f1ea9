"""Runs one end-to-end suite as `python3 -m unittest -v SUITE` does (from the working directory,
tests/e2e for the suites, which are named by family: cli.test_cli), and exits with 77 when every
test of it was skipped (no root, no umockdev, no Updater built, ...), which CTest reports as
skipped rather than passed.

With --jobs N (N > 1) each test of the suite runs in a process of its own, at most N at a time.
Most of these tests sit out the time a simulated chip, module or server takes to answer, so
several at once cost little more machine time than one; each keeps its own simulators, ports,
terminals and store, so they do not see one another. The output of each test is printed whole
when it ends, in the order the tests end."""

import os
import signal
import subprocess
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor, as_completed

SKIPPED = 77
FAILED = 1
# A hang guard for one test run on its own; CTest's own limit for the suite stays the outer one.
ONE_TEST_TIMEOUT_S = 600


def exit_status(result):
    if not result.wasSuccessful() or result.testsRun == 0:
        return FAILED
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        return SKIPPED
    return 0


def tests_of(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from tests_of(item)
        else:
            yield item


def skip_reason(test):
    """Why the test is skipped whatever happens when it runs (a skip decorator on its class or
    method, such as the tests meant for inside a private network namespace), or None."""
    for holder in (type(test), getattr(test, test._testMethodName, None)):
        if getattr(holder, "__unittest_skip__", False):
            return getattr(holder, "__unittest_skip_why__", "") or "skipped"
    return None


def starts_first(test_id):
    """Whether the test is marked to start before the others of its suite (common.starts_first)."""
    module, _, method = test_id.rpartition(".")
    module, _, case = module.rpartition(".")
    holder = getattr(sys.modules.get(module), case, None)
    return bool(getattr(getattr(holder, method, None), "starts_first", False))


def run_in_order(name):
    suite = unittest.defaultTestLoader.loadTestsFromName(name)
    return exit_status(unittest.TextTestRunner(verbosity=2).run(suite))


def run_alone(test_id):
    start = time.monotonic()
    try:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), test_id],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=ONE_TEST_TIMEOUT_S)
        status, output = done.returncode, done.stdout
    except subprocess.TimeoutExpired as expired:
        partial = expired.stdout or ""
        if isinstance(partial, bytes):
            partial = partial.decode(errors="replace")
        status = FAILED
        output = partial + "\n%s did not end within %d s\n" % (test_id, ONE_TEST_TIMEOUT_S)
    return test_id, status, output, time.monotonic() - start


def combined_status(statuses):
    if not statuses or any(status not in (0, SKIPPED) for status in statuses):
        return FAILED
    return SKIPPED if all(status == SKIPPED for status in statuses) else 0


def run_in_parallel(name, jobs):
    tests = list(tests_of(unittest.defaultTestLoader.loadTestsFromName(name)))
    if not tests:
        print("%s: no tests found" % name)
        return FAILED
    statuses = []
    # A test skipped by its decorator gets no process of its own only to say so.
    to_run = []
    for test in tests:
        reason = skip_reason(test)
        if reason is None:
            to_run.append(test.id())
        else:
            print("==== %s: skipped (%s)" % (test.id(), reason), flush=True)
            statuses.append(SKIPPED)
    to_run.sort(key=lambda test_id: not starts_first(test_id))
    with ThreadPoolExecutor(jobs) as pool:
        for future in as_completed([pool.submit(run_alone, test_id) for test_id in to_run]):
            test_id, status, output, seconds = future.result()
            verdict = {0: "ok", SKIPPED: "skipped"}.get(status, "FAILED (exit %d)" % status)
            print("==== %s: %s in %.1f s\n%s" % (test_id, verdict, seconds, output.rstrip()), flush=True)
            statuses.append(status)
    passed = sum(status == 0 for status in statuses)
    skipped = sum(status == SKIPPED for status in statuses)
    print("==== %s: %d tests, %d passed, %d skipped, %d failed"
          % (name, len(statuses), passed, skipped, len(statuses) - passed - skipped))
    return combined_status(statuses)


def default_signal_dispositions():
    """The programs under test start with SIGINT, SIGTERM and SIGHUP at their defaults, however the
    suite was started: a shell starts a background job with SIGINT ignored, and an ignored signal
    stays ignored across exec, where the tests send these signals to see the program end."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)


def main(argv):
    default_signal_dispositions()
    # As with `python3 -m unittest`, suites are found from the working directory, in place of this
    # script's own directory (whose modules are imported as support.*, never on their own).
    sys.path[0] = os.getcwd()
    args = argv[1:]
    jobs = 1
    if len(args) == 3 and args[0] == "--jobs" and args[1].isdigit():
        jobs, args = int(args[1]), args[2:]
    if len(args) != 1 or jobs < 1:
        print("usage: run_suite.py [--jobs N] SUITE", file=sys.stderr)
        return 2
    return run_in_parallel(args[0], jobs) if jobs > 1 else run_in_order(args[0])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
