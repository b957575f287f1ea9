"""The command line shared by the benchmarks that run the Updater against simulated modules: they
take --runs and --updater, and run themselves again inside a private network namespace
(sim/netns_run.sh), where the Updater's discovery reaches only the simulators."""

import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(ROOT, "sim")


def free_uid(first):
    """A user id from first on without a password entry: the Updater runs as it, so that its home
    directory is the HOME it is given."""
    import pwd
    for uid in range(first, first + 100):
        try:
            pwd.getpwuid(uid)
        except KeyError:
            return uid
    raise RuntimeError("no user id without a password entry")


def main(name, script, description, inside, timeout_per_run):
    """Parses the options; inside the namespace calls inside(args), outside starts script there
    (bounded by timeout_per_run for each run and one more) and exits with its status."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--updater", default=os.environ.get("UPDATER_BIN")
                        or os.path.join(ROOT, "build", "Updater"))
    args = parser.parse_args()
    args.updater = os.path.abspath(args.updater)
    if os.environ.get("HALYARD_NETNS") == "1":
        inside(args)
        return
    if os.geteuid() != 0:
        sys.exit("%s: run as root (it makes a private network namespace)" % name)
    if not os.access(args.updater, os.X_OK):
        sys.exit("%s: no Updater at %s (build first, or --updater PATH)" % (name, args.updater))
    command = [os.path.join(SIM_DIR, "netns_run.sh"), "/usr/bin/python3", os.path.abspath(script),
               "--runs", str(args.runs), "--updater", args.updater]
    sys.exit(subprocess.run(command, timeout=timeout_per_run * (args.runs + 1)).returncode)
