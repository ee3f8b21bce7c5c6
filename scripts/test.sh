#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Usage: scripts/test.sh [preset] [ctest arguments...]   (preset: default, asan, tsan)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
preset=${1:-default}
shift || true
scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
dir=build
[ "$preset" != default ] && dir=build-$preset
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
