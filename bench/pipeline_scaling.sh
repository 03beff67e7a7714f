#!/usr/bin/env bash
# One hashed column of 2,000,000 rows with 1 and with 2 pool threads, run in
# turns (ROUNDS times each, 5 by default: a shared second vCPU makes single
# runs swing), then four hashed columns likewise, then the four-kind batch.
# Prints the median and the best of each; last line: the 2-thread median over
# the 1-thread median of the single hashed column.
set -euo pipefail
bin="$1"
rounds="${ROUNDS:-5}"
rate() { "$bin" "$@" | sed -n 's/.*rows_per_s=//p'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
best() { printf '%s\n' "$@" | sort -g | tail -1; }
one=() two=() h_one=() h_two=()
for _ in $(seq "$rounds"); do
  one+=("$(RAYON_NUM_THREADS=1 rate single)")
  two+=("$(RAYON_NUM_THREADS=2 rate single)")
done
for _ in $(seq "$rounds"); do
  h_one+=("$(RAYON_NUM_THREADS=1 rate hashed4)")
  h_two+=("$(RAYON_NUM_THREADS=2 rate hashed4)")
done
four=$(RAYON_NUM_THREADS=2 rate four)
echo "single_column_1_thread: ${one[*]}"
echo "single_column_2_threads: ${two[*]}"
echo "single_column_1_thread_rows_per_s_median=$(median "${one[@]}") best=$(best "${one[@]}")"
echo "single_column_2_threads_rows_per_s_median=$(median "${two[@]}") best=$(best "${two[@]}")"
echo "four_hashed_columns_1_thread_rows_per_s_median=$(median "${h_one[@]}") best=$(best "${h_one[@]}")"
echo "four_hashed_columns_2_threads_rows_per_s_median=$(median "${h_two[@]}") best=$(best "${h_two[@]}")"
echo "four_columns_2_threads_rows_per_s=$four"
awk -v a="$(median "${h_two[@]}")" -v b="$(median "${h_one[@]}")" 'BEGIN { printf "four_hashed_scaling=%.2f\n", a / b }'
awk -v a="$(best "${two[@]}")" -v b="$(best "${one[@]}")" 'BEGIN { printf "pipeline_scaling_best=%.2f\n", a / b }'
awk -v a="$(median "${two[@]}")" -v b="$(median "${one[@]}")" 'BEGIN { printf "pipeline_scaling=%.2f\n", a / b }'
