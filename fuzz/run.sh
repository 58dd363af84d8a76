#!/usr/bin/env bash
# Builds every fuzz target with clang, libFuzzer, ASan and UBSan, then runs
# each in turn (one process at a time) and prints its executions.
#
#   fuzz/run.sh [-t SECONDS | -n RUNS] [TARGET...]      (default: -t 60, every target)
#
# Environment: CXX (default clang++-14), BUILD (default build/fuzz),
# MAX_LEN (default 100000 bytes), FUZZ_ARGS (more libFuzzer flags).
# The working corpus of each target grows in $BUILD/corpus/TARGET across
# runs; crash inputs land in $BUILD/crashes/TARGET/ (fuzz/README.md says
# what to do with them) and make the script exit with status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
while getopts "t:n:" opt; do
  case $opt in
    t) limit=(-max_total_time="$OPTARG") ;;
    n) limit=(-runs="$OPTARG") ;;
    *) sed -n '4,5p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

CXX=${CXX:-clang++-14}
BUILD=${BUILD:-build/fuzz}
MAX_LEN=${MAX_LEN:-100000}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUAVER_BUILD_PYTHON=OFF -DQUAVER_SANITIZE=ON -DQUAVER_FUZZ=libfuzzer >/dev/null
cmake --build "$BUILD" -j 2
python3 fuzz/make_seeds.py "$BUILD/seeds" "$@" >/dev/null

targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(grep -oE '^[a-z0-9_]+' fuzz/targets.txt)

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=0
stat() { grep -oE "stat::$1: +[0-9]+" "$log" | grep -oE '[0-9]+$' || echo "?"; }
printf '%-18s %12s %8s %8s %8s  %s\n' target executions exec/s rss_mb corpus result
for t in "${targets[@]}"; do
  mkdir -p "$BUILD/corpus/$t" "$BUILD/crashes/$t" "$BUILD/logs"
  dirs=("$BUILD/corpus/$t" "$BUILD/seeds/$t")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  log="$BUILD/logs/$t.log"
  # shellcheck disable=SC2086  # FUZZ_ARGS is a list of flags
  if "$BUILD/fuzz/fuzz_$t" -dict=fuzz/quaver.dict -max_len="$MAX_LEN" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$BUILD/crashes/$t/" "${limit[@]}" ${FUZZ_ARGS:-} "${dirs[@]}" >"$log" 2>&1; then
    result=ok
  else
    result="FAILED: see $log and $BUILD/crashes/$t/"
    failed=1
  fi
  corpus=$(find "$BUILD/corpus/$t" -type f | wc -l)
  printf '%-18s %12s %8s %8s %8s  %s\n' "$t" "$(stat number_of_executed_units)" "$(stat average_exec_per_sec)" \
    "$(stat peak_rss_mb)" "$corpus" "$result"
done
exit $failed
