#!/usr/bin/env bash
# Runs each libFuzzer target of <build dir> for <seconds> from the seed
# corpus in tests/fuzz/corpus/<target> (new inputs go to <build
# dir>/corpus/<target>; the seeds are only read) and prints, per target,
# name=value lines: executions, executions per second, edges covered and
# crashes. A crash does not end the run (fork mode): every one found is kept
# as <build dir>/crashes/<target>-crash-*; copy those that need a fix into
# the seed corpus, where the corpus replay under `make test` runs them. Exits
# 1 when any target crashed.
# FUZZ_SEED fixes libFuzzer's seed, so a run can be repeated (CI sets it);
# unset, each run draws its own.
#   scripts/fuzz.sh <build dir> <seconds> [target...]
set -euo pipefail
build=$1 seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(arrow_import transform_list reveal)
status=0
for target in "${targets[@]}"; do
  work=$build/corpus/$target
  mkdir -p "$work" "$build/crashes"
  log=$build/$target.log
  # Python's caches look like leaks to LeakSanitizer; the arrow target's
  # leaks are checked.
  leaks=1
  [ "$target" = transform_list ] && leaks=0
  "$build/tests/fuzz/$target" -fork=1 -ignore_crashes=1 -max_total_time="$seconds" ${FUZZ_SEED:+-seed="$FUZZ_SEED"} \
    -detect_leaks=$leaks -artifact_prefix="$build/crashes/$target-" -print_final_stats=1 \
    "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1 || true
  # The fork mode's status lines: "#<runs>: cov: <edges> ft: .. corp: .. exec/s: <n> oom/timeout/crash: a/b/c time: ..".
  last=$(grep -E '^#[0-9]+: cov:' "$log" | tail -1)
  if [ -z "$last" ]; then
    echo "$target: no status line, see $log"
    status=1
    continue
  fi
  runs=$(sed -E 's/^#([0-9]+):.*/\1/' <<<"$last")
  cov=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$last")
  rate=$((runs / seconds))
  crashes=$(ls "$build/crashes" | grep -c "^$target-crash-" || true)
  echo "fuzz_${target}_execs=$runs"
  echo "fuzz_${target}_exec_per_s=$rate"
  echo "fuzz_${target}_cov=$cov"
  echo "fuzz_${target}_crashes=$crashes"
  [ "$crashes" = 0 ] || status=1
done
exit $status
