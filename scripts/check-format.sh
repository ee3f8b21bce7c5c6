#!/usr/bin/env bash
# Checks that C++ sources follow .clang-format; lists the files that do not and fails.
# Usage: scripts/check-format.sh [file...]   (default: every tracked .cpp and .h file)
# The files go to clang-format in batches, one batch per processor at a time (JOBS overrides).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
[ ${#files[@]} -gt 0 ] || exit 0
jobs=${JOBS:-$(nproc)}
batch=$(( (${#files[@]} + jobs - 1) / jobs ))
[ "$batch" -le 64 ] || batch=64
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -n "$batch" -P "$jobs" clang-format --style=file --dry-run --Werror >/dev/null 2>"$out" || status=$?
# clang-format names every file it would change; anything else it says (a file it cannot read)
# is shown as it stands.
mapfile -t bad < <(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' "$out" | sort -u)
if [ ${#bad[@]} -gt 0 ]; then
  printf 'not formatted (clang-format -i <file>):\n' >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  cat "$out" >&2
  echo "clang-format failed (exit code $status)" >&2
  exit 1
fi
