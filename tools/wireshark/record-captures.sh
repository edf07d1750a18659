#!/usr/bin/env bash
# Records the committed captures of tools/wireshark/captures again: inside a private network
# namespace (scripts/netns.sh), vornsim and vornctl talk over loopback while tshark captures UDP
# on lo; each capture is kept with vornsim's event lines and vornctl's outputs, which the
# dissector test compares with what tshark reads.
#
#   tools/wireshark/record-captures.sh [BUILD_DIR]     (default build/native, built beforehand)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/native}
exec "$root/scripts/netns.sh" -- python3 "$root/tools/wireshark/tests/dissector_test.py" --record \
    "$root/tools/wireshark/captures" "$build/tools/simulator/vornsim" "$build/tools/vornctl/vornctl"
