#!/usr/bin/env bash
# Builds and tests the project in every configuration:
#
#   scripts/test.sh [native] [mutants] [asan] [tsan] [windows] [package] [fuzz]
#                                                       (default: all seven, in this order)
#
#   native   build/native   g++, RelWithDebInfo
#   mutants  build/mutants  scripts/mutants.sh: each fault of its list planted in a scratch copy,
#                           which the tests it concerns must catch (docs/testing.md)
#   asan     build/asan     g++, Debug, AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     build/tsan     g++, RelWithDebInfo, ThreadSanitizer
#   windows  build/windows  MinGW-w64 cross build, RelWithDebInfo; tests run under Wine
#   package  build/packages the release packages (scripts/package.sh) from build/native and
#                           build/windows, building there only what is missing; their tests
#                           (packaging/tests/run.sh), the installer's under Wine
#   fuzz     build/fuzz     clang, the libFuzzer targets, each run briefly (scripts/fuzz.sh)
#
# First installs the Debian packages it needs (nothing to do on a rerun). The tests run in a
# private network namespace with only loopback (the Windows tests also get a veth pair, see
# scripts/netns.sh), so none of their packets reaches a real network.
#
# Environment: VORN_JOBS (build jobs, default 2), VORN_CTEST_JOBS (tests run at once, default 2),
# VORN_FUZZ_SECONDS (seconds per fuzz target, default 20).
# Exits non-zero if any step of any configuration fails; the other configurations still run.
set -euo pipefail
exec </dev/null
# ccache and Wine keep their state below HOME, which a bare CI environment may lack.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
source scripts/setup.sh

ALL_STAGES=(native mutants asan tsan windows package fuzz)
stages=()
for arg in "$@"; do
    case $arg in
    native | mutants | asan | tsan | windows | package | fuzz) stages+=("$arg") ;;
    all) stages+=("${ALL_STAGES[@]}") ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "usage: $0 [native] [mutants] [asan] [tsan] [windows] [package] [fuzz]" >&2
        exit 2
        ;;
    esac
