#!/usr/bin/env bash
# The demo: installs what is missing and builds (scripts/setup.sh), then, inside a private network
# namespace made for the run (sim/netns_run.sh), starts two simulated modules and the update
# server on 127.0.0.1 and shows the Updater at work:
#   Updater -D -t TCP              discover the modules
#   Updater -B -d 0F5849A1         list the builds the server offers for one of them
#   Updater -G -d 0F5849A1         download the latest build into the store
#   Updater -U -d 0F5849A1         install it (loader, firmware, reboot); it waits for the module
#                                  to come back and ends with the build the module now runs
# The Updater runs as a user id without a password entry, with HOME in a temporary directory, so
# no real home directory is touched. Everything started is stopped by its process id on exit, and
# the temporary directory is removed. Needs root (package installs and network namespaces).
set -euo pipefail

SERIAL=0F5849A1
OTHER=D272031D
OLD_BUILD=1230
NEW_BUILD=1234

# Processes started inside the namespace, stopped by pid when the inner run ends.
STARTED_PIDS=()
stop_started() {
  local pid
  for pid in "${STARTED_PIDS[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
}

inside() {
  local work=$1 sim_pid server_pid
  trap stop_started EXIT

  /usr/bin/python3 sim/module_sim.py --iface "$HALYARD_NETNS_MODULE_IP" \
    --module "serial=$SERIAL,model=19,address=2,version=2.1.5,build=$OLD_BUILD,reboot_ms=500" \
    --module "serial=$OTHER,model=13,address=4,version=1.4.2,build=987" \
    >"$work/sim.ready" 2>"$work/sim.log" &
  sim_pid=$!
  STARTED_PIDS+=("$sim_pid")
  /usr/bin/python3 sim/update_server.py --root "$work/server" --url-file "$work/server.url" --quiet \
    >/dev/null 2>"$work/server.log" &
  server_pid=$!
  STARTED_PIDS+=("$server_pid")
  wait_for_file "$work/sim.ready" "module simulator" "$sim_pid"
  wait_for_file "$work/server.url" "update server" "$server_pid"
  local url
  url=$(cat "$work/server.url")

  show "$work" -D -t TCP
  show "$work" -B -d "$SERIAL" -u "$url"
  show "$work" -G -d "$SERIAL" -u "$url"
  # -U exits 0 only once the module came back running the file's build, which its last line names.
  show "$work" -U -d "$SERIAL" -u "$url"
  echo
  echo "Demo complete: $SERIAL went from build $OLD_BUILD to build $NEW_BUILD."
}

wait_for_file() {
  local file=$1 what=$2 pid=$3
  for _ in $(seq 1 200); do
    [ -s "$file" ] && return 0
    kill -0 "$pid" 2>/dev/null || { echo "demo: the $what did not start" >&2; exit 1; }
    sleep 0.05
  done
  echo "demo: the $what did not get ready" >&2
  exit 1
}

# Shows one Updater command and its output; a failing command ends the demo.
show() {
  local work=$1
  shift
  echo
  echo "\$ Updater $*"
  local status=0
  env -i PATH=/usr/bin:/bin HOME="$work/home" \
    setpriv --reuid="$DEMO_UID" --regid="$DEMO_UID" --clear-groups \
    timeout 120 "$BUILD_DIR/Updater" "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "demo: 'Updater $*' ended with status $status" >&2
    exit 1
  fi
}

# The firmware files the update server offers: an older and the latest build of the module.
make_builds() {
  local server=$1
  /usr/bin/python3 - "$server/$SERIAL" "$SERIAL" "$OLD_BUILD" "$NEW_BUILD" <<'EOF'
import json, os, sys
sys.path.insert(0, "sim")
import mkbird
directory, serial = sys.argv[1], int(sys.argv[2], 16)
os.makedirs(directory, exist_ok=True)
builds = {int(sys.argv[3]): "2.1.5", int(sys.argv[4]): "3.2.1"}
for build, version in builds.items():
    image = bytes((i * 131 + build) & 0xFF for i in range(24 * 1024))
    image += ("FWINFO build=%d version=%s" % (build, version)).encode() + b"\0"
    loader = bytes((i * 7 + 3) & 0xFF for i in range(512))
    data = mkbird.make([mkbird.loader_block(0x10000000, loader),
                        mkbird.firmware_block(0x00000000, image),
                        mkbird.info_block(build=build, version=version, serial=serial, model="Osprey")])
    with open(os.path.join(directory, "%d.bird" % build), "wb") as f:
        f.write(data)
with open(os.path.join(directory, "meta.json"), "w") as f:
    json.dump({"latest": str(max(builds)), "versions": {str(b): v for b, v in builds.items()}}, f)
EOF
}

# A user id that has no password entry, so the Updater takes its home directory from HOME.
free_uid() {
  local uid
  for uid in $(seq 54330 54400); do
    if ! getent passwd "$uid" >/dev/null; then
      echo "$uid"
      return 0
    fi
  done
  echo "demo: no free user id" >&2
  exit 1
}

cd "$(dirname "$0")/.."
if [ "${1:-}" = "--inside" ]; then
  inside "$2"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (sudo bash scripts/demo.sh): it installs packages and makes a network namespace" >&2
  exit 1
fi
# DEMO_BUILD_DIR picks another build directory (default build).
BUILD_DIR=${DEMO_BUILD_DIR:-build}
export BUILD_DIR
scripts/setup.sh "$BUILD_DIR"

work=$(mktemp -d /tmp/updater-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
DEMO_UID=$(free_uid)
export DEMO_UID
mkdir "$work/home"
chown "$DEMO_UID:$DEMO_UID" "$work/home"
make_builds "$work/server"

echo
echo "=== Inside a private network namespace: simulated modules $SERIAL and $OTHER, update server on 127.0.0.1"
sim/netns_run.sh bash scripts/demo.sh --inside "$work"
