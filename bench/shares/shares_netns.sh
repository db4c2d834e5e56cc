#!/usr/bin/env bash
# Runs shares_bench with the owner in one network namespace and the saving instance (and the
# plain TCP reader) in another, behind a veth link shaped by tc to RATE in each direction.
# Needs root.
#   bench/shares/shares_netns.sh build/normal/bench/shares/shares_bench 10mbit
set -euo pipefail
BENCH=$(realpath "${1:?path to shares_bench}")
RATE=${2:-10mbit}
A=shares-near
B=shares-far
cleanup() { ip netns del $A 2>/dev/null || true; ip netns del $B 2>/dev/null || true; }
trap cleanup EXIT
cleanup
ip netns add $A
ip netns add $B
ip link add shares-va netns $A type veth peer name shares-vb netns $B
ip -n $A addr add 10.79.0.1/24 dev shares-va
ip -n $B addr add 10.79.0.2/24 dev shares-vb
for ns in $A $B; do ip -n $ns link set lo up; done
ip -n $A link set shares-va up
ip -n $B link set shares-vb up
# Segmentation offloads off, so that tc sees wire-sized packets.
ip netns exec $A ethtool -K shares-va tso off gso off gro off >/dev/null 2>&1 || true
ip netns exec $B ethtool -K shares-vb tso off gso off gro off >/dev/null 2>&1 || true
tc -n $A qdisc add dev shares-va root handle 1: tbf rate "$RATE" burst 16kb latency ${LATENCY:-20ms}
tc -n $B qdisc add dev shares-vb root handle 1: tbf rate "$RATE" burst 16kb latency ${LATENCY:-20ms}
SHARES_FAR_NETNS=/var/run/netns/$B SHARES_NEAR_ADDR=10.79.0.1 SHARES_FAR_ADDR=10.79.0.2 \
  QT_QPA_PLATFORM=offscreen ip netns exec $A "$BENCH"
