#!/usr/bin/env bash
# Tests the packages that scripts/package.sh made in build/packages:
#
#   packaging/tests/run.sh
#
#   deb        deb_test.py: the Debian package (contents, lintian, programs, man pages, completion)
#   service    service_test.py: the package installed for real (as root), its unit checked by
#              systemd-analyze and its command line run as the unit runs it, removed and purged
#   zip        zip_test.py: the Windows ZIP (files, DLLs, version resource) and SHA256SUMS
#   installer  installer_test.py: the installer, silently under Wine in a fresh prefix
#              (build/package-test/wine-prefix, made anew each run), the installed program
#              driven by build/windows/tools/uidriver/vorntour.exe
#
# Every test runs in a private network namespace (scripts/netns.sh), the installer's with the
# veth pair the Windows program needs. The version expected everywhere is the project's, from
# build/native. Prints one line per test and exits non-zero if any failed (a test that cannot
# run here, without a network namespace, skips with the reason; in CI it fails instead), then the
# names of the skipped ones.
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$VORN_ROOT"
packages="$VORN_ROOT/build/packages"
tests="$VORN_ROOT/packaging/tests"
netns="$VORN_ROOT/scripts/netns.sh"
vorntour="$VORN_ROOT/build/windows/tools/uidriver/vorntour.exe"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt 2>/dev/null || true)
if [[ -z $version ]]; then
    echo "package tests: no project version in build/native/CMakeCache.txt (run scripts/package.sh)" >&2
    exit 1
fi

declare -A result
run_test() {
    local name=$1 start=$SECONDS status=0
    shift
    printf '\n---- package test: %s ----\n' "$name"
    "$@" || status=$?
    case $status in
    0) result[$name]="passed" ;;
    77) result[$name]="skipped" ;;
    *) result[$name]="FAILED (status $status)" ;;
    esac
    result[$name]+=" in $((SECONDS - start)) s"
}

run_test deb "$netns" -- python3 "$tests/deb_test.py" "$packages" "$version"
run_test service "$netns" --veth -- python3 "$tests/service_test.py" "$packages" "$version"
run_test zip "$netns" -- python3 "$tests/zip_test.py" "$packages" "$version"
rm -rf build/package-test
mkdir -p build/package-test
run_test installer "$netns" --veth -- scripts/wine-session.sh build/package-test -- \
    python3 "$tests/installer_test.py" "$packages" "$version" "$vorntour" "$netns"

echo
names=(deb service zip installer)
failed=0 passed=0 skipped=0
for name in "${names[@]}"; do
    echo "package test $name: ${result[$name]}"
    case ${result[$name]} in
    passed*) passed=$((passed + 1)) ;;
    skipped*) skipped=$((skipped + 1)) ;;
    *) failed=1 ;;
    esac
done
skipped_names=()
for name in "${names[@]}"; do
    if [[ ${result[$name]} == skipped* ]]; then skipped_names+=("$name"); fi
done
echo "package tests: $passed of ${#names[@]} passed, $skipped skipped${skipped_names[*]:+: ${skipped_names[*]}} (version $version)"
exit $failed
