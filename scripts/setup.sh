# Shared by scripts/test.sh and scripts/demo.sh (sourced, not run): the Debian packages the
# build and the tests need, and the configure-and-build step of one build configuration.
#
# Expects VORN_ROOT to be the repository root.

# One line each; README.md says why each package is here.
VORN_PACKAGES=(
    g++
    cmake
    ninja-build
    ccache
    libboost-dev
    libboost-system-dev
    nlohmann-json3-dev
    libgtest-dev
    googletest
    g++-mingw-w64-x86-64-posix
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
    nlohmann-json3-dev
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

# vorn_build NAME [cmake options...]: configures (first time) and builds build/NAME with Ninja.
# Parallelism: VORN_JOBS (default 2); VORN_TARGETS (space-separated) builds only those targets.
vorn_build() {
    local name=$1
    shift
    local dir="$VORN_ROOT/build/$name" targets=()
    [[ -n ${VORN_TARGETS:-} ]] && read -r -a targets <<<"--target $VORN_TARGETS"
    cmake -S "$VORN_ROOT" -B "$dir" -G Ninja "$@" &&
        cmake --build "$dir" -j "${VORN_JOBS:-2}" "${targets[@]}"
}
