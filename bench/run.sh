#!/usr/bin/env bash
# Builds the benchmark programs (and the vornsim device simulator) in the native build directory
# and runs them, each in its own private network namespace (scripts/netns.sh), then prints their
# summary lines. Everything they send stays on that namespace's loopback (the window benchmark's:
# on the namespace's veth pair).
#
#   bench/run.sh [--quick] [--no-window]
#
#   RoundTrip         request round trips: engine vs plain Boost.Asio clients, sequential and
#                     pipelined; the ratios, allocations and wake-ups per request
#   TimeoutPrecision  lateness of time-outs and retransmissions with 1, 100 and 10000 pending,
#                     idle and under a receive load
#   Discovery         engine start until 1000 and 10000 simulated devices are listed and named
#   IdleCost          CPU of an idle engine, alone and with 100 and 1000 devices (simulated in
#                     another process), and the heap a present frame holds
#   Flood             heap, CPU and a real device's serial reads while 10^5 and 10^6 new frame
#                     ids arrive
#   SilentRack        serial reads of a device that answers while 0, 50 and 300 devices that
#                     never answer are named
#   Inventory         vornctl inventory's reading of 1000 listed devices: every name and serial
#                     number, in parallel
#   JournalAppend     one journal line appended under the file's lock and synced to the disk
#   WindowScale       the Windows program under Wine with 1000 and 10000 devices, and 20 beside
#                     300 that never answer: rows, names,
#                     selection to serial (cross-built in build/windows; --no-window skips it)
#
# --quick runs shorter versions (for a check that everything works, not for figures).
# Environment: VORN_JOBS (build jobs, default 2); VORN_BENCH_BUILD (build directory, default
# build/native); VORN_BENCH_WINDOWS_BUILD (default build/windows). The full run takes about
# 8 minutes on a 2-core machine; the output is also kept in <build directory>/bench/results.txt.
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"

quick=0
window=1
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    --no-window) window=0 ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "usage: $0 [--quick] [--no-window]" >&2
        exit 2
        ;;
    esac
done

build=${VORN_BENCH_BUILD:-$VORN_ROOT/build/native}
if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$VORN_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=
fi
cmake --build "$build" -j "${VORN_JOBS:-2}" --target RoundTrip TimeoutPrecision Discovery IdleCost \
    Flood SilentRack Inventory JournalAppend vornsim
windows_build=${VORN_BENCH_WINDOWS_BUILD:-$VORN_ROOT/build/windows}
if [[ $window -eq 1 ]]; then
    if [[ ! -f $windows_build/build.ninja ]]; then
        cmake -S "$VORN_ROOT" -B "$windows_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            --toolchain "$VORN_ROOT/cmake/mingw-w64-x86_64.cmake"
    fi
    cmake --build "$windows_build" -j "${VORN_JOBS:-2}" --target WindowScale
fi

if [[ $quick -eq 1 ]]; then
    roundtrip_args=(--requests 2000 --warmup 200 --rounds 1)
    timeout_args=(--seconds 1 --pending 1,1000)
    discovery_runs=("--devices 200 --runs 1")
    idle_runs=("--seconds 2")
    flood_runs=("--frames 10000 --seconds 2")
    silent_runs=("--silent 50 --seconds 2")
    inventory_runs=("--devices 200 --runs 1")
    journal_lines=20
    window_runs=("--devices 100 --selections 3")
else
    roundtrip_args=()
    timeout_args=()
    discovery_runs=("--devices 1000" "--devices 10000 --addresses 200 --runs 3")
    idle_runs=("--devices 100 --seconds 10" "--devices 1000 --addresses 200 --seconds 10")
    flood_runs=("--frames 100000 --no-listing" "--frames 1000000 --no-listing" "--frames 100000"
        "--frames 1000000")
    silent_runs=("--silent 0" "--silent 50" "--silent 300")
    inventory_runs=("--devices 1000 --runs 5")
    journal_lines=1000
    window_runs=("--devices 1000" "--devices 10000" "--devices 20 --silent 300")
fi

results=$build/bench/results.txt
: >"$results"
status=0
start=$SECONDS
run() {
    local name=$1
    shift
    printf '\n==== %s %s (load average %s) ====\n' "$name" "$*" "$(cut -d' ' -f1-3 /proc/loadavg)" |
        tee -a "$results"
    if ! "$VORN_ROOT/scripts/netns.sh" -- "$build/bench/$name" "$@" 2>&1 | tee -a "$results"; then
        echo "$name FAILED" | tee -a "$results"
        status=1
    fi
}

# The window benchmark runs under Wine in a namespace with the veth pair; its summary line is
# kept like the others'.
run_window() {
    printf '\n==== WindowScale %s (load average %s) ====\n' "$*" "$(cut -d' ' -f1-3 /proc/loadavg)" |
        tee -a "$results"
    if ! "$VORN_ROOT/scripts/netns.sh" --veth -- "$VORN_ROOT/scripts/wine-session.sh" \
        "$windows_build" -- wine "$windows_build/bench/WindowScale.exe" "$@" 2>&1 |
        grep -v ':fixme:' | tee -a "$results"; then
        echo "WindowScale FAILED" | tee -a "$results"
        status=1
    fi
}

run RoundTrip "${roundtrip_args[@]}"
run TimeoutPrecision "${timeout_args[@]}"
for args in "${discovery_runs[@]}"; do
    run Discovery $args
done
for args in "${idle_runs[@]}"; do
    run IdleCost $args
done
for args in "${flood_runs[@]}"; do
    run Flood $args
done
for args in "${silent_runs[@]}"; do
    run SilentRack $args
done
for args in "${inventory_runs[@]}"; do
    run Inventory $args
done
# On the build tree's disk: a file on tmpfs would sync for free.
run JournalAppend --lines "$journal_lines" --file "$build/bench/journal-append.jsonl"
if [[ $window -eq 1 ]]; then
    for args in "${window_runs[@]}"; do
        run_window $args
    done
fi

printf '\n==== summary (%ss; full output in %s) ====\n' $((SECONDS - start)) "$results"
grep '^summary ' "$results" | sed 's/^summary //' || true
exit $status
