#!/usr/bin/env bash
# scripts/netns.sh on a machine without the rights for a network namespace (an `unshare` that
# always fails stands in for such a machine): it runs the command on this machine's network
# without VORN_TEST_NETNS (so the tests that need a namespace fail or skip, naming themselves);
# in CI it then exits with status 1 whatever the command returned, saying why.
#
#   tests/scripts/netns_test.sh NETNS_SCRIPT
set -uo pipefail
netns=$1
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
printf '#!/bin/sh\nexit 1\n' >"$fake/unshare"
chmod +x "$fake/unshare"

failures=0
check() { # check DESCRIPTION CONDITION...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

out=$(PATH="$fake:$PATH" CI=true VORN_TEST_NETNS=1 "$netns" -- sh -c 'echo "ran ${VORN_TEST_NETNS:-unset}"' 2>"$fake/err")
status=$?
check "in CI it exits non-zero although the command succeeded (status $status)" test "$status" -ne 0
check "in CI the command runs without VORN_TEST_NETNS (stdout '$out')" test "$out" = "ran unset"
check "in CI it says why" grep -q 'failed: no private network namespace for: sh' "$fake/err"

out=$(PATH="$fake:$PATH" CI='' VORN_TEST_NETNS=1 "$netns" -- sh -c 'echo "ran ${VORN_TEST_NETNS:-unset}"' 2>"$fake/err")
status=$?
check "outside CI the command runs (status $status)" test "$status" -eq 0
check "outside CI VORN_TEST_NETNS is removed (stdout '$out')" test "$out" = "ran unset"
check "outside CI it warns" grep -q "running on this machine's network" "$fake/err"

# --check from the host's namespace (where this test runs before netns.sh) says no; inside
# a namespace of netns.sh's own it says yes.
if [[ $(readlink /proc/self/ns/net) == "$(readlink /proc/1/ns/net 2>/dev/null)" ]]; then
    check "--check refuses the host's namespace" bash -c "! '$netns' --check 2>/dev/null"
fi
check "--check accepts the namespace netns.sh makes" "$netns" -- "$netns" --check

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
