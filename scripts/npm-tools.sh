#!/usr/bin/env bash
# Installs the test-only tools from npm, each at a pinned version, into build/npm/NAME (never
# shipped, never committed): axe-core for the page's accessibility check in the browser test,
# lighthouse for the page's benchmark. Does nothing for a tool already installed at its version.
#
#   scripts/npm-tools.sh [axe-core] [lighthouse]   (default: both)
set -euo pipefail

declare -A PINNED=([axe-core]=4.10.2 [lighthouse]=12.2.3)
VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

tools=("$@")
[[ ${#tools[@]} -eq 0 ]] && tools=(axe-core lighthouse)
for tool in "${tools[@]}"; do
    version=${PINNED[$tool]:-}
    if [[ -z $version ]]; then
        echo "npm-tools.sh: unknown tool $tool (known: ${!PINNED[*]})" >&2
        exit 2
    fi
    prefix=$VORN_ROOT/build/npm/$tool
    installed=$prefix/node_modules/$tool/package.json
    if [[ -f $installed ]] && grep -q "\"version\": \"$version\"" "$installed"; then
        continue
    fi
    if ! command -v npm >/dev/null; then
        echo "npm-tools.sh: npm is missing (Debian package npm)" >&2
        exit 1
    fi
    echo "installing $tool@$version into $prefix"
    npm install --prefix "$prefix" --no-audit --no-fund --save-exact "$tool@$version" >/dev/null
done
