#!/usr/bin/env bash
# Runs a command inside a private network namespace, so that nothing the tests send can leave
# the machine and no test sees or binds a real interface.
#
#   scripts/netns.sh [--veth] [--] command [arguments...]
#   scripts/netns.sh --check     exit status 0 only inside such a namespace; else says why
#
# The namespace has its loopback up. With --veth it also holds both ends of a veth pair,
# vorn0 = 192.0.2.1/24 and vorn1 = 192.0.2.2/24, both up: programs under Wine need it, because
# Wine's adapter list (GetAdaptersInfo) never shows loopback. The Windows tests put the tool on
# 192.0.2.1 and simulated devices on 192.0.2.2.
#
# Without the rights for a namespace (neither root nor unprivileged user namespaces) the command
# runs as it is, on this machine's network, with VORN_TEST_NETNS removed from its environment; the
# tests then use 127.0.0.1 only, and those that need the namespace skip, naming why. In CI (the
# variable CI set and not empty) every test has to run: there those tests fail instead, each by
# name, and netns.sh exits with status 1 after the command whatever it returned, saying why.
# The tests and benchmarks do not trust that variable alone either:
# they check the namespace themselves (tests/support/TestNamespace.h), as --check does here.
set -euo pipefail

# Prints why this process is not in a private namespace of the test run (nothing when it is):
# its network namespace must differ from process 1's (when readable) and hold no interface but
# lo and the veth pair.
netns_problem() {
    local own init name
    own=$(readlink /proc/self/ns/net 2>/dev/null) || { echo "cannot read /proc/self/ns/net"; return; }
    init=$(readlink /proc/1/ns/net 2>/dev/null || true)
    if [[ $own == "$init" ]]; then
        echo "the network namespace is that of process 1 (the host's)"
        return
    fi
    while read -r name; do
        case $name in
        lo | vorn0 | vorn1) ;;
        *) echo "interface $name is not the test run's"; return ;;
        esac
    done < <(ip -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }')
}

if [[ ${1:-} == --check ]]; then
    problem=$(netns_problem)
    [[ -z $problem ]] && exit 0
    echo "netns: not in a private network namespace: $problem" >&2
    exit 1
fi

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
    unset VORN_TEST_NETNS
    if [[ -n ${CI:-} ]]; then
        echo "netns: no rights for a private network namespace (neither root nor unprivileged" \
            "user namespaces); in CI the tests that need one fail" >&2
        "$@" || true
        echo "netns: failed: no private network namespace for: $*" >&2
        exit 1
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
