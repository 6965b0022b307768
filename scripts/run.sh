#!/usr/bin/env bash
# Installs what is missing, builds the release server and runs it in ./run/,
# where its data, uploads, plugins and log file land.
# Usage: scripts/run.sh [config]   (default: server.json inside run/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
# The server and the load tool; the tests are built by scripts/test.sh.
"$root/scripts/build.sh" "$root/build" Release "" -DKORRAFIN_BUILD_TESTS=OFF
mkdir -p "$root/run"
config=${1:-server.json}
case "$config" in /*) ;; *) [ -e "$config" ] && config=$(cd "$(dirname "$config")" && pwd)/$(basename "$config") ;; esac
cd "$root/run"
exec "$root/build/korrafin" "$config"
