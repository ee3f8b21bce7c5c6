#!/usr/bin/env bash
# Runs the built tests N times, optionally beside a CPU load, and prints every test that failed
# with its rate: a test that fails one run in twenty shows up here before it blocks a landing.
# For developers, not CI. Needs a build (scripts/test.sh or cmake --build); builds nothing itself.
#
# Usage: scripts/repeat-tests.sh [-n RUNS] [-l LOAD] [-d BUILD_DIR] [-j JOBS] [-- CTEST_ARGS...]
#   -n RUNS       how many runs (default 10)
#   -l LOAD       CPU hogs beside the runs: stress-ng --cpu LOAD when installed, else LOAD busy
#                 loops this script starts and stops itself (default 0: none)
#   -d BUILD_DIR  the build folder (default build)
#   -j JOBS       ctest's parallel jobs (default: the number of processors)
#   CTEST_ARGS    passed on, e.g. -R system_tunnel_test or -L unit
# Each run's output is kept in BUILD_DIR/repeat/run-K.log. Exit code 1 when any test failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
runs=10
load=0
dir=build
jobs=$(nproc)
while [ $# -gt 0 ]; do
  case $1 in
    -n) runs=$2; shift 2 ;;
    -l) load=$2; shift 2 ;;
    -d) dir=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    --) shift; break ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "repeat-tests.sh: unknown argument $1 (see -h)" >&2; exit 2 ;;
  esac
done
for v in "$runs" "$load" "$jobs"; do
  [[ $v =~ ^[0-9]+$ ]] || { echo "repeat-tests.sh: not a number: $v" >&2; exit 2; }
done
[ "$runs" -ge 1 ] || { echo "repeat-tests.sh: at least one run" >&2; exit 2; }
[ -f "$dir/CTestTestfile.cmake" ] || { echo "repeat-tests.sh: no tests in $dir; build first" >&2; exit 2; }

logs=$dir/repeat
mkdir -p "$logs"
rm -f "$logs"/run-*.log

hogs=()
stop_load() {
  local pid
  for pid in "${hogs[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${hogs[@]}"; do wait "$pid" 2>/dev/null || true; done
  hogs=()
}
trap stop_load EXIT
trap 'exit 143' TERM HUP
trap 'exit 130' INT
if [ "$load" -gt 0 ]; then
  if command -v stress-ng >/dev/null; then
    stress-ng --cpu "$load" --quiet >/dev/null 2>&1 &
    hogs+=($!)
    echo "load: stress-ng --cpu $load"
  else
    for ((i = 0; i < load; i++)); do
      # A subshell of its own, so that its pid is the loop's and the trap above ends exactly it.
      bash -c 'while :; do :; done' &
      hogs+=($!)
    done
    echo "load: $load busy loops (stress-ng is not installed)"
  fi
fi

declare -A failures=()
failed_runs=0
total=0
for ((run = 1; run <= runs; run++)); do
  log=$logs/run-$run.log
  start=$(date +%s)
  rc=0
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" >"$log" 2>&1 || rc=$?
  took=$(($(date +%s) - start))
  # "The following tests FAILED:" then one "<number> - <name> (<why>)" line per test.
  mapfile -t names < <(sed -n '/^The following tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \(.*\) ([^()]*)$/\1/p' "$log")
  count=$(sed -n 's/.* tests passed, \([0-9][0-9]*\) tests failed out of \([0-9][0-9]*\).*/\2/p' "$log" | tail -n 1)
  [ -n "$count" ] && total=$count
  if [ ${#names[@]} -gt 0 ]; then
    failed_runs=$((failed_runs + 1))
    for n in "${names[@]}"; do failures[$n]=$((${failures[$n]:-0} + 1)); done
    echo "run $run/$runs: ${#names[@]} failed (${took}s): ${names[*]}"
  elif [ "$rc" -ne 0 ]; then
    failed_runs=$((failed_runs + 1))
    failures["(ctest itself, exit code $rc)"]=$((${failures["(ctest itself, exit code $rc)"]:-0} + 1))
    echo "run $run/$runs: ctest failed with exit code $rc (${took}s), see $log"
  else
    echo "run $run/$runs: all ${total:-?} passed (${took}s)"
  fi
done
stop_load

echo
echo "$runs runs of ${total:-?} tests, load $load: $failed_runs runs with failures (logs in $logs)"
if [ ${#failures[@]} -eq 0 ]; then
  echo "no test failed"
  exit 0
fi
for n in "${!failures[@]}"; do
  k=${failures[$n]}
  printf '%5d/%-4d %5.1f%%  %s\n' "$k" "$runs" "$(awk -v k="$k" -v r="$runs" 'BEGIN { printf "%.1f", 100 * k / r }')" "$n"
done | sort -rn
exit 1
