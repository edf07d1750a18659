#!/usr/bin/env bash
# The Windows program at work, under Wine, against simulated devices, in a private network
# namespace: the tool on vorn0 (192.0.2.1), four simulated devices on vorn1 (192.0.2.2).
#
#   scripts/window-demo.sh [--screenshot PATH] [--dpi 96|144|192]
#
# Builds VornService.exe, the Windows device simulator and the tour driver (build/windows).
# Without a display (or with --screenshot) it runs under its own Xvfb: the tour picks the
# adapter 192.0.2.1, waits until the devices are listed with their names, selects the first,
# waits for its serial number, saves a screenshot of the window (default
# build/demo/vornservice-window.png) and closes the program. With DISPLAY set it shows the
# window there for you to try: choose the adapter vorn0 (192.0.2.1) and press OK; closing the
# window ends the demo. --dpi runs the program on a screen of that dpi (96 = 100 %, 144 = 150 %,
# 192 = 200 %).
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
BUILD="$VORN_ROOT/build/windows"

if [[ ${1:-} != --inside ]]; then
    screenshot=
    interactive=0
    dpi=96
    while [[ $# -gt 0 ]]; do
        case $1 in
        --screenshot) screenshot=$(realpath -m "${2:?--screenshot needs a path}"); shift 2 ;;
        --dpi)
            dpi=${2:?--dpi needs a number}
            [[ $dpi =~ ^[0-9]+$ && $dpi -ge 96 && $dpi -le 480 ]] ||
                { echo "window-demo: --dpi takes 96 to 480" >&2; exit 2; }
            shift 2
            ;;
        *) echo "usage: $0 [--screenshot PATH] [--dpi 96|144|192]" >&2; exit 2 ;;
        esac
    done
    [[ -z $screenshot && -n ${DISPLAY:-} ]] && interactive=1
    [[ $interactive -eq 0 && -z $screenshot ]] && screenshot="$VORN_ROOT/build/demo/vornservice-window.png"
    source scripts/setup.sh
    vorn_install_packages
    export CCACHE_BASEDIR=$VORN_ROOT CCACHE_NOHASHDIR=1
    if ! VORN_TARGETS="VornService vornsim vorntour" vorn_build windows \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo --toolchain "$VORN_ROOT/cmake/mingw-w64-x86_64.cmake" \
        >/dev/null; then
        echo "window-demo: FAILED: building VornService.exe, vornsim.exe and vorntour.exe" >&2
        exit 1
    fi
    [[ $interactive -eq 0 ]] && unset DISPLAY # the Wine session starts its own Xvfb
    exec scripts/netns.sh --veth -- scripts/wine-session.sh "$BUILD" -- \
        "$0" --inside "$interactive" "$screenshot" "$dpi"
fi
interactive=$2
screenshot=$3
dpi=$4

# Everything below sends and binds the wildcard address: never outside our own namespace.
if ! scripts/netns.sh --check || [[ -z $(ip -o -4 addr show vorn0 2>/dev/null) ]]; then
    echo "window-demo: not inside the private test network with its veth pair; stopping" >&2
    exit 1
fi

work=$(mktemp -d)
simulator=
# Keeps the script's own exit status: the simulator ends by our signal, and its status (143)
# must not become the demo's.
cleanup() {
    local status=$?
    if [[ -n $simulator ]]; then
        kill "$simulator" 2>/dev/null || true
        wait "$simulator" 2>/dev/null || true
    fi
    rm -rf "$work"
    [[ $dpi -ne 96 ]] && set_dpi ""
    exit "$status"
}

# The screen's dpi for the programs started after it (Wine reads LogPixels when a process
# starts); empty: back to the default, 96. The prefix is the tests' own, so it is put back.
set_dpi() {
    local key
    for key in 'HKCU\Control Panel\Desktop' \
        'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
        if [[ -n $1 ]]; then
            wine reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1 || true
        else
            wine reg delete "$key" /v LogPixels /f >/dev/null 2>&1 || true
        fi
    done
}
trap cleanup EXIT

[[ $dpi -ne 96 ]] && set_dpi "$dpi"

wine "$BUILD/src/apps/vornsim/vornsim.exe" \
    --device id=0001e240000012ab,type=12,name=Stage-left,address=192.0.2.2,serial=20260415 \
    --device id=0000000a0000000b,type=10,name=Front-of-house,address=192.0.2.2,serial=1186 \
    --device id=0000000c00000003,type=13,name=Monitor-world,address=192.0.2.2,serial=77031 \
    --device id=0000000400000001,type=4,name=Amp-rack-A,address=192.0.2.2,serial=5 \
    >"$work/vornsim.log" 2>&1 &
simulator=$!
source scripts/setup.sh
vorn_wait_ready "$simulator" "$work/vornsim.log" 30 "window-demo: FAILED: vornsim.exe" || exit 1

if [[ $interactive -eq 1 ]]; then
    echo "window-demo: in the network dialog choose vorn0 (192.0.2.1) and press OK;"
    echo "             close the window to end."
    status=0
    wine "$BUILD/src/apps/VornService/win32/VornService.exe" || status=$?
    echo "window-demo: VornService.exe ended with exit code $status"
    exit 0
fi

# The tour waits for a file before it closes the program: the screenshot is taken then.
status=0
wine "$BUILD/tools/uidriver/vorntour.exe" "$BUILD/src/apps/VornService/win32/VornService.exe" \
    --interface 192.0.2.1 --devices 3 \
    --ready "$(winepath -w "$work/ready")" --continue "$(winepath -w "$work/continue")" \
    >"$work/tour.log" 2>&1 &
tour=$!
for _ in $(seq 600); do
    [[ -s $work/ready ]] && break
    kill -0 "$tour" 2>/dev/null || break
    sleep 0.1
done
shot_problem=
if [[ -s $work/ready ]]; then
    read -r x y width height <"$work/ready"
    mkdir -p "$(dirname "$screenshot")"
    # The tour has seen the window painted; two pictures alike in a row make sure the screen
    # has settled too.
    shot() { import -window root -crop "${width}x${height}+${x}+${y}" +repage "$1"; }
    shot "$work/a.png"
    settled=0
    for _ in $(seq 20); do
        sleep 0.25
        shot "$work/b.png"
        if [[ $(compare -metric AE "$work/a.png" "$work/b.png" null: 2>&1 || true) == 0 ]]; then
            settled=1
            break
        fi
        mv "$work/b.png" "$work/a.png"
    done
    if [[ $settled -eq 1 ]]; then
        mv "$work/b.png" "$screenshot"
    else
        shot_problem="the window kept changing for 5 s; no screenshot"
    fi
fi
touch "$work/continue"
wait "$tour" || status=$?
sed 's/^/  /' "$work/tour.log"
if [[ $status -ne 0 || ! -s $work/ready ]]; then
    echo "window-demo: FAILED: the tour failed (status $status; its output above)" >&2
    exit 1
fi
if [[ -n $shot_problem ]]; then
    echo "window-demo: FAILED: $shot_problem" >&2
    exit 1
fi
echo "window-demo: VornService.exe listed the devices, showed a serial number and exited with 0."
echo "window-demo: screenshot: $screenshot"
