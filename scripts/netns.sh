#!/usr/bin/env bash
# Runs a command inside a private network namespace, so that nothing the tests send can leave
# the machine and no test sees or binds a real interface.
#
#   scripts/netns.sh [--veth] [--] command [arguments...]
#
# The namespace has its loopback up. With --veth it also holds both ends of a veth pair,
# vorn0 = 192.0.2.1/24 and vorn1 = 192.0.2.2/24, both up: programs under Wine need it, because
# Wine's adapter list (GetAdaptersInfo) never shows loopback. The Windows tests put the tool on
# 192.0.2.1 and simulated devices on 192.0.2.2.
#
# Without the rights for a namespace (neither root nor unprivileged user namespaces) the command
# runs as it is, on this machine's network; the tests then use 127.0.0.1 only.
set -euo pipefail

veth=0
while [[ $# -gt 0 ]]; do
    case $1 in
    --veth) veth=1 ;;
    --) shift; break ;;
    -*) echo "usage: $0 [--veth] [--] command [arguments...]" >&2; exit 2 ;;
    *) break ;;
    esac
    shift
done
if [[ $# -eq 0 ]]; then
    echo "usage: $0 [--veth] [--] command [arguments...]" >&2
    exit 2
fi

if [[ ${VORN_NETNS_INSIDE:-} != 1 ]]; then
    self=$(readlink -f "${BASH_SOURCE[0]}")
    opts=()
    [[ $veth -eq 1 ]] && opts+=(--veth)
    if unshare --net true 2>/dev/null; then
        VORN_NETNS_INSIDE=1 exec unshare --net -- "$self" "${opts[@]}" -- "$@"
    elif unshare --user --map-root-user --net true 2>/dev/null; then
        VORN_NETNS_INSIDE=1 exec unshare --user --map-root-user --net -- "$self" "${opts[@]}" -- "$@"
    fi
    echo "netns: no rights for a private network namespace; running on this machine's network" >&2
    exec "$@"
fi

# Inside the new namespace. Tests that bind the wildcard address or broadcast
# run only where VORN_TEST_NETNS is 1.
unset VORN_NETNS_INSIDE
export VORN_TEST_NETNS=1
ip link set lo up
if [[ $veth -eq 1 ]]; then
    ip link add vorn0 type veth peer name vorn1
    ip addr add 192.0.2.1/24 dev vorn0
    ip addr add 192.0.2.2/24 dev vorn1
    ip link set vorn0 up
    ip link set vorn1 up
    # Under Wine a socket bound to one end sends even to the other end's address
    # through its own interface, so the datagram arrives from a local source
    # address: accept such datagrams (the devices of the Windows tests live on
    # 192.0.2.2, the tool on 192.0.2.1). Broadcasts are then heard twice.
    for conf in all default vorn0 vorn1; do
        sysctl -qw "net.ipv4.conf.$conf.rp_filter=0" "net.ipv4.conf.$conf.accept_local=1"
    done
fi
exec "$@"
