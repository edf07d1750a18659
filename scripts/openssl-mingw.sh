#!/usr/bin/env bash
# Builds OpenSSL for the Windows build: Debian's own source package of the openssl that Debian 12
# ships, cross-compiled with MinGW-w64 (posix flavour) into static libssl.a and libcrypto.a.
#
#   scripts/openssl-mingw.sh     builds once, then prints the install prefix (stdout)
#
# The result is kept under build/openssl-mingw/VERSION (include/, lib/): fetching, caching and
# locking as scripts/mingw-source-build.sh describes.
#
# Environment: VORN_JOBS (make jobs, default 2); VORN_OPENSSL_MINGW_CACHE (default
# build/openssl-mingw below the repository root).
set -euo pipefail

# shellcheck source=scripts/mingw-source-build.sh
source "$(dirname "${BASH_SOURCE[0]}")/mingw-source-build.sh"

# build_openssl TREE PREFIX: libssl.a, libcrypto.a and the headers.
build_openssl() {
    local tree=$1 prefix=$2 cc
    mingw_cc cc
    # The folders compiled in, where the library looks for its configuration file (read
    # when TLS starts), engines and modules, are those of OpenSSL's own Windows builds, which
    # only administrators may write to. With this Makefile's defaults (/usr/local/...) they
    # would be C:\usr\local\..., which any user may create, and so plant code in a program
    # another user runs. Configure takes no Windows path on Linux: make is given them.
    # Nothing is installed there: the headers and libraries are copied below.
    CC="${cc[*]}" AR="$mingw_triplet-ar" RANLIB="$mingw_triplet-ranlib" RC="$mingw_triplet-windres" \
        ./Configure mingw64 no-shared no-tests &&
        make -j"${VORN_JOBS:-2}" build_libs OPENSSLDIR="C:/Program Files/Common Files/SSL" \
            ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3" \
            MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules" || return 1
    mkdir -p "$prefix/include/openssl"
    cp "$tree"/include/openssl/*.h "$prefix/include/openssl/"
    local lib
    for lib in libssl.a libcrypto.a; do
        [[ -s $tree/$lib ]] || fail "the build made no $lib"
        cp "$tree/$lib" "$prefix/lib/"
    done
}

if [[ $# -gt 0 ]]; then
    echo "usage: $0" >&2
    exit 2
fi
mingw_source_build openssl build_openssl
