#!/usr/bin/env bash
# Builds the release packages into build/packages/:
#
#   scripts/package.sh
#
#   VornService-VERSION-win64.zip         VornService.exe, vornctl.exe, vornsim.exe, the Wireshark
#                                         dissector, README.md, LICENSE.txt
#   VornService-VERSION-win64-setup.exe   the same as a Windows installer (NSIS)
#   vornservice_VERSION_amd64.deb         vornctl and vornsim for Debian, with man pages, bash
#                                         completion and the dissector
#   SHA256SUMS                            the checksums of the three
#
# First installs the Debian packages it needs (nothing to do on a rerun). Builds in the tests'
# build directories (build/native, build/windows), only the programs and files that are
# packaged: after scripts/test.sh there is nothing left to build. The packages are made by
# CPack (packaging/CMakeLists.txt), in build/cpack. Exits non-zero, naming the step, if any
# step fails.
set -euo pipefail
exec </dev/null
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
source scripts/setup.sh

if [[ $# -gt 0 ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    [[ $1 == -h || $1 == --help ]] && exit 0
    exit 2
fi

fail() {
    echo "package: FAILED: $*" >&2
    exit 1
}

vorn_install_packages || fail "installing the Debian packages"
vorn_build_environment

out="$VORN_ROOT/build/packages"
work="$VORN_ROOT/build/cpack"
mkdir -p "$VORN_ROOT/build"

native_args=() windows_args=()
vorn_cmake_args native native_args
vorn_cmake_args windows windows_args
echo "package: building the Linux programs (build/native)"
VORN_TARGETS="vornctl vornsim vorn_package_files" vorn_build native "${native_args[@]}" \
    >"$VORN_ROOT/build/package-native.log" 2>&1 ||
    { tail -n 30 "$VORN_ROOT/build/package-native.log" >&2; fail "building build/native"; }
echo "package: building the Windows programs (build/windows)"
VORN_TARGETS="VornService vornctl vornsim" vorn_build windows "${windows_args[@]}" \
    >"$VORN_ROOT/build/package-windows.log" 2>&1 ||
    { tail -n 30 "$VORN_ROOT/build/package-windows.log" >&2; fail "building build/windows"; }

# The time stamp that strip writes into the Windows programs' headers: the last commit's, so
# that the same commit gives the same programs in the ZIP and the installer, build after build.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    SOURCE_DATE_EPOCH=$(git -C "$VORN_ROOT" log -1 --format=%ct 2>/dev/null || date +%s)
    export SOURCE_DATE_EPOCH
fi

rm -rf "$out" "$work"
mkdir -p "$out"
# pack NAME: CPack with the configuration of build/NAME, its packages moved to build/packages.
pack() {
    local log="$work/$1.log"
    mkdir -p "$work/$1"
    if ! (cd "$work/$1" && cpack --config "$VORN_ROOT/build/$1/CPackConfig.cmake" -B "$work/$1") \
        >"$log" 2>&1; then
        cat "$log" >&2
        fail "CPack in build/$1"
    fi
    find "$work/$1" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.zip' -o -name '*.exe' \) \
        -exec mv -t "$out" {} +
}
echo "package: the Debian package"
pack native
echo "package: the Windows ZIP and installer"
pack windows

cd "$out"
packages=(*-win64.zip *-win64-setup.exe *_amd64.deb)
for package in "${packages[@]}"; do
    [[ -f $package ]] || fail "CPack made no $package"
done
sha256sum "${packages[@]}" >SHA256SUMS
echo "package: in $out:"
ls -l "${packages[@]}" SHA256SUMS | sed 's/^/  /'
