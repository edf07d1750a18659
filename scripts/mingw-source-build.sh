# Shared by the scripts that build a library of Debian's for the Windows build (sourced, not
# run): scripts/openssl-mingw.sh and scripts/qrencode-mingw.sh. Debian ships these libraries for
# Linux only; each script builds one from Debian's own source package of the version Debian 12
# ships, cross-compiled with MinGW-w64 (posix flavour), static.
#
# mingw_source_build PACKAGE BUILD_FUNCTION does the common part and prints the install prefix:
#   - the result is kept under build/PACKAGE-mingw/VERSION (include/, lib/, BUILD-INFO), keyed
#     by the source package's version, so that every later call of one run (the Windows tests,
#     the packages, the demonstration) finds it and builds nothing; a new Debian version gets a
#     build of its own;
#   - a lock serialises concurrent callers; the build happens in a scratch folder and is moved
#     into place only when complete, so an interrupted build leaves nothing that looks finished;
#   - the package sources (deb-src): when apt has none, and we may write to /etc/apt, a sources
#     entry of our own (/etc/apt/sources.list.d/vorn-deb-src.sources) names the same mirrors and
#     suites as the system's Debian `deb` entries, and the package lists are updated once;
#   - the newest version is fetched (apt-get source), or the next one when a mirror no longer
#     (or not yet) has its files; with MINGW_ORIG_ALONE=1, a version whose original tarball the
#     mirror has but not its Debian part is built from that tarball (BUILD-INFO says so).
# BUILD_FUNCTION TREE PREFIX is then called in the unpacked source TREE, its output kept in a
# log that is shown when it fails; it builds into PREFIX (include/, lib/, both there already)
# and returns non-zero on failure.
# mingw_cc sets an array to the C compiler to use (through ccache when it is installed, paths
# below the repository hashed alike in every checkout).
#
# Environment: VORN_JOBS (build jobs, default 2); VORN_<PACKAGE>_MINGW_CACHE (default
# build/PACKAGE-mingw below the repository root).

VORN_ROOT=${VORN_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
mingw_triplet=x86_64-w64-mingw32
mingw_deb_src_file=/etc/apt/sources.list.d/vorn-deb-src.sources
mingw_package=

say() { echo "$mingw_package-mingw: $*" >&2; }
fail() {
    say "$*"
    exit 1
}

# mingw_cc ARRAY: the MinGW C compiler, through ccache when there is one.
mingw_cc() {
    local -n mingw_cc_out=$1
    mingw_cc_out=("$mingw_triplet-gcc-posix")
    command -v "${mingw_cc_out[0]}" >/dev/null ||
        fail "${mingw_cc_out[0]} not found (package gcc-mingw-w64-x86-64-posix)"
    command -v ccache >/dev/null && mingw_cc_out=(ccache "${mingw_cc_out[@]}")
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$VORN_ROOT}
}

