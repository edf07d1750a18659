#!/usr/bin/env bash
# Builds OpenSSL for the Windows build: Debian's own source package of the openssl that Debian 12
# ships, cross-compiled with MinGW-w64 (posix flavour) into static libssl.a and libcrypto.a.
#
#   scripts/openssl-mingw.sh     builds once, then prints the install prefix (stdout)
#
# The result is kept under build/openssl-mingw/VERSION (include/, lib/), keyed by the source
# package's version, so that every later call of one run (the Windows tests, the packages, the
# demonstration) finds it and builds nothing. A new Debian version gets a build of its own. A
# lock serialises concurrent callers; the build happens in a scratch folder and is moved into
# place only when complete, so an interrupted build leaves nothing that looks finished.
#
# Needs the package sources (deb-src): when apt has none, and we may write to /etc/apt, a sources
# entry of our own (/etc/apt/sources.list.d/vorn-deb-src.sources) names the same mirrors and
# suites as the system's Debian `deb` entries, and the package lists are updated once.
# Compilations go through ccache when it is installed (a second work tree rebuilds cheaply).
#
# Environment: VORN_JOBS (make jobs, default 2); VORN_OPENSSL_MINGW_CACHE (default
# build/openssl-mingw below the repository root).
set -euo pipefail

VORN_ROOT=${VORN_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
cache=${VORN_OPENSSL_MINGW_CACHE:-$VORN_ROOT/build/openssl-mingw}
triplet=x86_64-w64-mingw32
deb_src_file=/etc/apt/sources.list.d/vorn-deb-src.sources

say() { echo "openssl-mingw: $*" >&2; }
fail() {
    say "$*"
    exit 1
}

# Prints the versions of the openssl source package that apt knows, newest first (nothing when
# apt knows no source package).
source_versions() {
    local versions=() version i
    while read -r version; do
        # Insertion by dpkg's own ordering (~ sorts before anything).
        for ((i = ${#versions[@]}; i > 0; i--)); do
            dpkg --compare-versions "${versions[i - 1]}" ge "$version" && break
            versions[i]=${versions[i - 1]}
        done
        versions[i]=$version
    done < <(apt-cache showsrc --only-source openssl 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u)
    [[ ${#versions[@]} -eq 0 ]] || printf '%s\n' "${versions[@]}"
}

# Prints deb822 stanzas of type deb-src for the system's Debian deb entries (one-line .list
# files and deb822 .sources files alike): those whose suites are the release's (CODENAME or
# CODENAME-something), so other vendors' repositories, which may carry no sources, stay out.
deb_src_entries() {
    local codename=$1 file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $file ]] || continue
        awk -v codename="$codename" '
            $1 == "deb" {
                options = ""
                field = 2
                if ($2 ~ /^\[/) {
                    while ($field !~ /\]$/) options = options " " $(field++)
                    options = options " " $(field++)
                }
                uri = $(field++); suite = $(field++)
                if (suite != codename && index(suite, codename "-") != 1) next
                components = ""
                for (; field <= NF; field++) components = components " " $field
                print "Types: deb-src"
                print "URIs: " uri
                print "Suites: " suite
                print "Components:" components
                if (options ~ /signed-by=/) {
                    match(options, /signed-by=[^] ]*/)
                    print "Signed-By: " substr(options, RSTART + 10, RLENGTH - 10)
                }
                print ""
            }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f $file && $file != "$deb_src_file" ]] || continue
        awk -v codename="$codename" '
            BEGIN { RS = ""; FS = "\n" }
            {
                types = ""; suites = ""; out = ""
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^#/) continue
                    if (line ~ /^Types:/) { types = line; continue }
                    if (line ~ /^Enabled:/) { if (line ~ /no/) next; continue }
                    if (line ~ /^Suites:/) suites = line
                    out = out line "\n"
                }
                if (types !~ /[: ]deb( |$)/) next
                n = split(suites, words, /[ \t]+/)
                matched = 0
                for (w = 2; w <= n; w++)
                    if (words[w] == codename || index(words[w], codename "-") == 1) matched = 1
                if (!matched) next
                printf "Types: deb-src\n%s\n", out
            }' "$file"
    done
}

# Makes the openssl source package known to apt when it is not.
ensure_deb_src() {
    [[ -n $(source_versions) ]] && return 0
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n $codename ]] || fail "cannot tell the Debian release (VERSION_CODENAME in /etc/os-release)"
    if [[ $(id -u) -ne 0 ]]; then
        fail "apt knows no source package openssl (no deb-src entry); run this once as root," \
            "or add a deb-src entry for $codename yourself"
    fi
    local entries
    entries=$(deb_src_entries "$codename")
    [[ -n $entries ]] || fail "no Debian deb entry for $codename in /etc/apt to take the mirror from"
    say "adding the package sources of $codename ($deb_src_file)"
    printf '# Source packages, for scripts/openssl-mingw.sh (the same mirrors as the deb entries).\n%s\n' \
        "$entries" >"$deb_src_file"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    [[ -n $(source_versions) ]] || fail "apt still knows no source package openssl after adding $deb_src_file"
}

