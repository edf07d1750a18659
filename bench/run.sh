#!/usr/bin/env bash
# Builds the benchmark programs (and the vornsim device simulator) in the native build directory
# and runs them, each in its own private network namespace (scripts/netns.sh), then prints their
# summary lines. Everything they send stays on that namespace's loopback.
#
#   bench/run.sh [--quick]
#
#   RoundTrip  request round trips: engine vs plain Boost.Asio clients, sequential and pipelined
#   Discovery  engine start until 1000 simulated devices are listed and their names read
#   IdleCost   CPU of an idle engine, alone and with 100 devices (simulated in another process)
#   Flood      heap, CPU and a real device's serial reads while 10^5 and 10^6 new frame ids arrive
#
# --quick runs shorter versions (for a check that everything works, not for figures).
# Environment: VORN_JOBS (build jobs, default 2); VORN_BENCH_BUILD (build directory, default
# build/native). The full run takes about 4 minutes on a 2-core machine; the output is also
# kept in <build directory>/bench/results.txt.
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"

quick=0
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "usage: $0 [--quick]" >&2
        exit 2
        ;;
    esac
done

build=${VORN_BENCH_BUILD:-$VORN_ROOT/build/native}
if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$VORN_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=
fi
cmake --build "$build" -j "${VORN_JOBS:-2}" --target RoundTrip Discovery IdleCost Flood vornsim

if [[ $quick -eq 1 ]]; then
    roundtrip_args=(--requests 2000 --warmup 200 --rounds 1)
    discovery_args=(--devices 200 --runs 1)
    idle_args=(--seconds 2)
    flood_runs=("--frames 10000 --seconds 2")
else
    roundtrip_args=()
    discovery_args=(--devices 1000)
    idle_args=(--devices 100 --seconds 10)
    flood_runs=("--frames 100000 --no-listing" "--frames 1000000 --no-listing" "--frames 100000"
        "--frames 1000000")
fi

results=$build/bench/results.txt
: >"$results"
status=0
start=$SECONDS
run() {
    local name=$1
    shift
    printf '\n==== %s ====\n' "$name" | tee -a "$results"
    if ! "$VORN_ROOT/scripts/netns.sh" -- "$build/bench/$name" "$@" 2>&1 | tee -a "$results"; then
        echo "$name FAILED" | tee -a "$results"
        status=1
    fi
}

run RoundTrip "${roundtrip_args[@]}"
run Discovery "${discovery_args[@]}"
run IdleCost "${idle_args[@]}"
for flood_args in "${flood_runs[@]}"; do
    run Flood $flood_args
done

printf '\n==== summary (%ss; full output in %s) ====\n' $((SECONDS - start)) "$results"
grep '^summary ' "$results" | sed 's/^summary //' || true
exit $status
