#!/usr/bin/python3
"""Figures for the waits and the memory of the built Updater: -D -r against a simulated router
with 0, 3 and 20 modules behind it; -B against an update server that never answers (the small
queries' total bound); and the peak resident memory of -U -f and -G for 4 MB and 32 MB firmware
images, compressible and not, as multiples of the image size.

    sudo bench/scan_query_memory.py [--runs N] [--updater PATH]

Runs itself again inside a private network namespace (sim/netns_run.sh): -D and -U find modules
by UDP discovery. -U -f runs with no module to be found: the bird file is loaded whole before the
connection is tried, and the transfer that would follow sends from that buffer without another
copy, so the load is the peak. The Updater runs as a user id without a password entry with HOME in
a temporary directory; simulators and servers are stopped by their process id; every wait is
bounded. The peak is the resident high-water mark, which includes the program's own start-up
memory (about 10 MB of shared libraries, printed as the baseline of -I); the multiple above that
baseline is what the program takes for the image."""

import os
import random
import select
import shutil
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
import netns_bench  # noqa: E402

SERIAL = "0F5849A1"
ROUTERS = {0: "A0000000", 3: "A0000003", 20: "A0000020"}
RUN_UID = 54332
RUN_TIMEOUT = 300
MB = 1024 * 1024


def run(updater, home, uid, *args):
    """Runs the Updater; returns (seconds, exit status, peak resident KiB, stdout). The peak comes
    from /usr/bin/time, a small process of its own: a child forked from this Python process would
    count the Python process's memory as its own (the memory before exec counts in ru_maxrss)."""
    with tempfile.NamedTemporaryFile() as peak, tempfile.TemporaryFile() as out:
        command = ["/usr/bin/time", "-f", "%M", "-o", peak.name, "setpriv", "--reuid=%d" % uid,
                   "--regid=%d" % uid, "--clear-groups", updater] + list(args)
        start = time.monotonic()
        status = subprocess.run(command, env={"HOME": home, "PATH": "/usr/bin:/bin"}, stdout=out,
                                stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT).returncode
        seconds = time.monotonic() - start
        out.seek(0)
        kib = int(open(peak.name).read().split()[-1])
        return seconds, status, kib, out.read().decode(errors="replace")


def scan_figures(updater, home, uid, runs):
    args = []
    for count, router in ROUTERS.items():
        args += ["--module", "serial=%s,model=13,address=254" % router]
        for i in range(count):
            args += ["--behind", "router=%s,serial=%08X,model=19,address=%d"
                     % (router, 0x30000000 + count * 256 + i, 2 + 12 * i)]
    sim = host.SimProcess(["--iface", os.environ["HALYARD_NETNS_MODULE_IP"]] + args)
    try:
        for count, router in ROUTERS.items():
            times = []
            for _ in range(runs):
                seconds, status, _, out = run(updater, home, uid, "-D", "-r", router)
                rows = len([line for line in out.splitlines() if line.startswith("    3")])
                if status != 0 or rows != count:
                    raise RuntimeError("-D -r %s: status %d, %d rows\n%s" % (router, status, rows, out))
                times.append(seconds)
            print("-D -r with %2d modules behind the router: %s s (goal <= 5 s)"
                  % (count, ", ".join("%.2f" % t for t in times)))
    finally:
        sim.stop()


def hung_server_figure(updater, home, uid, work):
    root = os.path.join(work, "server")
    os.makedirs(root, exist_ok=True)
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(SIM_DIR, "update_server.py"), "--root", root,
                               "--quiet", "--fault", "hang=600"], stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([server.stdout], [], [], 20)
        url = server.stdout.readline().decode().strip() if ready else ""
        if not url:
            raise RuntimeError("update server did not start")
        seconds, status, _, _ = run(updater, home, uid, "-B", "-d", SERIAL, "-u", url)
        print("-B against a server that never answers: %.2f s until \"Server request failed\" (exit %d)"
              % (seconds, status))
    finally:
        server.terminate()
        server.wait(timeout=20)
        server.stdout.close()


def image(size, compressible):
    if compressible:
        line = b"".join(b"%08X firmware words and tables " % i for i in range(4096))
        return (line * (size // len(line) + 1))[:size]
    return random.Random(size).randbytes(size)


def bird_bytes(data):
    return mkbird.make([mkbird.loader_block(0x10000000, bytes(range(256))),
                        mkbird.firmware_block(0x00000000, data),
                        mkbird.info_block(build=1234, version="3.2.1", serial=int(SERIAL, 16), model="Osprey")])


def report(command, size, kind, data, peak, baseline, status):
    print("%s %2d MB %-14s (file %5.1f MB): peak %6.1f MB = %.2f x image; above the baseline %5.1f MB "
          "= %.2f x image (exit %d)" % (command, size // MB, kind, len(data) / MB, peak / 1024.0,
                                        peak * 1024.0 / size, (peak - baseline) / 1024.0,
                                        (peak - baseline) * 1024.0 / size, status))


def memory_figures(updater, home, uid, work):
    _, _, baseline, _ = run(updater, home, uid, "-I")
    print("baseline (-I): %.1f MB resident" % (baseline / 1024.0))
    root = os.path.join(work, "server")
    device = os.path.join(root, SERIAL)
    os.makedirs(device, exist_ok=True)
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(SIM_DIR, "update_server.py"), "--root", root,
                               "--quiet"], stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([server.stdout], [], [], 20)
        url = server.stdout.readline().decode().strip() if ready else ""
        if not url:
            raise RuntimeError("update server did not start")
        for size in (4 * MB, 32 * MB):
            for compressible in (True, False):
                data = bird_bytes(image(size, compressible))
                kind = "compressible" if compressible else "incompressible"
                path = os.path.join(work, "fw.bird")
                with open(path, "wb") as f:
                    f.write(data)
                os.chmod(path, 0o644)
                _, status, peak, _ = run(updater, home, uid, "-U", "-d", SERIAL, "-f", path, "-u",
                                         "http://127.0.0.1:9/cgi/u")
                report("-U -f", size, kind, data, peak, baseline, status)
                for name in os.listdir(device):
                    os.remove(os.path.join(device, name))
                with open(os.path.join(device, "1234.bird"), "wb") as f:
                    f.write(data)
                shutil.rmtree(os.path.join(home, ".tessaron"), ignore_errors=True)
                _, status, peak, _ = run(updater, home, uid, "-G", "-d", SERIAL, "-b", "1234", "-u", url)
                report("-G   ", size, kind, data, peak, baseline, status)
    finally:
        server.terminate()
        server.wait(timeout=20)
        server.stdout.close()


def inside(args):
    uid = netns_bench.free_uid(RUN_UID)
    work = tempfile.mkdtemp(prefix="scan_query_memory.")
    os.chmod(work, 0o755)
    home = os.path.join(work, "home")
    os.makedirs(home)
    os.chown(home, uid, uid)
    try:
        scan_figures(args.updater, home, uid, args.runs)
        hung_server_figure(args.updater, home, uid, work)
        memory_figures(args.updater, home, uid, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    netns_bench.main("scan_query_memory", __file__, __doc__.split("\n\n")[0], inside, RUN_TIMEOUT)


if __name__ == "__main__":
    main()
