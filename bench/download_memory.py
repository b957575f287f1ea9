#!/usr/bin/python3
"""Peak resident memory of -G while a build body arrives, against sim/update_server.py: valid
builds of 32 MB and 60 MB (incompressible images, so the Base64 body is 4/3 of the file), a body
declared at 80 MB, and an endless body at full speed, which the Updater stops at the largest
reply a valid build can need (90 880 684 bytes). Each figure is the resident high-water mark and
its multiple of the body received; the baseline of -I (shared libraries) is printed first. -G runs
with -OVERRIDE: the simulator reads every stored file to answer a build list, which for files of
this size outlasts the 4 s bound of that query.

    sudo bench/download_memory.py [--runs N] [--updater PATH]

Runs itself again inside a private network namespace (sim/netns_run.sh); the server binds to
127.0.0.1; the Updater runs as a user id without a password entry with HOME in a temporary
directory; the server is stopped by its process id; every run is bounded."""

import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)

import netns_bench  # noqa: E402
import scan_query_memory as sqm  # noqa: E402

SERIAL = sqm.SERIAL
MB = sqm.MB
MAX_BUILD_REPLY = 4 * ((65 * MB + 2) // 3) + 4096
RUN_TIMEOUT = 300


def start_server(root, *faults):
    command = ["/usr/bin/python3", os.path.join(sqm.SIM_DIR, "update_server.py"), "--root", root, "--quiet"]
    for fault in faults:
        command += ["--fault", fault]
    server = subprocess.Popen(command, stdout=subprocess.PIPE)
    ready, _, _ = select.select([server.stdout], [], [], 20)
    url = server.stdout.readline().decode().strip() if ready else ""
    if not url:
        stop_server(server)
        raise RuntimeError("update server did not start")
    return server, url


def stop_server(server):
    server.terminate()
    try:
        server.wait(timeout=20)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait(timeout=20)
    server.stdout.close()


def measure(updater, home, uid, root, label, body, runs, *faults):
    peaks = []
    for _ in range(runs):
        shutil.rmtree(os.path.join(home, ".tessaron"), ignore_errors=True)
        server, url = start_server(root, *faults)
        try:
            seconds, status, peak, _ = sqm.run(updater, home, uid, "-G", "-OVERRIDE", "-d", SERIAL, "-b", "1234",
                                               "-u", url)
        finally:
            stop_server(server)
        peaks.append((peak, seconds, status))
    peak, seconds, status = max(peaks)
    print("%-34s body %6.1f MB: peak %6.1f MB = %.2f x body (%.1f s, exit %d)"
          % (label, body / MB, peak / 1024.0, peak * 1024.0 / body, seconds, status))


def inside(args):
    uid = netns_bench.free_uid(sqm.RUN_UID)
    work = tempfile.mkdtemp(prefix="download_memory.")
    os.chmod(work, 0o755)
    home = os.path.join(work, "home")
    os.makedirs(home)
    os.chown(home, uid, uid)
    root = os.path.join(work, "server")
    device = os.path.join(root, SERIAL)
    os.makedirs(device)
    try:
        _, _, baseline, _ = sqm.run(args.updater, home, uid, "-I")
        print("baseline (-I): %.1f MB resident" % (baseline / 1024.0))
        for size in (32 * MB, 60 * MB):
            data = sqm.bird_bytes(sqm.image(size, False))
            with open(os.path.join(device, "1234.bird"), "wb") as f:
                f.write(data)
            body = 3 + 4 * ((len(data) + 2) // 3) + 1
            measure(args.updater, home, uid, root, "valid build, %d MB image" % (size // MB), body, args.runs)
        measure(args.updater, home, uid, root, "declared 80 MB (no bird file)", 80 * 1000 * 1000, args.runs,
                "huge=80000000&ops=bird")
        start = time.monotonic()
        measure(args.updater, home, uid, root, "endless at full speed", MAX_BUILD_REPLY, args.runs,
                "endless&limit=120&ops=bird")
        print("(the endless body ends at the bound, %d bytes, after %.1f s for all runs)"
              % (MAX_BUILD_REPLY, time.monotonic() - start))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    netns_bench.main("download_memory", __file__, __doc__.split("\n\n")[0], inside, RUN_TIMEOUT)


if __name__ == "__main__":
    main()
