#!/usr/bin/python3
"""Figures for -U over several devices: the wall time of one command updating eight simulated
modules on TCP/IP side by side, against the time one update alone takes.

    sudo bench/several_devices_bench.py [--runs N] [--updater PATH] [--modules N] [--timeline]

Printed, per run and as the median: one `-U -d A` alone; the same with `-j 1` (the path of a run
over several devices, which also reads the module's build before the update and, after its
reboot, again); the single-device command for every module started at once as separate
processes; `-U -d A,B,...` with all modules at once (`-j N`); and with the default (4 at a time).
The ratio of the all-at-once run to the single update is the figure to watch (goal: at most 1.5).
With --timeline, one update alone and one all-at-once run are shown instead as per-device
timelines (seconds from the command's start to each step, from the lines of -X 0x401).

Runs itself again inside a private network namespace (sim/netns_run.sh): the Updater finds the
modules by UDP discovery. The Updater runs as a user id without a password entry with HOME in a
temporary directory; the simulator is stopped by its process id; every wait is bounded.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(ROOT, "sim")
sys.dont_write_bytecode = True
sys.path.insert(0, SIM_DIR)

import halyard_host as host  # noqa: E402
import mkbird  # noqa: E402

RUN_UID = 54332
RUN_TIMEOUT = 300
MODULE_IP = os.environ.get("HALYARD_NETNS_MODULE_IP", "10.77.0.2")
OLD, NEW = 1000, 1234


def serials(count):
    return ["0C%06X" % (i + 1) for i in range(count)]


def image(serial, build, size=16000):
    seed = int(serial, 16) % 251
    body = bytes(((i * 131 + seed * 17) >> 3 ^ i) & 0xFF for i in range(size))
    return body + ("FWINFO build=%d version=3.2.1" % build).encode() + b"\0"


def put_builds(home, devices):
    for serial in devices:
        directory = os.path.join(home, ".tessaron", "updater", serial)
        os.makedirs(directory, exist_ok=True)
        data = mkbird.make([mkbird.loader_block(0x10000000, bytes(range(256)) + bytes(44)),
                            mkbird.firmware_block(0, image(serial, NEW)),
                            mkbird.info_block(build=NEW, version="3.2.1", serial=int(serial, 16), model="Osprey")])
        with open(os.path.join(directory, "%d.bird" % NEW), "wb") as out:
            out.write(data)
    for base, dirs, files in os.walk(home):
        for name in dirs + files + ["."]:
            os.chown(os.path.join(base, name), RUN_UID, RUN_UID)


def run(updater, home, args):
    command = ["setpriv", "--reuid=%d" % RUN_UID, "--regid=%d" % RUN_UID, "--clear-groups", updater] + args
    start = time.monotonic()
    done = subprocess.run(command, env={"HOME": home, "PATH": "/usr/bin:/bin"}, cwd=home, capture_output=True,
                          text=True, timeout=RUN_TIMEOUT)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        raise SystemExit("Updater %s failed:\n%s%s" % (args, done.stdout, done.stderr))
    return seconds


def run_apart(updater, home, devices, url):
    """The single-device command for every device, all started at once as separate processes."""
    start = time.monotonic()
    procs = [subprocess.Popen(["setpriv", "--reuid=%d" % RUN_UID, "--regid=%d" % RUN_UID, "--clear-groups", updater,
                               "-U", "-d", serial, "-b", str(NEW), "-u", url],
                              env={"HOME": home, "PATH": "/usr/bin:/bin"}, cwd=home, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) for serial in devices]
    for proc in procs:
        if proc.wait(timeout=RUN_TIMEOUT) != 0:
            raise SystemExit("a separate update failed")
    return time.monotonic() - start


# The steps of one device's update, by the first line that ends each.
STEPS = [("started", re.compile(r"Updating firmware with build")),
         ("connected", re.compile(r"Transferring loader to device")),
         ("loader", re.compile(r"Starting Load on Device")),
         ("firmware", re.compile(r"Transferred 1 blocks, [0-9]{4,} total bytes")),
         ("first look", re.compile(r"Looking for the device after its reboot")),
         ("back", re.compile(r"now runs build"))]


def timeline(updater, home, args):
    """Runs the command once, stamping every line as it comes; per device the seconds to each step."""
    command = ["setpriv", "--reuid=%d" % RUN_UID, "--regid=%d" % RUN_UID, "--clear-groups", updater] + args
    start = time.monotonic()
    proc = subprocess.Popen(command, env={"HOME": home, "PATH": "/usr/bin:/bin"}, cwd=home, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    stamped = [(time.monotonic() - start, line.rstrip("\n")) for line in proc.stdout]
    if proc.wait(timeout=RUN_TIMEOUT) != 0:
        raise SystemExit("Updater %s failed:\n%s" % (args, "\n".join(line for _, line in stamped)))
    total = time.monotonic() - start
    steps = {}
    for seconds, line in stamped:
        match = re.match(r"^([0-9A-F]{8}): (.*)$", line)
        serial, text = (match.group(1), match.group(2)) if match else ("alone", line)
        for name, pattern in STEPS:
            if pattern.search(text):
                steps.setdefault(serial, {}).setdefault(name, seconds)
    print("  %-9s" % "device" + "".join("%11s" % name for name, _ in STEPS))
    for serial in sorted(steps):
        print("  %-9s" % serial + "".join("%11s" % ("%.3f" % steps[serial][name] if name in steps[serial] else "-")
                                          for name, _ in STEPS))
    print("  whole command: %.3f s" % total)


def inside(args):
    devices = serials(args.modules)
    work = tempfile.mkdtemp(prefix="several_bench.")
    os.chmod(work, 0o755)
    sim = None
    try:
        home = os.path.join(work, "home")
        os.makedirs(home)
        put_builds(home, devices)
        modules = []
        for serial in devices:
            modules += ["--module", "serial=%s,model=19,address=2,version=2.1.5,build=%d,reboot_ms=1000,"
                                    "load_restart_ms=500" % (serial, OLD)]
        sim = host.SimProcess(["--iface", MODULE_IP] + modules)
        url = "http://127.0.0.1:9/cgi/u"

        def reset():
            for serial in devices:
                sim.control("set %s build %d" % (serial, OLD))
            for serial in devices:
                sim.control.wait_for(serial, lambda s: s["online"] and s["mode"] == "firmware", timeout=20)

        listed = ",".join(devices)
        single = ["-U", "-d", devices[0], "-b", str(NEW), "-u", url]
        cases = [
            ("one alone", lambda: run(args.updater, home, single)),
            ("one alone, -j 1", lambda: run(args.updater, home, single + ["-j", "1"])),
            ("%d processes at once" % len(devices), lambda: run_apart(args.updater, home, devices, url)),
            ("-d list, all at once", lambda: run(args.updater, home, ["-U", "-d", listed, "-b", str(NEW), "-u", url,
                                                                       "-j", str(len(devices))])),
            ("-d list, 4 at a time", lambda: run(args.updater, home, ["-U", "-d", listed, "-b", str(NEW), "-u", url])),
        ]
        if args.timeline:
            trace = ["-X", "0x401"]
            reset()
            print("One update alone:")
            timeline(args.updater, home, single + trace)
            reset()
            print("%d devices, all at once:" % len(devices))
            timeline(args.updater, home, ["-U", "-d", listed, "-b", str(NEW), "-u", url, "-j", str(len(devices))]
                     + trace)
            return
        figures = {name: [] for name, _ in cases}
        for _ in range(args.runs):
            for name, case in cases:
                reset()
                figures[name].append(case())
        alone = statistics.median(figures["one alone"])
        print("%d modules on TCP/IP (one simulator process), %d runs (seconds):" % (len(devices), args.runs))
        for name, values in figures.items():
            median = statistics.median(values)
            print("  %-24s median %6.2f  ratio to one alone %.2f   runs: %s" % (
                name, median, median / alone, " ".join("%.2f" % v for v in values)))
    finally:
        if sim is not None:
            sim.stop()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--modules", type=int, default=8)
    parser.add_argument("--updater", default=os.path.join(ROOT, "build", "Updater"))
    parser.add_argument("--timeline", action="store_true", help="per-device timelines of one run instead")
    args = parser.parse_args()
    if os.environ.get("HALYARD_NETNS") == "1":
        return inside(args)
    if os.geteuid() != 0:
        raise SystemExit("run as root: the modules are found by discovery inside a private network namespace")
    command = [os.path.join(SIM_DIR, "netns_run.sh"), "/usr/bin/python3", os.path.abspath(__file__),
               "--runs", str(args.runs), "--modules", str(args.modules), "--updater", os.path.abspath(args.updater)]
    if args.timeline:
        command.append("--timeline")
    return subprocess.run(command, timeout=3600).returncode


if __name__ == "__main__":
    sys.exit(main())