# Prints the versions of the source package PACKAGE that apt knows, newest first (nothing when
# apt knows no such source package).
source_versions() {
    local versions=() version i
    while read -r version; do
        # Insertion by dpkg's own ordering (~ sorts before anything).
        for ((i = ${#versions[@]}; i > 0; i--)); do
            dpkg --compare-versions "${versions[i - 1]}" ge "$version" && break
            versions[i]=${versions[i - 1]}
        done
        versions[i]=$version
    done < <(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u)
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
        [[ -f $file && $file != "$mingw_deb_src_file" ]] || continue
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

# Makes the source package PACKAGE known to apt when it is not.
ensure_deb_src() {
    local package=$1
    [[ -n $(source_versions "$package") ]] && return 0
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n $codename ]] || fail "cannot tell the Debian release (VERSION_CODENAME in /etc/os-release)"
    if [[ $(id -u) -ne 0 ]]; then
        fail "apt knows no source package $package (no deb-src entry); run this once as root," \
            "or add a deb-src entry for $codename yourself"
    fi
    local entries
    entries=$(deb_src_entries "$codename")
    [[ -n $entries ]] || fail "no Debian deb entry for $codename in /etc/apt to take the mirror from"
    say "adding the package sources of $codename ($mingw_deb_src_file)"
    printf '# Source packages, for the MinGW builds of scripts/mingw-source-build.sh (the same mirrors as the deb entries).\n%s\n' \
        "$entries" >"$mingw_deb_src_file"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    [[ -n $(source_versions "$package") ]] ||
        fail "apt still knows no source package $package after adding $mingw_deb_src_file"
}

# Builds VERSION of the package into the prefix DEST with BUILD_FUNCTION. Returns 2 when the
# source package cannot be fetched.
build_version() {
    local version=$1 dest=$2 build=$3 work
    work="$cache/work-$version"
    rm -rf "$work" "$dest.partial"
    mkdir -p "$work"
    say "fetching the source package $mingw_package $version"
    # apt downloads as root when the folder is not writable for its own user: say nothing of it.
    local origin="Debian source package" orig
    if ! (cd "$work" && apt-get source -q --only-source "$mingw_package=$version" >"$work/source.log" 2>&1); then
        grep -E '^(E|Err):' "$work/source.log" >&2 || tail -n 5 "$work/source.log" >&2
        # apt checks every file it fetched against the package index, which the archive signs.
        orig=$(find "$work" -maxdepth 1 -name "${mingw_package}_*.orig.tar.*" | head -n 1)
        if [[ ${MINGW_ORIG_ALONE:-} != 1 || -z $orig ]]; then
            rm -rf "$work"
            return 2
        fi
        say "the mirror lacks the Debian part of $mingw_package $version: building its original source"
        tar -xf "$orig" -C "$work" || fail "cannot unpack $orig"
        origin="the original source of Debian's package, without its Debian part"
    fi
    local tree
    tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$mingw_package-*" | head -n 1)
    [[ -n $tree ]] || fail "apt-get source left no $mingw_package-* folder in $work"

    say "building $tree for $mingw_triplet (${VORN_JOBS:-2} jobs)"
    local start=$SECONDS
    mkdir -p "$dest.partial/include" "$dest.partial/lib"
    (cd "$tree" && "$build" "$tree" "$dest.partial") >"$work/build.log" 2>&1 ||
        { tail -n 40 "$work/build.log" >&2; fail "the build failed ($work/build.log)"; }
    local seconds=$((SECONDS - start))
    printf '%s %s (%s), %s, static\nbuilt in %d s with %s jobs\n' "$mingw_package" "$version" \
        "$origin" "$mingw_triplet" "$seconds" "${VORN_JOBS:-2}" >"$dest.partial/BUILD-INFO"
    mv "$dest.partial" "$dest"
    rm -rf "$work"
    say "built $mingw_package $version in ${seconds} s: $dest"
}

# mingw_source_build PACKAGE BUILD_FUNCTION: see the top of this file.
mingw_source_build() {
    mingw_package=$1
    local build=$2 variable
    variable="VORN_$(tr 'a-z-' 'A-Z_' <<<"$mingw_package")_MINGW_CACHE"
    cache=${!variable:-$VORN_ROOT/build/$mingw_package-mingw}
    mkdir -p "$cache"
    (
        # One caller at a time: apt's package lists and the build are shared.
        flock 9
        ensure_deb_src "$mingw_package"
        local version dest status
        while read -r version; do
            dest="$cache/$version"
            if [[ -f $dest/BUILD-INFO ]]; then
                echo "$dest"
                exit 0
            fi
            status=0
            build_version "$version" "$dest" "$build" || status=$?
            if [[ $status -eq 0 ]]; then
                echo "$dest"
                exit 0
            fi
            say "$mingw_package $version cannot be fetched; trying the version before it"
        done < <(source_versions "$mingw_package")
        fail "no version of the source package $mingw_package could be fetched"
    ) 9>"$cache/.lock"
}
