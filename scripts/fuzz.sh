#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (preset fuzz) and runs each one from its checked-in
# seed corpus: FUZZ_EACH seconds each when set, else a share of FUZZ_SECONDS (60 by default) but
# never under 5 s, so many targets take longer than FUZZ_SECONDS; the real budget is printed
# first. New inputs and crash reproducers stay under build-fuzz/; a crash fails the script.
# Usage: scripts/fuzz.sh [target...]   (default: every fuzz target)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
budget=${FUZZ_SECONDS:-60}
scripts/install-deps.sh
cmake --preset fuzz -DTW_WERROR="${TW_WERROR:-OFF}" >/dev/null
cmake --build build-fuzz --target fuzzers -j "$(nproc)"

mapfile -t all < build-fuzz/fuzzers.txt
selected=()
for line in "${all[@]}"; do
  name=${line%% *}
  if [ $# -eq 0 ] || printf '%s\n' "$@" | grep -qx "$name"; then
    selected+=("$line")
  fi
done
[ ${#selected[@]} -gt 0 ] || { echo "no fuzz target selected" >&2; exit 2; }
each=${FUZZ_EACH:-$(( budget / ${#selected[@]} ))}
[ "$each" -ge 5 ] || each=5
echo "fuzzing ${#selected[@]} targets for ${each} s each (about $(( each * ${#selected[@]} )) s)"

work=build-fuzz/run
mkdir -p "$work/artifacts" "$work/root"
export QEL_ROOT="$top/$work/root"
failed=()
for line in "${selected[@]}"; do
  name=${line%% *}
  seeds=${line#* }
  mkdir -p "$work/corpus/$name"
  echo "== $name (${each}s)"
  if ! "build-fuzz/bin/$name" -max_total_time="$each" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/$name-" \
      "$work/corpus/$name" "$seeds" > "$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log"
    failed+=("$name")
  else
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/$name.log" || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]} (reproducers in $work/artifacts/)" >&2
  exit 1
fi
