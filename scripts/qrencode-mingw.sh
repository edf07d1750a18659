#!/usr/bin/env bash
# Builds libqrencode for the Windows build (the link's QR code of vornctl serve): Debian's own
# source package of the qrencode that Debian 12 ships, cross-compiled with MinGW-w64 (posix
# flavour) into a static libqrencode.a, the library alone (no command-line tool, no PNG).
#
#   scripts/qrencode-mingw.sh    builds once, then prints the install prefix (stdout)
#
# The result is kept under build/qrencode-mingw/VERSION (include/, lib/): fetching, caching and
# locking as scripts/mingw-source-build.sh describes.
#
# Environment: VORN_JOBS (build jobs, default 2); VORN_QRENCODE_MINGW_CACHE (default
# build/qrencode-mingw below the repository root).
set -euo pipefail

# shellcheck source=scripts/mingw-source-build.sh
source "$(dirname "${BASH_SOURCE[0]}")/mingw-source-build.sh"

# build_qrencode TREE PREFIX: libqrencode.a and qrencode.h, with the package's own CMake build.
build_qrencode() {
    local tree=$1 prefix=$2 cc
    mingw_cc cc
    local launcher=()
    [[ ${cc[0]} == ccache ]] && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S "$tree" -B "$tree/build-mingw" -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER="$mingw_triplet-gcc-posix" -DCMAKE_RC_COMPILER="$mingw_triplet-windres" \
        "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DWITH_TOOLS=OFF \
        -DWITH_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" &&
        cmake --build "$tree/build-mingw" -j "${VORN_JOBS:-2}" &&
        cmake --install "$tree/build-mingw" || return 1
    [[ -s $prefix/lib/libqrencode.a && -s $prefix/include/qrencode.h ]] ||
        fail "the build made no libqrencode.a and qrencode.h"
}

# The library's source is the original tarball alone: the Debian part of the package adds
# packaging, which a static library for MinGW does not use; some mirrors lack it.
MINGW_ORIG_ALONE=1

if [[ $# -gt 0 ]]; then
    echo "usage: $0" >&2
    exit 2
fi
mingw_source_build qrencode build_qrencode
