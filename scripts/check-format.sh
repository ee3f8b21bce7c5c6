#!/usr/bin/env bash
# Checks that C++ sources follow .clang-format; lists the files that do not and fails.
# Usage: scripts/check-format.sh [file...]   (default: every tracked .cpp and .h file)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
bad=()
for f in "${files[@]}"; do
  clang-format --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  printf 'not formatted (clang-format -i <file>):\n' >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