# Builds VERSION into the prefix DEST. Returns 2 when the source package cannot be fetched.
build_openssl() {
    local version=$1 dest=$2 work
    work="$cache/work-$version"
    rm -rf "$work" "$dest.partial"
    mkdir -p "$work"
    say "fetching the source package openssl $version"
    # apt downloads as root when the folder is not writable for its own user: say nothing of it.
    if ! (cd "$work" && apt-get source -q --only-source "openssl=$version" >"$work/source.log" 2>&1); then
        grep -E '^(E|Err):' "$work/source.log" >&2 || tail -n 5 "$work/source.log" >&2
        rm -rf "$work"
        return 2
    fi
    local tree
    tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    [[ -n $tree ]] || fail "apt-get source left no openssl-* folder in $work"

    local cc=("$triplet-gcc-posix")
    command -v "${cc[0]}" >/dev/null || fail "${cc[0]} not found (package gcc-mingw-w64-x86-64-posix)"
    command -v ccache >/dev/null && cc=(ccache "${cc[@]}")
    say "building $tree for $triplet (make -j${VORN_JOBS:-2} build_libs)"
    local start=$SECONDS
    (
        cd "$tree" || exit 1
        # Paths below the repository hash alike in every checkout (ccache).
        export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$VORN_ROOT}
        # The folders compiled in, where the library looks for its configuration file (read
        # when TLS starts), engines and modules, are those of OpenSSL's own Windows builds, which
        # only administrators may write to. With this Makefile's defaults (/usr/local/...) they
        # would be C:\usr\local\..., which any user may create, and so plant code in a program
        # another user runs. Configure takes no Windows path on Linux: make is given them.
        # Nothing is installed there: the headers and libraries are copied below.
        CC="${cc[*]}" AR="$triplet-ar" RANLIB="$triplet-ranlib" RC="$triplet-windres" \
            ./Configure mingw64 no-shared no-tests &&
            make -j"${VORN_JOBS:-2}" build_libs OPENSSLDIR="C:/Program Files/Common Files/SSL" \
                ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3" \
                MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules"
    ) >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; fail "the build failed ($work/build.log)"; }
    mkdir -p "$dest.partial/include/openssl" "$dest.partial/lib"
    cp "$tree"/include/openssl/*.h "$dest.partial/include/openssl/"
    cp "$tree/libssl.a" "$tree/libcrypto.a" "$dest.partial/lib/" 2>/dev/null || true
    local seconds=$((SECONDS - start))
    local lib
    for lib in libssl.a libcrypto.a; do
        [[ -s $dest.partial/lib/$lib ]] || fail "the build made no $lib"
    done
    printf 'openssl %s (Debian source package), %s, static\nbuilt in %d s with make -j%s\n' \
        "$version" "$triplet" "$seconds" "${VORN_JOBS:-2}" >"$dest.partial/BUILD-INFO"
    mv "$dest.partial" "$dest"
    rm -rf "$work"
    say "built openssl $version in ${seconds} s: $dest"
}

if [[ $# -gt 0 ]]; then
    echo "usage: $0" >&2
    exit 2
fi
mkdir -p "$cache"
{
    # One caller at a time: apt's package lists and the build are shared.
    flock 9
    ensure_deb_src
    # The newest version, or the next one when a mirror no longer (or not yet) has its files.
    while read -r version; do
        dest="$cache/$version"
        if [[ -f $dest/BUILD-INFO ]]; then
            echo "$dest"
            exit 0
        fi
        status=0
        build_openssl "$version" "$dest" || status=$?
        if [[ $status -eq 0 ]]; then
            echo "$dest"
            exit 0
        fi
        say "openssl $version cannot be fetched; trying the version before it"
    done < <(source_versions)
    fail "no version of the source package openssl could be fetched"
} 9>"$cache/.lock"