done
[[ ${#stages[@]} -eq 0 ]] && stages=("${ALL_STAGES[@]}")

CTEST_JOBS=${VORN_CTEST_JOBS:-2}

vorn_build_environment

# Sanitizer reports end the test with a failure; a caller's own settings take precedence.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

declare -A RESULT BUILD_TIME TEST_TIME SUMMARY SKIPPED

banner() {
    printf '\n==== %s ====\n' "$*"
}

# ThreadSanitizer (GCC 12) cannot map its shadow memory when the kernel randomises mmap with
# more than 28 bits; a process started with address randomisation off (setarch -R) always
# works. Prints the prefix to run the tests with.
tsan_launcher() {
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        echo "setarch $(uname -m) -R"
        return
    fi
    local bits
    bits=$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)
    if [[ $bits -gt 28 ]]; then
        echo "tsan: setarch -R is not allowed here and vm.mmap_rnd_bits=$bits > 28;" \
            "ThreadSanitizer may fail to start (sysctl vm.mmap_rnd_bits=28 fixes it)" >&2
    fi
}

# run_script_stage NAME LOG LINE PREFIX: a stage that scripts build and test: NAME_build, then
# NAME_tests with its output kept in LOG. The summary is the log's last line that starts with
# the pattern LINE, without PREFIX.
run_script_stage() {
    local name=$1 log=$2 line=$3 prefix=$4 start=$SECONDS status=0
    banner "$name: build"
    if ! "${name}_build"; then
        BUILD_TIME[$name]=$((SECONDS - start))
        RESULT[$name]="FAILED (build)"
        return
    fi
    BUILD_TIME[$name]=$((SECONDS - start))
    banner "$name: test"
    start=$SECONDS
    mkdir -p "$(dirname "$log")"
    "${name}_tests" 2>&1 | tee "$log" || status=$?
    TEST_TIME[$name]=$((SECONDS - start))
    SUMMARY[$name]=$(grep -E "^$line" "$log" | tail -n 1 | sed -E "s/^$prefix//" || true)
    SKIPPED[$name]=$(sed -nE 's/^package test ([^:]+): skipped.*/\1/p' "$log" || true)
    if [[ $status -eq 0 ]]; then
        RESULT[$name]=passed
    else
        RESULT[$name]="FAILED (tests, status $status)"
    fi
}

# The fuzz stage (build/fuzz): build the targets, then run each for VORN_FUZZ_SECONDS.
fuzz_build() { scripts/fuzz.sh --build-only; }
fuzz_tests() { scripts/fuzz.sh --no-build "${VORN_FUZZ_SECONDS:-20}"; }

# The mutants stage (build/mutants): the scratch copy built, then every mutant planted and tried.
mutants_build() { scripts/mutants.sh --prepare; }
mutants_tests() { scripts/mutants.sh; }

# The package stage (build/packages): the packages from the native and Windows builds and the
# UI driver the installer's test uses, then the packages' tests.
package_build() {
    local windows_args=()
    vorn_cmake_args windows windows_args
    scripts/package.sh &&
        VORN_TARGETS=vorntour vorn_build windows "${windows_args[@]}" >/dev/null
}
package_tests() { packaging/tests/run.sh; }

# run_stage NAME: configure + build, then ctest inside the network namespace.
run_stage() {
    case $1 in
    fuzz)
        run_script_stage fuzz "$VORN_ROOT/build/fuzz/fuzz.log" 'fuzz: [0-9]+ targets' 'fuzz: '
        return
        ;;
    mutants)
        run_script_stage mutants "$VORN_ROOT/build/mutants/mutants.log" 'mutants: [0-9]+ of' 'mutants: '
        return
        ;;
    package)
        run_script_stage package "$VORN_ROOT/build/package-test.log" 'package tests: ' \
            'package tests: '
        return
        ;;
    esac
    local name=$1 dir="$VORN_ROOT/build/$1"
    local cmake_args=() run=("$VORN_ROOT/scripts/netns.sh")
    vorn_cmake_args "$name" cmake_args
    case $name in
    tsan)
        local launcher
        launcher=$(tsan_launcher)
        [[ -n $launcher ]] && run+=(-- $launcher)
        ;;
    windows) run+=(--veth -- "$VORN_ROOT/scripts/wine-session.sh" "$dir" --) ;;
    esac

    banner "$name: build ($dir)"
    local start=$SECONDS
    if ! vorn_build "$name" "${cmake_args[@]}"; then
        BUILD_TIME[$name]=$((SECONDS - start))
        RESULT[$name]="FAILED (build)"
        return
    fi
    BUILD_TIME[$name]=$((SECONDS - start))

    banner "$name: test"
    start=$SECONDS
    local log="$dir/ctest.log" status=0
    rm -f "$log"
    "${run[@]}" ctest --test-dir "$dir" -j "$CTEST_JOBS" --output-on-failure \
        --no-tests=error --output-log "$log" || status=$?
    TEST_TIME[$name]=$((SECONDS - start))
    SUMMARY[$name]=$(grep -E 'tests passed|No tests were found' "$log" 2>/dev/null | tail -n 1 || true)
    # CTest's list of the tests that did not run, each "NUMBER - NAME (Skipped)".
    SKIPPED[$name]=$(sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \(Skipped\)$/\1/p' "$log" 2>/dev/null || true)
    if [[ $status -eq 0 ]]; then
        RESULT[$name]=passed
    else
        RESULT[$name]="FAILED (tests, ctest status $status)"
    fi
}

total_start=$SECONDS
banner "setup"
vorn_install_packages
# The browser test's accessibility check (axe-core, pinned, into build/npm; not shipped).
if [[ " ${stages[*]} " == *" native "* || " ${stages[*]} " == *" mutants "* ]]; then
    scripts/npm-tools.sh axe-core
fi

for stage in "${stages[@]}"; do
    run_stage "$stage"
done

banner "summary"
failed=0
for stage in "${stages[@]}"; do
    printf '%-8s %-36s build %4ss  test %4ss  %s\n' "$stage" "${RESULT[$stage]}" \
        "${BUILD_TIME[$stage]:--}" "${TEST_TIME[$stage]:--}" "${SUMMARY[$stage]:-}"
    [[ ${RESULT[$stage]} == passed ]] || failed=1
    if [[ -n ${SKIPPED[$stage]:-} ]]; then
        printf '%-8s skipped %s test(s):\n' "$stage" "$(wc -l <<<"${SKIPPED[$stage]}")"
        sed 's/^/           /' <<<"${SKIPPED[$stage]}"
    fi
done
printf 'total %ss\n' $((SECONDS - total_start))
if [[ $failed -ne 0 ]]; then
    echo "RESULT: FAILED"
    exit 1
fi
echo "RESULT: all passed"
