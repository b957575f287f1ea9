#!/bin/bash
# Runs a command inside a private network namespace made for it (root needed).
#
#   sim/netns_run.sh COMMAND [ARGS...]
#
# The namespace holds the loopback interface and one veth pair, nothing else:
#   hy-host    10.77.0.1/24  the host's end; route 224.0.0.0/4 points here, so a
#                            multicast request sent from the host end leaves here
#   hy-module  10.77.0.2/24  the modules' end; module_sim.py --iface 10.77.0.2 joins
#                            232.2.2.2 here and answers from this address
# A packet that leaves one end arrives at the other.  Both addresses are local to the
# namespace, so hy-module accepts packets carrying a local source address
# (accept_local).  The machine's own interfaces are not in the namespace: nothing sent
# inside can leave the machine.  The namespace and its veth pair disappear with the last
# process in it.  COMMAND gets HALYARD_NETNS=1, HALYARD_NETNS_HOST_IP,
# HALYARD_NETNS_MODULE_IP and HALYARD_NETNS_INODE (the namespace's inode, by which
# module_sim.py knows it runs inside it); the exit status is COMMAND's.
set -euo pipefail

if [ "$#" -eq 0 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
    sed -n '2,18s/^# \{0,1\}//p' "$0"
    [ "$#" -eq 0 ] && exit 2 || exit 0
fi

export HALYARD_NETNS_HOST_IP="${HALYARD_NETNS_HOST_IP:-10.77.0.1}"
export HALYARD_NETNS_MODULE_IP="${HALYARD_NETNS_MODULE_IP:-10.77.0.2}"

# shellcheck disable=SC2016
exec unshare --net -- /bin/bash -c '
set -euo pipefail
ip link set lo up
ip link add hy-host type veth peer name hy-module
ip addr add "$HALYARD_NETNS_HOST_IP/24" dev hy-host
ip addr add "$HALYARD_NETNS_MODULE_IP/24" dev hy-module
echo 1 > /proc/sys/net/ipv4/conf/hy-module/accept_local
for conf in all hy-host hy-module; do echo 0 > /proc/sys/net/ipv4/conf/$conf/rp_filter; done
ip link set hy-host up
ip link set hy-module up
ip route add 224.0.0.0/4 dev hy-host
for _ in $(seq 1 200); do
    if ip -o link show hy-host | grep -q "LOWER_UP" && ip -o link show hy-module | grep -q "LOWER_UP"; then
        break
    fi
    sleep 0.01
done
ip -o link show hy-module | grep -q "LOWER_UP" || { echo "netns_run: veth pair did not come up" >&2; exit 1; }
export HALYARD_NETNS=1
HALYARD_NETNS_INODE=$(stat -L -c %i /proc/self/ns/net)
export HALYARD_NETNS_INODE
exec "$@"
' netns_run "$@"
