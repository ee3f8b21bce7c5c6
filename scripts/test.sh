#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Usage: scripts/test.sh [preset] [ctest arguments...]   (preset: default, asan, tsan)
# TW_WERROR=ON in the environment turns warnings into errors (CI does).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
preset=${1:-default}
shift || true
scripts/install-deps.sh
cmake --preset "$preset" -DTW_WERROR="${TW_WERROR:-OFF}" >/dev/null
dir=build
[ "$preset" != default ] && dir=build-$preset
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
