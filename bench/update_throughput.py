#!/usr/bin/python3
"""Figures for -U: how fast the built Updater moves a 256 KB firmware image into a simulated
module, against the protocol's own bound.

The link writer paces packets 1 ms apart and a DATA packet carries 26 bytes, so one 512-byte
chunk costs at least 22 packets (20 DATA, SUM, WRITE): 512 bytes / 22 ms, about 23.3 KB/s.
Printed: the firmware phase (from the Updater's "Transferring firmware block" line to its
"Transferred" line, as they arrive on a pipe), its throughput and the ratio to that bound
(target at least 0.95), the whole -U time and the processor time the Updater used. The writer
spaces packets from the start of the previous write; a plain 1 ms sleep would last longer than
asked, the more so on a busy machine, so the writer aims its sleep early and waits out the last
microseconds on the clock. For comparison, the time a 1 ms sleep of this script really takes is
measured around each run and the ratio to the bound such sleeps would allow is printed as well;
the processor time shows what the waiting on the clock costs.

    sudo bench/update_throughput.py [--runs N] [--updater PATH]

Runs itself again inside a private network namespace (sim/netns_run.sh): the Updater finds the
module by UDP discovery. The Updater runs as a user id without a password entry with HOME in a
temporary directory; the simulator is stopped by its process id; every wait is bounded.
"""

import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
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
IMAGE_SIZE = 256 * 1024
BLOCK_SIZE = 512
PACKETS_PER_CHUNK = (BLOCK_SIZE + 25) // 26 + 2   # DATA packets, SUM, WRITE
PACING_S = 0.001
BOUND = BLOCK_SIZE / (PACKETS_PER_CHUNK * PACING_S)   # bytes per second
RUN_UID = 54331
RUN_TIMEOUT = 300


def measured_sleep(count=1000):
    """How long a 1 ms sleep takes on this machine now (seconds)."""
    start = time.monotonic()
    for _ in range(count):
        time.sleep(PACING_S)
    return (time.monotonic() - start) / count


def make_bird(path):
    image = bytes((i * 131 + (i >> 9)) & 0xFF for i in range(IMAGE_SIZE))
    # The build the module runs after its reboot, which the Updater checks.
    image += b"FWINFO build=4321 version=3.2.1\0"
    data = mkbird.make([mkbird.loader_block(0x10000000, bytes(range(256)) * 2),
                        mkbird.firmware_block(0x00000000, image),
                        mkbird.info_block(build=4321, version="3.2.1", serial=int(SERIAL, 16),
                                          model="Osprey")])
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)
    return image


def timed_lines(proc, lines):
    for raw in iter(proc.stdout.readline, b""):
        lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))


def one_run(updater, work, uid):
    home = os.path.join(work, "home")
    os.makedirs(home, exist_ok=True)
    os.chown(home, uid, uid)
    bird = os.path.join(work, "fw.bird")
    image = make_bird(bird)
    dump = os.path.join(work, "dump")
    sim = host.SimProcess(["--iface", os.environ["HALYARD_NETNS_MODULE_IP"], "--dump-dir", dump,
                           "--module", "serial=%s,model=19,address=2,block_size=%d,reboot_ms=300"
                           % (SERIAL, BLOCK_SIZE)])
    try:
        command = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", updater,
                   "-U", "-d", SERIAL, "-f", bird, "-u", "http://127.0.0.1:9/cgi/u"]
        start = time.monotonic()
        with tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(command, env={"HOME": home, "PATH": "/usr/bin:/bin"},
                                    stdout=subprocess.PIPE, stderr=err)
            lines = []
            reader = threading.Thread(target=timed_lines, args=(proc, lines))
            reader.start()
            cpu_before = resource.getrusage(resource.RUSAGE_CHILDREN)
            try:
                proc.wait(timeout=RUN_TIMEOUT)
                cpu_after = resource.getrusage(resource.RUSAGE_CHILDREN)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=10)
                raise
            finally:
                reader.join(timeout=10)
                proc.stdout.close()
            total = time.monotonic() - start
            if proc.returncode != 0:
                err.seek(0)
                raise RuntimeError("Updater ended with %d:\n%s\n%s" % (
                    proc.returncode, "\n".join(text for _, text in lines),
                    err.read().decode(errors="replace")))
        begin = next(t for t, text in lines if text.startswith("Transferring firmware block 1 "))
        end = next(t for t, text in lines if t > begin and text.startswith("Transferred "))
        sim.control.wait_for(SERIAL, lambda s: s["online"] and s["mode"] == "firmware", timeout=15)
        sim.control("dump " + SERIAL)
        with open(os.path.join(dump, SERIAL, "firmware-00000000.bin"), "rb") as f:
            if f.read() != image:
                raise RuntimeError("the simulator's firmware differs from the image sent")
        cpu = (cpu_after.ru_utime - cpu_before.ru_utime) + (cpu_after.ru_stime - cpu_before.ru_stime)
        return end - begin, total, cpu
    finally:
        sim.stop()


def inside(args):
    uid = netns_bench.free_uid(RUN_UID)
    print("firmware image %d bytes, block size %d, protocol bound %.1f KB/s "
          "(%d packets per chunk, %.0f ms apart)" % (IMAGE_SIZE, BLOCK_SIZE, BOUND / 1000,
                                                    PACKETS_PER_CHUNK, PACING_S * 1000))
    ratios = []
    for run in range(1, args.runs + 1):
        work = tempfile.mkdtemp(prefix="update_bench.")
        os.chmod(work, 0o755)
        try:
            before = measured_sleep()
            phase, total, cpu = one_run(args.updater, work, uid)
            pause = (before + measured_sleep()) / 2
        finally:
            shutil.rmtree(work, ignore_errors=True)
        rate = IMAGE_SIZE / phase
        ratios.append(rate / BOUND)
        slept_bound = BLOCK_SIZE / (PACKETS_PER_CHUNK * pause)
        print("run %d: firmware phase %.2f s, %.1f KB/s, ratio to bound %.3f; whole -U %.2f s, "
              "Updater processor time %.2f s (%.1f %% of the whole); "
              "a 1 ms sleep took %.3f ms, ratio to the bound with that sleep %.3f"
              % (run, phase, rate / 1000, rate / BOUND, total, cpu, 100 * cpu / total, pause * 1000,
                 rate / slept_bound))
    print("best ratio %.3f, median %.3f, worst %.3f (target >= 0.95)"
          % (max(ratios), statistics.median(ratios), min(ratios)))


def main():
    netns_bench.main("update_throughput", __file__, __doc__.split("\n\n")[0], inside, RUN_TIMEOUT)


if __name__ == "__main__":
    main()
