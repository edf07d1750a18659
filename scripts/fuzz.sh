#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz and runs each for SECONDS (default 60), one after another:
#
#   scripts/fuzz.sh [--build-only | --no-build] [SECONDS]
#
#   MessageFuzzer      wire-message decoding and validation
#   FrameListFuzzer    the frame list's receive path, requests and sweeps (no socket)
#   ReplyChecksFuzzer  the controller's reply checks and the board-id write
#   ServeRequestFuzzer vornctl serve's routes, request guard and serial-write body
#   FleetPayloadFuzzer the fleet archive's reading of a topic and payload from the broker
#
# Each starts from the seed corpus that scripts/fuzz-corpus.py writes (build/fuzz/seeds) and
# keeps what it learns in build/fuzz/corpus/TARGET; an input that breaks a property or trips a
# sanitizer is saved in build/fuzz/findings/TARGET and makes the exit status non-zero. Prints one
# line per target (executions, executions per second) and a summary line. The targets touch no
# network. Environment: VORN_JOBS (build jobs, default 2).
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
BUILD="$VORN_ROOT/build/fuzz"
TARGETS=(MessageFuzzer FrameListFuzzer ReplyChecksFuzzer ServeRequestFuzzer FleetPayloadFuzzer)

build=1 run=1 seconds=60
for arg in "$@"; do
    case $arg in
    --build-only) run=0 ;;
    --no-build) build=0 ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *[!0-9]* | '')
        echo "usage: $0 [--build-only | --no-build] [SECONDS]" >&2
        exit 2
        ;;
    *) seconds=$arg ;;
    esac
done

if [[ $build -eq 1 ]]; then
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$VORN_ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
    CC=clang-14 CXX=clang++-14 cmake -S "$VORN_ROOT" -B "$BUILD" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE= -DVORN_FUZZ=ON
    cmake --build "$BUILD" -j "${VORN_JOBS:-2}" --target fuzzers
fi
[[ $run -eq 1 ]] || exit 0

rm -rf "$BUILD/seeds"
python3 "$VORN_ROOT/scripts/fuzz-corpus.py" "$BUILD/seeds"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
total=0 findings=0 found=()
for target in "${TARGETS[@]}"; do
    corpus="$BUILD/corpus/$target" artifacts="$BUILD/findings/$target"
    mkdir -p "$corpus" "$artifacts"
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/"
        -max_len=4200)
    # The frame list serves every input (one list, as in the product, instead of three threads
    # started per input; each input ends by settling it back to the same state), but the
    # capacity its tables grew to outlives an input, so libFuzzer's per-input leak check would
    # misfire. Leaks are still reported when the run ends.
    [[ $target == FrameListFuzzer ]] && options+=(-detect_leaks=0)
    log="$BUILD/$target.log"
    status=0
    "$BUILD/fuzz/$target" "${options[@]}" "$corpus" "$BUILD/seeds/$target" >"$log" 2>&1 ||
        status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    runs=${runs:-0}
    total=$((total + runs))
    if [[ $status -ne 0 ]]; then
        findings=$((findings + 1))
        # The kind of problem, for the summary line (CI shows that line whatever else it cuts).
        kind=$(grep -m1 -oE 'ERROR: [A-Za-z]+: [a-z-]+|ERROR: libFuzzer: [a-z-]+|SUMMARY: [A-Za-z]+: [^ ]+' "$log" || true)
        found+=("$target (${kind:-exit $status})")
        echo "fuzz: $target FOUND A PROBLEM after $runs executions (exit $status); see $log" \
            "and $artifacts"
        grep -E 'ERROR|property violated|SUMMARY' "$log" | head -n 5 || true
    else
        echo "fuzz: $target $runs executions in ${seconds} s (${speed:-?} per second), no finding"
    fi
done
echo "fuzz: ${#TARGETS[@]} targets, $total executions, $findings with findings${found[*]:+: ${found[*]}}"
[[ $findings -eq 0 ]]
