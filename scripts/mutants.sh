#!/usr/bin/env bash
# Plants each fault of the list below in a scratch copy of the tree and runs the tests that must
# catch it: a fault they miss (a surviving mutant) means a check is missing or cannot fail.
#
#   scripts/mutants.sh [--list] [--prepare] [NAME...]   (default: every mutant)
#
#   --list     prints the mutants, their files and tests, and exits
#   --prepare  copies the tree and builds what the mutants need, unmutated, then exits
#
# The scratch copy is build/mutants/tree (the work tree's files, tracked and new, copied anew only
# where they differ), built in its build/native with the native configuration (ccache makes the
# first build mostly cache hits). First the tests of the chosen mutants run once without
# any fault: they must pass. Then, one mutant at a time: its change is made (an exact piece of
# text replaced, which must occur exactly once in its file), only its targets are rebuilt, only
# its tests run (in the private network namespace of scripts/netns.sh, stopping at the first
# failure), and the file is put back.
#
# Prints one line per mutant: "killed", "SURVIVED" (the tests passed with the fault in place),
# "NOT APPLIED" (its text is no longer in its file: aim it anew), "BROKEN" (it does not build),
# or "waiting" (its file is not in the tree yet); then the totals. Exits non-zero unless every
# mutant that applies is killed.
#
# Adding a mutant: one `mutant` line below, see docs/testing.md.
set -euo pipefail
exec </dev/null
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
source scripts/setup.sh

NAMES=()
declare -A FILE OLD NEW TARGETS TESTS

# mutant NAME FILE OLD NEW TARGETS TESTS: in FILE, OLD (exact text, once) becomes NEW; the
# space-separated build TARGETS are rebuilt and the CTest tests matching the regular
# expression TESTS must then fail.
mutant() {
    NAMES+=("$1")
    FILE[$1]=$2 OLD[$1]=$3 NEW[$1]=$4 TARGETS[$1]=$5 TESTS[$1]=$6
}

# The journal
mutant journal-sync-dropped src/journal/JournalFile_posix.cpp \
    'if (!writeAll(fd, data) || ::fdatasync(fd) != 0) {' \
    'if (!writeAll(fd, data)) {' \
    journal_tests '^JournalSync\.'
mutant torn-line-repair-skipped src/journal/JournalFile_posix.cpp \
    'if (::ftruncate(fd, size) == 0)' \
    'if (false && ::ftruncate(fd, size) == 0)' \
    journal_tests '^JournalSync\.'
mutant journal-reader-lock-dropped src/journal/JournalFile_posix.cpp \
    $'        const FileLock lock(fd, LOCK_SH);\n        error = lock.error();' \
    '        error = 0;' \
    journal_tests '^JournalSync\.'

# Serial writes (vornctl and serve)
mutant intent-after-send src/controller/SerialWriteFlow.cpp \
    $'    // Nothing is sent unless the journal holds the intent.\n    std::string entry;\n' \
    $'    std::string entry;\n    controller_.setSerialNumber(request.id, request.target, [](std::uint64_t, WriteReply) {});\n' \
    'controller_tests' '^SerialWriteFlowTest\.JournalFailingBeforeTheIntentSendsNothing'
mutant duplicate-check-off src/controller/SerialWriteFlow.cpp \
    'if (!holders.empty()) {' \
    'if (false) {' \
    'controller_tests serve_tests' '^SerialWriteFlowTest\.NumberHeldByAnotherDevice|^ServeOnSimulator\.ANumberAnotherDevice'
mutant unanswered-write-refused src/controller/SerialWriteFlow.cpp \
    '        return reply == WriteReply::Refused ? R::Refused : R::NoAnswer;' \
    '        return R::Refused;' \
    'controller_tests' '^SerialWriteFlowTest\.WriteNeverAnswered|^SerialWriteOutcome\.'
mutant read-back-skipped src/controller/SerialWriteFlow.cpp \
    $'    const SerialAnswer after = readSerial(request.id);\n    if (!waitFor(stop, [&] { return after.ready(); }))\n        return false;\n    report.readBack = after.get();\n' \
    $'    report.readBack = request.target; // taken for granted\n' \
    'controller_tests' '^SerialWriteFlowTest\.AcknowledgedWrite'

# The engine
mutant check-value-feedback-bit network/src/wire/Message.cpp \
    'const std::uint32_t feedback = ((g >> 31) ^ (g >> 18)) & 1u;' \
    'const std::uint32_t feedback = ((g >> 31) ^ (g >> 17)) & 1u;' \
    network_tests '^MessageTest\.Seal'
mutant one-retry-fewer network/src/engine/VornNetwork.cpp \
    'if (next >= request->behavior->attemptCount()) {' \
    'if (next + 1 >= request->behavior->attemptCount()) {' \
    network_tests '^EngineOverLink\.RetrySchedule'
