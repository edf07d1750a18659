#!/usr/bin/env bash
# Records the committed captures of src/apps/dissector/captures again: inside a private network
# namespace (scripts/netns.sh), vornsim and vornctl talk over loopback while tshark captures UDP
# on lo; each capture is kept with vornsim's event lines and vornctl's outputs, which the
# dissector test compares with what tshark reads.
#
#   src/apps/dissector/record-captures.sh [BUILD_DIR]     (default build/native, built beforehand)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
build=${1:-$root/build/native}
exec "$root/scripts/netns.sh" -- python3 "$root/src/apps/dissector/tests/dissector_test.py" --record \
    "$root/src/apps/dissector/captures" "$build/src/apps/vornsim/vornsim" "$build/src/apps/vornctl/vornctl"
