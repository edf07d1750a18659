#!/usr/bin/env bash
# Runs a command, usually ctest, inside one Wine session of the Windows build:
#
#   scripts/wine-session.sh BUILD_DIR [--] command [arguments...]
#
# Uses the prefix BUILD_DIR/wine-prefix (the one cmake/mingw-w64-x86_64.cmake gives the test
# programs) and creates it first if needed. Then starts a wineserver that stays up for the whole
# command, with its outputs on /dev/null, and runs a throwaway program: Wine's helper processes
# inherit the outputs of whichever program starts them, and a reader waiting for the end of the
# command's output (ctest, `| tee`) would otherwise wait for them until the server exits. The
# server is stopped at the end, whatever happens.
#
# Run it inside the tests' network namespace (scripts/netns.sh --veth): the helper process that
# lists the network adapters stays in the namespace it was started in.
#
# Windows need a display: without DISPLAY the session starts its own Xvfb (inside the same
# namespace) and stops it at the end. The prefix is told to let windows go unmanaged
# (X11 Driver, Managed=N): without a window manager, every closed dialog or box would otherwise
# stall the window thread for about 2 s.
# The exit status is the command's.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 BUILD_DIR [--] command [arguments...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
shift
[[ $1 == -- ]] && shift

export WINEPREFIX="$build/wine-prefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# A server left from an earlier run may have been started in another network namespace.
wineserver -k >/dev/null 2>&1 || true
wineserver -w

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "wine-session: creating the Wine prefix $WINEPREFIX"
    wineboot --init </dev/null >/dev/null 2>&1 || true
    wineserver -w
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        echo "wine-session: could not create the Wine prefix $WINEPREFIX" >&2
        exit 1
    fi
fi

# Wine draws the caption buttons (and other glyphs) with its own Marlett font. Debian's Wine
# ships its fonts in /usr/share/wine/fonts but does not find them there, so caption buttons
# came out as the letters "0 1 r": the prefix gets them in its own Fonts folder.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [[ -d /usr/share/wine/fonts && -d $fonts && ! -e $fonts/marlett.ttf ]]; then
    cp -n /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
fi

xvfb_pid=
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w || true
    if [[ -n $xvfb_pid ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

if [[ -z ${DISPLAY:-} ]]; then
    display_file=$(mktemp)
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1920x1200x24 3>"$display_file" \
        </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [[ -s $display_file ]] && break
        sleep 0.1
    done
    if [[ ! -s $display_file ]]; then
        echo "wine-session: Xvfb did not start" >&2
        exit 1
    fi
    export DISPLAY=":$(head -n 1 "$display_file")"
    rm -f "$display_file"
fi

wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
fi

"$@"