mutant late-reply-dropped network/src/engine/VornNetwork.cpp \
    'if (found == retrying_.end() || found->second->frameId != frameId)' \
    'if (true)' \
    network_tests '^SickNetwork\.ALateReply'
mutant congestion-window-never-released network/src/engine/CongestionController.cpp \
    $'    laneBytes -= length;\n    bytesInFlight_ -= length;\n' \
    '' \
    network_tests '^CongestionControllerTest\.'

# A segment larger than the former flood guard: every device listed, and the event feed bounded
mutant frame-cap-back-at-4096 network/src/engine/framelist/PresenceTable.cpp \
    'if (frames_.size() >= cap_ || waiting_.size() >= unansweredCap_) {' \
    'if (frames_.size() >= 4096 || waiting_.size() >= unansweredCap_) {' \
    'network_tests vornctl_tests' '^(SickNetwork\.ALargeSegment|VornctlOnLargeSegment\.)'
mutant device-event-feed-unbounded src/controller/DeviceEventFeed.cpp \
    '} else if (events_.size() >= bound_ &&' \
    '} else if (false &&' \
    controller_tests '^DeviceEventFeed\.'

# vornctl serve: the guard and the page
mutant host-check-off src/apps/vornctl/serve/RequestGuard.cpp \
    $'if (host.empty() ||\n        std::find(config.hosts.begin(), config.hosts.end(), host) == config.hosts.end())' \
    'if (host.empty())' \
    serve_tests '^ServeGuard\.'
mutant origin-check-off src/apps/vornctl/serve/RequestGuard.cpp \
    'if ((head.upgrade || stateChanging(head.method)) && head.origin &&' \
    'if (false && (head.upgrade || stateChanging(head.method)) && head.origin &&' \
    serve_tests '^ServeGuard\.'
mutant token-compared-as-prefix src/apps/vornctl/serve/AccessToken.cpp \
    'unsigned difference = given.size() == expected.size() ? 0u : 1u;' \
    'unsigned difference = given.size() >= expected.size() ? 0u : 1u;' \
    serve_tests '^ServeTokens\.|^ServeGuard\.'
mutant certificate-key-world-readable src/apps/vornctl/serve/PrivateFile_posix.cpp \
    'O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);' \
    'O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);' \
    serve_tests '^ServeLocalAuthority\.'
mutant name-shown-as-markup src/apps/vornctl/serve/page/app.js \
    'row.cells[index].textContent = text;' \
    'row.cells[index].innerHTML = text;' \
    'vornctl vornsim' '^serve_browser$'

# The test scripts themselves
mutant ci-runs-without-namespace scripts/netns.sh \
    'if [[ -n ${CI:-} ]]; then' \
    'if false; then' \
    '' '^netns_script$'

# Waiting for their target: NAME "what it will plant" (listed, not run, until the code exists).
WAITING_NAMES=()
declare -A WAITING=()

# The build folder lies in the scratch tree as build/native does in the work tree: below
# CCACHE_BASEDIR, both compile with the same relative paths and share ccache's results.
scratch="$VORN_ROOT/build/mutants/tree"
build="$scratch/build/native"

list=0 prepare_only=0 chosen=()
for arg in "$@"; do
    case $arg in
    --list) list=1 ;;
    --prepare) prepare_only=1 ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    -*) echo "usage: $0 [--list] [--prepare] [NAME...]" >&2; exit 2 ;;
    *)
        if [[ -z ${FILE[$arg]:-} ]]; then
            echo "mutants: no mutant named $arg (--list names them)" >&2
            exit 2
        fi
        chosen+=("$arg")
        ;;
    esac
