#!/usr/bin/env bash
# Builds the benchmark programs (and the vornsim device simulator) in the native build directory
# and runs them, each in its own private network namespace (scripts/netns.sh), then prints their
# summary lines. Everything they send stays on that namespace's loopback (the window benchmark's:
# on the namespace's veth pair).
#
#   bench/run.sh [--quick] [--no-window] [--only NAME[,NAME...]] [--baseline COMMIT [--rounds N]]
#
#   RoundTrip         request round trips: engine vs plain Boost.Asio clients, sequential and
#                     pipelined; the ratios, allocations and wake-ups per request
#   TimeoutPrecision  lateness of time-outs and retransmissions with 1, 100 and 10000 pending,
#                     idle and under a receive load
#   Discovery         engine start until 1000 and 10000 simulated devices are listed and named
#   IdleCost          CPU and wake-ups (per thread) of an idle engine, alone and with 100 and
#                     1000 devices (simulated in another process), the heap a present frame
#                     holds, and the wake-ups with 300 devices that never answer being named
#   Flood             heap, CPU and a real device's serial reads while 10^5 and 10^6 new frame
#                     ids arrive
#   SilentRack        serial reads of a device that answers while 0, 50 and 300 devices that
#                     never answer are named
#   Inventory         vornctl inventory's reading of 1000 listed devices: every name and serial
#                     number, in parallel
#   JournalAppend     one journal line appended under the file's lock and synced to the disk
#   serve             vornctl serve with 1000 devices (bench/serve_bench.py): page load until
#                     every row shows (headless Chromium), a device's appearance until its row
#                     shows, 50 idle live-push clients (CPU, memory), 20 clients reading serial
#                     numbers at once
#   serve-tls         vornctl serve's page of 1000 devices over HTTPS against plain HTTP, same
#                     run (bench/serve_tls.py): a browser's first visit to the live push's last
#                     device, GET /api/devices kept alive, new connections (full handshakes)
#                     per second and serve's CPU time per handshake
#   serve-stranger    a tablet with the token (page, API, serial writes, live push) while one
#                     address holds and reopens 200 connections without it, over HTTPS
#                     (bench/serve_stranger.py): the tablet's answers and latencies
#   serve-flood       vornctl serve under 100000 new random device IDs a second for 600 s
#                     (bench/serve_flood.py, FloodSend): resident memory (peak, end, after),
#                     the device list's answer time, a real device kept listed
#   page              vornctl serve's page in Lighthouse (bench/page_lighthouse.py; mobile
#                     profile, 40 devices): performance score, layout shift, console errors,
#                     first paint, bytes moved (Lighthouse: scripts/npm-tools.sh, run here)
#   WindowScale       the Windows program under Wine with 1000 and 10000 devices, and 20 beside
#                     300 that never answer: rows, names,
#                     selection to serial; with 300 devices, selection to "Success" of a serial
#                     write (cross-built in build/windows; --no-window skips it)
#
# --quick runs shorter versions (for a check that everything works, not for figures).
# --only runs only the programs named (e.g. --only WindowScale,Discovery).
# --baseline COMMIT builds that commit's benchmark programs as well, in a git worktree of their
# own (build/baseline-SHA/src, built in build/baseline-SHA/native and .../windows; kept for the
# next run, ccache shared), and runs every benchmark of both, alternated (this code, COMMIT,
# COMMIT, this code, ... : N rounds each, default 2) on the same machine in the same run. Beside
# each summary line it prints the median of each figure and its ratio to COMMIT's (below 1:
# this code takes less). A program or option that COMMIT does not have runs for this code only.
# Environment: VORN_JOBS (build jobs, default 2); VORN_BENCH_BUILD (build directory, default
# build/native); VORN_BENCH_WINDOWS_BUILD (default build/windows). The full run takes about
# 25 minutes on a 2-core machine; the output is also kept in <build directory>/bench/results.txt.
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"

usage() {
    echo "usage: $0 [--quick] [--no-window] [--only NAME[,NAME...]] [--baseline COMMIT [--rounds N]]" >&2
    exit 2
}
quick=0
window=1
only=
baseline=
rounds=2
while [[ $# -gt 0 ]]; do
    case $1 in
    --quick) quick=1 ;;
    --no-window) window=0 ;;
    --only | --baseline | --rounds)
        [[ $# -ge 2 ]] || usage
        case $1 in
        --only) only=,$2, ;;
        --baseline) baseline=$2 ;;
        --rounds) rounds=$2 ;;
        esac
        shift
        ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *) usage ;;
    esac
    shift
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || usage
wanted() { [[ -z $only || $only == *,$1,* ]]; }

build=${VORN_BENCH_BUILD:-$VORN_ROOT/build/native}
if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$VORN_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=
fi
native_programs=(RoundTrip TimeoutPrecision Discovery IdleCost Flood SilentRack Inventory JournalAppend)
wanted WindowScale || window=0

