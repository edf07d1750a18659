#!/usr/bin/env bash
# The tool's main job on an embedded default: installs what the project needs, builds the
# device simulator and the command-line tool (build/native), then, inside a private network
# namespace, starts the simulator with four devices on 127.0.0.2..4 and runs vornctl on
# 127.0.0.1 against it: list the devices, read a serial number, write a new one (recorded in
# the demo's journal, build/demo/journal.jsonl), read it back, show the journal and the inventory.
# Then it shows the Windows program, VornService.exe, under Wine (scripts/window-demo.sh):
# without a display it walks through choosing the network, the device list and a serial read
# and saves a screenshot; with DISPLAY set the window opens there for you to try.
#
#   scripts/demo.sh
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
BUILD="$VORN_ROOT/build/native"
DEVICE=0000000a:0000000b # the simulator's first default device, "FOH-Processor"
NEW_SERIAL=20261207
# The demo's own journal of serial writes, not the user's.
JOURNAL="$VORN_ROOT/build/demo/journal.jsonl"

if [[ ${1:-} != --inside ]]; then
    source scripts/setup.sh
    vorn_install_packages
    if ! { cmake -S "$VORN_ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
        cmake --build "$BUILD" -j "${VORN_JOBS:-2}" --target vornsim vornctl; }; then
        echo "demo: FAILED: building vornsim and vornctl" >&2
        exit 1
    fi
    # The simulator listens on the wildcard address: only inside a namespace of our own.
    if ! scripts/netns.sh -- "$0" --inside; then
        echo "demo: FAILED: the command-line tool against the simulated devices (see above)" >&2
        exit 1
    fi
    if ! scripts/window-demo.sh; then
        echo "demo: FAILED: the Windows program under Wine (see above)" >&2
        exit 1
    fi
    echo
    echo "demo: every step passed"
    exit 0
fi

# Never trust having been started through netns.sh: the simulator broadcasts and binds the
# wildcard address.
scripts/netns.sh --check || exit 1

log=$(mktemp)
"$BUILD/src/apps/vornsim/vornsim" --quiet >"$log" 2>&1 &
simulator=$!
# Keeps the script's own exit status: the simulator ends by our signal (status 143).
cleanup() {
    local status=$?
    kill "$simulator" 2>/dev/null || true
    wait "$simulator" 2>/dev/null || true
    rm -f "$log"
    exit "$status"
}
trap cleanup EXIT
source scripts/setup.sh
vorn_wait_ready "$simulator" "$log" 10 "demo: vornsim" || exit 1

# Runs vornctl and shows what it printed (also kept in $out); a failure ends the demo with
# the reason.
out=
vornctl() {
    echo
    echo "\$ vornctl $*"
    local status=0
    out=$("$BUILD/src/apps/vornctl/vornctl" "$@" 2>&1) || status=$?
    [[ -n $out ]] && printf '%s\n' "$out"
    if [[ $status -ne 0 ]]; then
        echo "demo: FAILED: vornctl $* exited with status $status" >&2
        exit 1
    fi
}
vornctl interfaces
vornctl --interface 127.0.0.1 list
vornctl --interface 127.0.0.1 serial get "$DEVICE"
vornctl --interface 127.0.0.1 --journal "$JOURNAL" serial set "$DEVICE" "$NEW_SERIAL" --yes
vornctl --interface 127.0.0.1 serial get "$DEVICE"
if ! grep -qw "$NEW_SERIAL" <<<"$out"; then
    echo "demo: FAILED: the serial number read back is not $NEW_SERIAL" >&2
    exit 1
fi
vornctl --journal "$JOURNAL" journal --device "$DEVICE"
if ! tail -n 1 <<<"$out" | grep -q " $NEW_SERIAL  *verified "; then
    echo "demo: FAILED: the journal does not show the write of $NEW_SERIAL as verified" >&2
    exit 1
fi
vornctl --interface 127.0.0.1 inventory
echo
echo "demo: the simulated devices answered; serial of $DEVICE written and read back."
echo
echo "demo: now the Windows program, VornService.exe, under Wine"
# Outside this namespace: the window demonstration makes a namespace of its own.
exit 0
