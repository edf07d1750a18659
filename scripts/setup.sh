# Shared by scripts/test.sh and scripts/demo.sh (sourced, not run): the Debian packages the
# build and the tests need, and the configure-and-build step of one build configuration.
#
# Expects VORN_ROOT to be the repository root.

# One line each; docs/building.md (Dependencies) says why each package is here.
VORN_PACKAGES=(
    g++
    cmake
    ninja-build
    ccache
    libboost-dev
    libboost-system-dev
    libssl-dev
    nlohmann-json3-dev
    openssl
    libgtest-dev
    googletest
    g++-mingw-w64-x86-64-posix
    gcc-mingw-w64-x86-64-posix
    wine
    wine64
    fonts-wine
    xvfb
    imagemagick
    iproute2
    util-linux
    clang-14
    libclang-rt-14-dev
    python3
    tshark
    libcli11-dev
    nsis
    lintian
    help2man
    dpkg-dev
    file
    man-db
    chromium
    chromium-driver
    python3-selenium
    prometheus
    systemd
    libqrencode-dev
    zbar-tools
    python3-pil
    libmosquitto-dev
    libsqlite3-dev
    mosquitto
    mosquitto-clients
    nftables
)

# Installs whatever is missing of VORN_PACKAGES; returns at once when all are installed, so it
# costs nothing on a rerun. Needs root (or sudo) only when something is missing.
vorn_install_packages() {
    local missing=() pkg
    for pkg in "${VORN_PACKAGES[@]}"; do
        if [[ $(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null) != installed ]]; then
            missing+=("$pkg")
        fi
    done
    # npm for the test-only tools: Debian's package, unless the machine's Node.js brings its own
    # (a Node.js from another source conflicts with Debian's npm).
    command -v npm >/dev/null || missing+=(npm)
    if [[ ${#missing[@]} -eq 0 ]]; then
        echo "setup: all ${#VORN_PACKAGES[@]} packages are installed"
        return 0
    fi

    local as_root=()
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "setup: missing packages ${missing[*]}; run this script as root or install sudo" >&2
            return 1
        fi
        as_root=(sudo)
    fi
    echo "setup: installing ${missing[*]}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q -o Dpkg::Use-Pty=0 "${missing[@]}"
}

# The build environment of every script: ccache may reuse compilations made in another checkout
# of the repository (a CI clone, a second work tree): paths below the root are hashed relative
# to it, and the build directory is left out of the hash of debug builds (their debug info may
# then name that other checkout). One locale for every run: ccache hashes these variables, and
# compiler messages stay alike.
vorn_build_environment() {
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$VORN_ROOT}
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
    export LANG=C.UTF-8 LC_ALL=C.UTF-8
    unset LC_CTYPE LC_MESSAGES
}

# vorn_cmake_args NAME ARRAY: sets the array variable ARRAY to the CMake options of the build
# configuration NAME (native, asan, tsan, windows), the same for every script that builds it.
vorn_cmake_args() {
    local -n vorn_cmake_args_out=$2
    case $1 in
    native) vorn_cmake_args_out=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=) ;;
    asan) vorn_cmake_args_out=(-DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=address) ;;
    tsan) vorn_cmake_args_out=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=thread) ;;
    windows) vorn_cmake_args_out=(-DCMAKE_BUILD_TYPE=RelWithDebInfo --toolchain "$VORN_ROOT/cmake/mingw-w64-x86_64.cmake") ;;
    *) echo "vorn_cmake_args: unknown configuration $1" >&2; return 1 ;;
    esac
}

# vorn_build NAME [cmake options...]: configures (first time) and builds build/NAME with Ninja.
# Parallelism: VORN_JOBS (default 2); VORN_TARGETS (space-separated) builds only those targets.
# The Windows build first gets its OpenSSL (scripts/openssl-mingw.sh: built once, then cached).
vorn_build() {
    local name=$1
    shift
    local dir="$VORN_ROOT/build/$name" targets=() openssl
    [[ -n ${VORN_TARGETS:-} ]] && read -r -a targets <<<"--target $VORN_TARGETS"
    if [[ $name == windows ]]; then
        openssl=$("$VORN_ROOT/scripts/openssl-mingw.sh") || return 1
        set -- "$@" "-DVORN_OPENSSL_MINGW_ROOT=$openssl"
    fi
    cmake -S "$VORN_ROOT" -B "$dir" -G Ninja "$@" &&
        cmake --build "$dir" -j "${VORN_JOBS:-2}" "${targets[@]}"
}

# vorn_wait_ready PID LOG SECONDS WHAT: waits until the simulator started as PID (its output in
# LOG) reports "ready". Fails, saying so on stderr as WHAT ("demo: vornsim"), when it ends first
# (its output shown) or is not ready within SECONDS.
vorn_wait_ready() {
    local pid=$1 log=$2 seconds=$3 what=$4 _
    for _ in $(seq $((seconds * 10))); do
        grep -q '^ready' "$log" && return 0
        kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; echo "$what did not start" >&2; return 1; }
        sleep 0.1
    done
    grep -q '^ready' "$log" && return 0
    echo "$what did not report ready within $seconds s" >&2
    return 1
}
