#!/usr/bin/env bash
# Makes the terminal pictures of the guides from the programs' real output: docs/cli-*.png and
# docs/journal-*.png from vornctl against vornsim's four default devices (inside a private
# network namespace, serial writes recorded in a journal of a temporary folder),
# docs/dissector-*.png from tshark reading a committed capture with the dissector, and
# docs/serve-*.png from the page in headless Chromium (scripts/page-pictures.py, its own rack).
#
#   scripts/doc-pictures.sh [BUILD_DIR]     (default build/native, with vornsim and vornctl built)
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
DOCS=$VORN_ROOT/docs

die() {
    echo "doc-pictures: $*" >&2
    exit 1
}

# render OUT POINTSIZE COLUMNS: draws the text on stdin as a dark terminal of COLUMNS columns
# into OUT, wrapping longer lines as a terminal does. Lines starting with "$ ", and the lines
# continuing them after a "\", are what was typed.
render() {
    local out=$1 size=$2 columns=$3 pad=16 line part lead typed=0 more y advance
    local step=$((size * 3 / 2)) draw=() lines=()
    # The font's advance in whole pixels, as ImageMagick places the characters.
    advance=$(convert -font DejaVu-Sans-Mono -pointsize "$size" label:xxxxxxxxxx -format '%w' info:)
    advance=$(((advance + 5) / 10))
    mapfile -t lines
    while ((${#lines[@]})) && [[ -z ${lines[-1]} ]]; do unset 'lines[-1]'; done
    y=$pad
    for line in "${lines[@]}"; do
        [[ $line == '$ '* ]] && typed=1
        [[ $line == *\\ ]] && more=1 || more=0
        while :; do
            part=${line:0:columns}
            line=${line:columns}
            # ImageMagick drops leading blanks: they become the x offset.
            lead=${part%%[! ]*}
            part=${part#"$lead"}
            part=${part//\\/\\\\}
            part=${part//%/%%}
            draw+=(-fill "$( ((typed)) && echo '#8ae234' || echo '#d3d7cf')"
                -annotate "+$((pad + ${#lead} * advance))+$y" "$part")
            y=$((y + step))
            [[ -n $line ]] || break
        done
        ((more)) || typed=0
    done
    convert -size "$((columns * advance + 2 * pad))x$((y + pad - step + size * 3 / 2))" \
        xc:'#1e1e1e' -font DejaVu-Sans-Mono -pointsize "$size" -gravity NorthWest "${draw[@]}" \
        -depth 8 -colors 32 -strip "PNG8:$out"
    echo "doc-pictures: $out"
}

if [[ ${1:-} != --inside ]]; then
    BUILD=$(realpath -m "${1:-build/native}")
    for program in "$BUILD/src/apps/vornsim/vornsim" "$BUILD/src/apps/vornctl/vornctl"; do
        [[ -x $program ]] || die "$program is missing: build vornsim and vornctl into $BUILD first"
    done
    command -v tshark >/dev/null || die "tshark is missing (Debian package tshark)"
    command -v convert >/dev/null || die "convert is missing (Debian package imagemagick)"
    [[ -n $(fc-list 'DejaVu Sans Mono') ]] || die "the font DejaVu Sans Mono is missing (fonts-dejavu-core)"

    # The dissector on the committed capture of faults: one line per request and reply (the
    # presence datagrams left out), then the tree of the refused write's acknowledgement.
    capture=src/apps/dissector/captures/faults/capture.pcapng
    read_capture=(tshark -2 -X lua_script:src/apps/dissector/vorn.lua
        -o udp.try_heuristic_first:TRUE -r "$capture")
    filter='vorn.seq != 0 && ip.dst != 255.255.255.255'
    {
        echo "\$ tshark -2 -X lua_script:src/apps/dissector/vorn.lua -o udp.try_heuristic_first:TRUE \\"
        echo "         -r $capture -Y '$filter'"
        "${read_capture[@]}" -Y "$filter" 2>/dev/null
    } | render "$DOCS/dissector-list.png" 12 152
    {
        echo "\$ tshark -2 -X lua_script:src/apps/dissector/vorn.lua -o udp.try_heuristic_first:TRUE \\"
        echo "         -r $capture -Y 'frame.number == 33' -V -O vorn"
        "${read_capture[@]}" -Y 'frame.number == 33' -V -O vorn 2>/dev/null
    } | render "$DOCS/dissector-detail.png" 13 130

    # The simulator listens on the wildcard address: only inside a namespace of our own.
    scripts/netns.sh -- "$0" --inside "$BUILD" || die "vornctl against the simulator failed (see above)"
    exit 0
fi

BUILD=$2
VORNCTL=$BUILD/src/apps/vornctl/vornctl
# Never trust having been started through netns.sh: the simulator binds the wildcard address.
scripts/netns.sh --check || exit 1

work=$(mktemp -d)
simulator=
cleanup() {
    local status=$?
    exec 3>&- # the end of its stdin ends the simulator
    [[ -n $simulator ]] && { wait "$simulator" || true; }
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
mkfifo "$work/control"
"$BUILD/src/apps/vornsim/vornsim" --quiet --stdin-control <"$work/control" >"$work/sim.log" 2>&1 &
simulator=$!
exec 3>"$work/control"
# shellcheck source=scripts/setup.sh
source scripts/setup.sh
vorn_wait_ready "$simulator" "$work/sim.log" 10 "doc-pictures: vornsim" || exit 1
# Amp-Rack-Left refuses serial writes.
echo "refuse-writes 0000000a:0000000c on" >&3
for _ in $(seq 50); do
    grep -q '^ok refuse-writes' "$work/sim.log" && break
    sleep 0.1
done
grep -q '^ok refuse-writes' "$work/sim.log" || die "vornsim did not take refuse-writes: $(cat "$work/sim.log")"

# The journal is journal.jsonl of the temporary folder.
cd "$work"
text=
typed=
# show STATUS ARGUMENTS...: runs vornctl ARGUMENTS, with $typed on stdin, and adds the command
# line and what vornctl printed to $text; another exit status than STATUS ends the script.
show() {
    local want=$1 status=0 out prompt='Please confirm serial number to complete operation: '
    shift
    out=$(printf '%s\n' "$typed" | "$VORNCTL" "$@" 2>&1) || status=$?
    ((status == want)) || die "vornctl $* exited with status $status, not $want: $out"
    # A terminal echoes the confirmation typed after the prompt, and its Enter.
    [[ -n $typed ]] && out=${out/"$prompt"/"$prompt$typed"$'\n'}
    text+="\$ vornctl $*"$'\n'"$out"$'\n'
}
writing=(--interface 127.0.0.1 --journal journal.jsonl --operator kim)

text=
show 0 --interface 127.0.0.1 list
render "$DOCS/cli-list.png" 13 130 <<<"$text"

text=
show 0 --interface 127.0.0.1 serial get 0000000a:0000000b
typed=20261207
show 0 "${writing[@]}" serial set 0000000a:0000000b 20261207
typed=
show 2 "${writing[@]}" serial set 0000000a:0000000e 20261207 --yes
render "$DOCS/cli-serial-set.png" 13 130 <<<"$text"

text=
show 1 "${writing[@]}" serial set 0000000a:0000000c 20261208 --yes
show 0 --journal journal.jsonl journal
render "$DOCS/journal-table.png" 13 130 <<<"$text"

# The page's pictures (docs/serve-*.png), from headless Chromium against a rack of its own: the
# default devices' simulator ends first (the end of its stdin), as both take the device port.
exec 3>&-
wait "$simulator" || true
simulator=
cd "$VORN_ROOT"
/usr/bin/python3 scripts/page-pictures.py "$VORNCTL" "$BUILD/src/apps/vornsim/vornsim" scripts/netns.sh \
    "$DOCS" || die "the page's pictures failed (see above)"
