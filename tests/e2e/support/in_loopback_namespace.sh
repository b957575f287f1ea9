#!/bin/sh
# Runs the command in a private network namespace holding only the loopback interface, up and
# with multicast on; HALYARD_NETNS_INODE names the namespace (the test drivers and module_sim.py
# multicast only where it matches their own). Exits with 77, which CTest reports as skipped, when
# no namespace can be made here (not root). The exit status is the command's.
unshare --net -- true 2>/dev/null || { echo "no private network namespace can be made here: skipped" >&2; exit 77; }
# shellcheck disable=SC2016
exec unshare --net -- /bin/sh -c '
set -e
ip link set lo up
ip link set lo multicast on
HALYARD_NETNS_INODE=$(stat -L -c %i /proc/self/ns/net)
export HALYARD_NETNS_INODE
exec "$@"' loopback "$@"
