"""Shared by the end-to-end tests of discovery and the object layer (test_objects_*.py).

Those tests discover modules by UDP multicast, so they run only inside a private network
namespace: run normally, a test file's outer class starts the same file again under
sim/netns_run.sh (veth pair, simulator on the modules' end) or under a namespace holding
nothing but loopback, and checks that the tests inside passed.  The C++ side is a test
driver program from DRIVER_DIR that prints one JSON line per operation.
"""

import json
import os
import subprocess
import unittest

from support.common import (PYTHON, SIM_DIR, InteractiveDriver, ModuleSim, can_make_namespaces,  # noqa: F401
                        driver_path, run_tests_inside)

HOST_IP = os.environ.get("HALYARD_NETNS_HOST_IP", "10.77.0.1")
MODULE_IP = os.environ.get("HALYARD_NETNS_MODULE_IP", "10.77.0.2")

# Where a test runs: "veth" under sim/netns_run.sh, "loopback" in a namespace with only lo,
# "outside" in the machine's own namespace.
WHERE = os.environ.get("HALYARD_OBJECTS_WHERE", "outside")
if WHERE == "veth" and os.environ.get("HALYARD_NETNS") != "1":
    WHERE = "outside"

# aErr values the tests name.
ERR = {"None": 0, "Param": 2, "NotFound": 3, "Busy": 5, "NotReady": 11, "Configuration": 17,
       "Timeout": 18, "Initialization": 19, "Packet": 24, "Connection": 25,
       "IndexRange": 26, "InvalidOption": 29, "Resource": 30}


def run_inside(testcase, module, selector, where, timeout=600):
    """Runs `python3 -m unittest -v module.selector` inside a fresh namespace ("veth" or
    "loopback") and asserts that it ran tests and all passed."""
    run_tests_inside(testcase, module, selector, where, env={"HALYARD_OBJECTS_WHERE": where},
                     timeout=timeout)


def run_driver(args, timeout=30):
    """Runs a one-shot driver command; returns its JSON line as a dict."""
    result = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    if result.returncode != 0:
        raise AssertionError("%s ended with %d: %s" % (args, result.returncode, result.stderr))
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if len(lines) != 1:
        raise AssertionError("expected one JSON line from %s, got %r" % (args, result.stdout))
    return json.loads(lines[0])


class Driver(InteractiveDriver):
    """The interactive objects driver: one command per line in, one JSON line out."""

    def __init__(self, testcase, extra_env=None):
        env = dict(os.environ)
        env.update(extra_env or {})
        super().__init__(testcase, [driver_path("objects_driver")], env=env)


def start_sim(testcase, *args):
    """A simulator answering discovery on the modules' end of the veth pair; stopped by pid."""
    return ModuleSim(testcase.addCleanup, *args, iface=MODULE_IP)


def skip_unless(where):
    return unittest.skipUnless(WHERE == where, "runs in the %s namespace" % where)
