#!/usr/bin/env bash
# build.sh <dir> <build-type> [sanitizer] [cmake options...]: configure and build one tree.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; type=$2; san=${3:-}
shift 2; [ $# -gt 0 ] && shift
jobs=$(nproc 2>/dev/null || echo 2)
# Configure every time: folders appear as the project grows, and a configure
# of an existing tree takes well under a second.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKORRAFIN_SANITIZE="$san" "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