# build_benchmarks SOURCE NATIVE_BUILD WINDOWS_BUILD: the programs SOURCE has, and vornsim.
build_benchmarks() {
    local source=$1 native=$2 windows=$3 targets=(vornsim) name
    for name in "${native_programs[@]}"; do
        if wanted "$name" && [[ -f $source/bench/$name.cpp ]]; then
            targets+=("$name")
        fi
    done
    if [[ ! -f $native/build.ninja ]]; then
        cmake -S "$source" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=
    fi
    local script
    for script in serve:serve_bench page:page_lighthouse serve-tls:serve_tls \
        serve-stranger:serve_stranger serve-flood:serve_flood; do
        if wanted "${script%%:*}" && [[ -f $source/bench/${script#*:}.py ]]; then
            targets+=(vornctl)
            break
        fi
    done
    if wanted serve-flood && [[ -f $source/bench/FloodSend.cpp ]]; then
        targets+=(FloodSend)
    fi
    cmake --build "$native" -j "${VORN_JOBS:-2}" --target "${targets[@]}"
    if [[ $window -eq 1 && -f $source/bench/WindowScale.cpp ]]; then
        if [[ ! -f $windows/build.ninja ]]; then
            local openssl=()
            if [[ -x $source/scripts/openssl-mingw.sh ]]; then
                openssl=("-DVORN_OPENSSL_MINGW_ROOT=$(VORN_ROOT=$VORN_ROOT "$source/scripts/openssl-mingw.sh")")
            fi
            cmake -S "$source" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                --toolchain "$source/cmake/mingw-w64-x86_64.cmake" "${openssl[@]}"
        fi
        cmake --build "$windows" -j "${VORN_JOBS:-2}" --target WindowScale
    fi
}

windows_build=${VORN_BENCH_WINDOWS_BUILD:-$VORN_ROOT/build/windows}
build_benchmarks "$VORN_ROOT" "$build" "$windows_build"

# The baseline: its own worktree under build/, so that nothing of it lands in the repository.
base_label=
if [[ -n $baseline ]]; then
    base_sha=$(git -C "$VORN_ROOT" rev-parse --verify --short=7 "$baseline^{commit}") || usage
    base_label=$base_sha
    base_dir=$VORN_ROOT/build/baseline-$base_sha
    if [[ ! -f $base_dir/src/CMakeLists.txt ]]; then
        git -C "$VORN_ROOT" worktree add --detach "$base_dir/src" "$base_sha"
    fi
    build_benchmarks "$base_dir/src" "$base_dir/native" "$base_dir/windows"
else
    rounds=1
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
    window_runs=("--devices 100 --selections 3" "--devices 300 --selections 0 --writes 3")
else
    roundtrip_args=()
    timeout_args=()
    discovery_runs=("--devices 1000" "--devices 10000 --addresses 200 --runs 3"
        "--devices 65536 --addresses 256 --runs 1")
    idle_runs=("--devices 100 --seconds 10" "--devices 1000 --addresses 200 --seconds 10"
        "--devices 300 --silent --seconds 10")
    flood_runs=("--frames 100000 --no-listing" "--frames 1000000 --no-listing" "--frames 100000"
        "--frames 1000000")
    silent_runs=("--silent 0" "--silent 50" "--silent 300")
    inventory_runs=("--devices 1000 --runs 5")
    journal_lines=1000
    window_runs=("--devices 1000" "--devices 10000" "--devices 20 --silent 300"
        "--devices 300 --selections 0 --writes 10"
        "--devices 300 --selections 0 --writes 10 --confirm-ms 1000")
fi

results=$build/bench/results.txt
summaries=$build/bench/summaries.txt
: >"$results"
: >"$summaries"
missed_lines=$build/bench/missed.txt
: >"$missed_lines"
status=0
start=$SECONDS
invocation=0

# program DIR NAME: vornctl or vornsim in the build folder DIR: under src/apps, or where an
# older commit's build (a baseline's) has them, under tools.
program() {
    local old=$2
    [[ $2 == vornsim ]] && old=simulator
    if [[ -x $1/src/apps/$2/$2 ]]; then echo "$1/src/apps/$2/$2"; else echo "$1/tools/$old/$2"; fi
}

# once WHO PROGRAM ARGS...: one run of this code's (WHO=this) or the baseline's program; its
# output goes to the results, its summary line to the summaries, tagged with the invocation.
once() {
    local who=$1 name=$2 dir=$build output
    shift 2
    [[ $who == this ]] || dir=$base_dir/native
    printf '\n==== %s %s%s (load average %s) ====\n' "$name" "$*" \
        "$([[ $who == this ]] || echo " [$base_label]")" "$(cut -d' ' -f1-3 /proc/loadavg)" |
        tee -a "$results"
    local failed=0
    if [[ $name == serve-tls || $name == serve-stranger || $name == serve-flood ]]; then
        # On the namespace's veth pair: serve off loopback, as a tablet reaches it.
        local script=$VORN_ROOT/bench/${name//-/_}.py extra=()
        [[ $who == this ]] || script=$base_dir/src/bench/${script##*/}
        [[ $name == serve-flood ]] && extra=("$dir/bench/FloodSend")
        output=$(timeout -s INT -k 60 900 "$VORN_ROOT/scripts/netns.sh" --veth -- /usr/bin/python3 "$script" \
            "$(program "$dir" vornctl)" "$(program "$dir" vornsim)" "${extra[@]}" "$@" 2>&1) ||
            failed=1
    elif [[ $name == serve || $name == page ]]; then
        local script=$VORN_ROOT/bench/serve_bench.py
        [[ $name == page ]] && script=$VORN_ROOT/bench/page_lighthouse.py
        [[ $who == this ]] || script=$base_dir/src/bench/${script##*/}
        output=$("$VORN_ROOT/scripts/netns.sh" -- /usr/bin/python3 "$script" \
            "$(program "$dir" vornctl)" "$(program "$dir" vornsim)" "$@" 2>&1) || failed=1
    elif [[ $name == WindowScale ]]; then
        [[ $who == this ]] && dir=$windows_build || dir=$base_dir/windows
        # Under Wine, in a namespace with the veth pair; both builds use this build's prefix.
        output=$("$VORN_ROOT/scripts/netns.sh" --veth -- "$VORN_ROOT/scripts/wine-session.sh" \
            "$windows_build" -- wine "$dir/bench/WindowScale.exe" "$@" 2>&1 |
            grep -v ':fixme:') || failed=1
    else
        output=$("$VORN_ROOT/scripts/netns.sh" -- "$dir/bench/$name" "$@" 2>&1) || failed=1
    fi
    echo "$output"
    # The lines that name a missed target, for the list at the end.
    local tag=
    [[ $who == this ]] || tag=" [$base_label]"
    echo "$output" | { grep -E 'MISSED|INCOMPLETE|NOT all|GUARD HIT' || true; } |
        sed "s|^|$name $*$tag: |" >>"$missed_lines"
    # A run that missed a target still has its figures.
    echo "$output" | { grep '^summary ' || true; } |
        sed "s/^summary /$invocation\t$who\t/" >>"$summaries"
    return $failed
}

# run PROGRAM ARGS...: this code's program, and with --baseline the baseline's too, alternated.
run() {
    local name=$1 round who base_has=0 failed=0
    wanted "$name" || return 0
    invocation=$((invocation + 1))
    if [[ -n $baseline ]]; then
        if [[ $name == serve-tls || $name == serve-stranger || $name == serve-flood ]]; then
            [[ -f $base_dir/src/bench/${name//-/_}.py ]] && base_has=1
        elif [[ $name == serve ]]; then
            [[ -f $base_dir/src/bench/serve_bench.py ]] && base_has=1
        elif [[ $name == page ]]; then
            [[ -f $base_dir/src/bench/page_lighthouse.py ]] && base_has=1
        elif [[ $name == WindowScale ]]; then
            [[ -f $base_dir/windows/bench/WindowScale.exe ]] && base_has=1
        else
            [[ -x $base_dir/native/bench/$name ]] && base_has=1
        fi
    fi
    for ((round = 0; round < rounds; ++round)); do
        # this, baseline, baseline, this, ...: neither side always goes first
        for who in this base; do
            if ((round % 2)); then
                [[ $who == this ]] && who=base || who=this
            fi
            if [[ $who == this ]]; then
                once this "$@" 2>&1 | tee -a "$results" || failed=1
            elif [[ $base_has -eq 1 ]]; then
                # An option the baseline lacks is its usage error: no figures, not a failure.
                once base "$@" 2>&1 | tee -a "$results" || true
            fi
        done
    done
    if [[ $failed -eq 1 ]]; then
        echo "$1 FAILED" | tee -a "$results"
        echo "$*: FAILED (exit status)" >>"$missed_lines"
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
serve_args=()
[[ $quick -eq 1 ]] && serve_args=(--quick)
run serve "${serve_args[@]}"
run serve-tls "${serve_args[@]}"
run serve-stranger "${serve_args[@]}"
if [[ $quick -eq 1 ]]; then
    run serve-flood --seconds 10
else
    run serve-flood --seconds 600 # ten minutes: the plateau, and the memory a minute after
fi
if wanted page; then
    "$VORN_ROOT/scripts/npm-tools.sh" lighthouse # outside the namespace: it downloads
    export VORN_LIGHTHOUSE=$VORN_ROOT/build/npm/lighthouse/node_modules/.bin/lighthouse
fi
run page "${serve_args[@]}"
if [[ $window -eq 1 ]]; then
    for args in "${window_runs[@]}"; do
        run WindowScale $args
    done
fi

printf '\n==== summary (%ss; full output in %s) ====\n' $((SECONDS - start)) "$results" |
    tee -a "$results"
python3 "$VORN_ROOT/bench/compare.py" "$summaries" "$base_label" | tee -a "$results"
# Every missed target, a line each: what a closing note quotes.
printf '\n==== missed targets ====\n' | tee -a "$results"
if [[ -s $missed_lines ]]; then
    tee -a "$results" <"$missed_lines"
else
    echo "none" | tee -a "$results"
fi
exit $status
