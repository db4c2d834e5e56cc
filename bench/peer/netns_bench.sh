#!/usr/bin/env bash
# Runs peer_bench with member B (and the plain TCP reader) in a second network namespace,
# behind a veth link shaped by tc to RATE in each direction. Needs root.
#   bench/peer/netns_bench.sh build/normal/bench/peer/peer_bench 10mbit [benchmark filter]
set -euo pipefail
BENCH=$(realpath "${1:?path to peer_bench}")
RATE=${2:-10mbit}
FILTER=${3:-VoiceStream|Throughput|Latency}
# Namespace names are global to the machine: this run's own, so that runs of others (and
# other scripts' namespaces) are never touched.
A=peerbench-$$-a
B=peerbench-$$-b
cleanup() { ip netns del $A 2>/dev/null || true; ip netns del $B 2>/dev/null || true; }
trap cleanup EXIT
ip netns add $A
ip netns add $B
ip link add pb_va netns $A type veth peer name pb_vb netns $B
ip -n $A addr add 10.77.0.1/24 dev pb_va
ip -n $B addr add 10.77.0.2/24 dev pb_vb
for ns in $A $B; do ip -n $ns link set lo up; done
ip -n $A link set pb_va up
ip -n $B link set pb_vb up
# Segmentation offloads off, so that tc sees wire-sized packets.
ip netns exec $A ethtool -K pb_va tso off gso off gro off >/dev/null 2>&1 || true
ip netns exec $B ethtool -K pb_vb tso off gso off gro off >/dev/null 2>&1 || true
tc -n $A qdisc add dev pb_va root handle 1: tbf rate "$RATE" burst 16kb latency ${LATENCY:-20ms}
[ -n "${CODEL:-}" ] && tc -n $A qdisc add dev pb_va parent 1:1 fq_codel
tc -n $B qdisc add dev pb_vb root handle 1: tbf rate "$RATE" burst 16kb latency ${LATENCY:-20ms}
[ -n "${CODEL:-}" ] && tc -n $B qdisc add dev pb_vb parent 1:1 fq_codel
PEER_BENCH_FAR_NETNS=/var/run/netns/$B PEER_BENCH_NEAR_ADDR=10.77.0.1 PEER_BENCH_FAR_ADDR=10.77.0.2 \
  ip netns exec $A "$BENCH" --benchmark_filter="$FILTER"