done
[[ ${#chosen[@]} -eq 0 ]] && chosen=("${NAMES[@]}")

if [[ $list -eq 1 ]]; then
    for name in "${NAMES[@]}"; do
        printf '%-34s %-42s %s\n' "$name" "${FILE[$name]}" "${TESTS[$name]}"
    done
    for name in "${WAITING_NAMES[@]}"; do
        printf '%-34s waiting for its target: %s\n' "$name" "${WAITING[$name]}"
    done
    exit 0
fi

# replace FILE OLD NEW: OLD must occur exactly once in FILE. Status 3 when it does not.
replace() {
    python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
count = text.count(old)
if count != 1:
    print(f"{path}: the text to replace occurs {count} times, not once: {old!r}", file=sys.stderr)
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

# The scratch tree: the work tree's files (tracked, and new ones not ignored). A file is copied
# only when it differs, with a fresh time, so that Ninja rebuilds what changed and nothing else.
sync_tree() {
    mkdir -p "$scratch"
    local listing="$VORN_ROOT/build/mutants/files" file
    git -C "$VORN_ROOT" ls-files --cached --others --exclude-standard | sort >"$listing"
    while IFS= read -r file; do
        [[ -f $file ]] || continue
        if ! cmp -s "$file" "$scratch/$file"; then
            mkdir -p "$(dirname "$scratch/$file")"
            cp "$file" "$scratch/$file"
        fi
    done <"$listing"
    # Files the work tree no longer has.
    (cd "$scratch" && find . -path ./build -prune -o -type f -print | sed 's|^\./||' | sort) |
        comm -13 "$listing" - | while IFS= read -r file; do rm -f "$scratch/$file"; done
}

chosen_targets() {
    local name targets=() own
    for name in "${chosen[@]}"; do
        read -r -a own <<<"${TARGETS[$name]}"
        targets+=("${own[@]}")
    done
    printf '%s\n' "${targets[@]}" | sort -u | tr '\n' ' '
}

build_targets() { # build_targets TARGET...: nothing to do without targets
    [[ $# -eq 0 ]] && return 0
    cmake --build "$build" -j "${VORN_JOBS:-2}" --target "$@"
}

run_tests() { # run_tests REGEX LOG
    "$VORN_ROOT/scripts/netns.sh" -- ctest --test-dir "$build" -R "$1" -j "${VORN_CTEST_JOBS:-2}" \
        --timeout 240 --stop-on-failure --no-tests=error --output-on-failure >"$2" 2>&1
}

vorn_build_environment
export CCACHE_BASEDIR=$scratch # the work tree's own compilations are the scratch tree's hits
start=$SECONDS
sync_tree
# Test-only tools from npm (the browser test's accessibility check) are the work tree's own.
mkdir -p "$scratch/build"
[[ -e $scratch/build/npm ]] || ln -s "$VORN_ROOT/build/npm" "$scratch/build/npm"
native_args=()
vorn_cmake_args native native_args
cmake -S "$scratch" -B "$build" -G Ninja "${native_args[@]}" >"$VORN_ROOT/build/mutants/configure.log"
read -r -a all_targets <<<"$(chosen_targets)"
build_targets "${all_targets[@]}" >"$VORN_ROOT/build/mutants/build.log" 2>&1 || {
    cat "$VORN_ROOT/build/mutants/build.log" >&2
    echo "mutants: the scratch tree does not build without a mutant" >&2
    exit 1
}
echo "mutants: scratch tree built in $((SECONDS - start)) s"
[[ $prepare_only -eq 1 ]] && exit 0

# The tests of the chosen mutants pass without any fault, or no kill would mean anything.
start=$SECONDS
all_tests=$(for name in "${chosen[@]}"; do printf '%s|' "${TESTS[$name]}"; done)
all_tests=${all_tests%|}
logs="$VORN_ROOT/build/mutants/logs"
rm -rf "$logs"
mkdir -p "$logs"
if ! run_tests "$all_tests" "$logs/baseline.log"; then
    cat "$logs/baseline.log" >&2
    echo "mutants: the tests fail without any mutant (build/mutants/logs/baseline.log)" >&2
    exit 1
fi
echo "mutants: the tests pass without a mutant ($((SECONDS - start)) s)"

restore() { # restore FILE: the work tree's version, with a fresh time
    cp "$VORN_ROOT/$1" "$scratch/$1"
}
current=
trap '[[ -n $current ]] && restore "$current"' EXIT

killed=0 failed=0
for name in "${chosen[@]}"; do
    start=$SECONDS
    file=${FILE[$name]}
    log="$logs/$name.log"
    current=$file
    if ! replace "$scratch/$file" "${OLD[$name]}" "${NEW[$name]}" 2>"$log"; then
        status="NOT APPLIED ($(cat "$log"))"
        failed=$((failed + 1))
    else
        read -r -a targets <<<"${TARGETS[$name]}"
        if ! build_targets "${targets[@]}" >"$log" 2>&1; then
            status="BROKEN (does not build; $log)"
            failed=$((failed + 1))
        elif run_tests "${TESTS[$name]}" "$log"; then
            status="SURVIVED (${TESTS[$name]} passed)"
            failed=$((failed + 1))
        else
            status="killed by $(sed -nE 's/^[[:space:]]*[0-9]+ - (.+) \([^)]+\)$/\1/p' "$log" | head -n 1)"
            killed=$((killed + 1))
        fi
    fi
    restore "$file"
    current=
    printf 'mutant %-34s %4ss  %s\n' "$name" $((SECONDS - start)) "$status"
done
for name in "${WAITING_NAMES[@]}"; do
    printf 'mutant %-34s     -  waiting for its target: %s\n' "$name" "${WAITING[$name]}"
done
# The restored files are built again, so that the scratch build matches the tree.
build_targets "${all_targets[@]}" >"$VORN_ROOT/build/mutants/build.log" 2>&1 || true

echo "mutants: $killed of ${#chosen[@]} killed, $((${#chosen[@]} - killed)) not, ${#WAITING_NAMES[@]} waiting for their target"
[[ $failed -eq 0 ]]
