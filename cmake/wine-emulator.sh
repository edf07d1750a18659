#!/usr/bin/env bash
# Runs one Windows program under Wine; CMake's CROSSCOMPILING_EMULATOR for the MinGW build.
#
#   wine-emulator.sh PREFIX program.exe [arguments...]
#
# PREFIX is the Wine prefix (kept inside the build tree); it is created on first use. The exit
# status is the program's.
#
# Wine's helper processes (services, device drivers) inherit the standard output and error of
# the wine call that starts the wineserver, so a caller that reads our output to its end (CTest,
# test discovery, `| tee`) would wait for them until the server exits. Whoever starts the server
# therefore starts it with /dev/null as output and runs a throwaway program first. scripts/test.sh
# keeps one server for the whole test run; when none is running, this script starts one that
# exits 30 s after its last program.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 WINEPREFIX program.exe [arguments...]" >&2
    exit 2
fi
export WINEPREFIX=$1
shift
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

mkdir -p "$(dirname "$WINEPREFIX")"
{
    # Serialised: CTest may start several programs at once. The lock's descriptor is closed for
    # every Wine process, or the long-lived server would keep holding the lock.
    flock 9
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
        wineserver -w 9>&-
        if [[ ! -f $WINEPREFIX/system.reg ]]; then
            echo "$0: could not create the Wine prefix $WINEPREFIX" >&2
            exit 1
        fi
    fi
    # Exit status 0: a new server was started (2: one is already running for this prefix).
    if wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
} 9>"$WINEPREFIX.lock"

exec wine "$@"
