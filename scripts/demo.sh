#!/usr/bin/env bash
# Installs what the project needs and builds it natively (build/native).
# The runnable front end comes with the network engine; until then this only builds.
set -euo pipefail
exec </dev/null

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VORN_ROOT"
source scripts/setup.sh

vorn_install_packages
vorn_build native -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo
echo "demo: built into build/native. The runnable front end comes with the network engine;"
echo "demo: until then, scripts/test.sh builds and tests every configuration."
