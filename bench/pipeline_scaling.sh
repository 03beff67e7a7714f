#!/usr/bin/env bash
# One hashed column of 2,000,000 rows with 1 and with 2 pool threads, four
# hashed columns likewise, then the four-kind batch; last line: 2-thread
# rate / 1-thread rate of the single hashed column.
set -euo pipefail
bin="$1"
rate() { "$bin" "$@" | sed -n 's/.*rows_per_s=//p'; }
one=$(RAYON_NUM_THREADS=1 rate single)
two=$(RAYON_NUM_THREADS=2 rate single)
hashed4_one=$(RAYON_NUM_THREADS=1 rate hashed4)
hashed4_two=$(RAYON_NUM_THREADS=2 rate hashed4)
four=$(RAYON_NUM_THREADS=2 rate four)
echo "single_column_1_thread_rows_per_s=$one"
echo "single_column_2_threads_rows_per_s=$two"
echo "four_hashed_columns_1_thread_rows_per_s=$hashed4_one"
echo "four_hashed_columns_2_threads_rows_per_s=$hashed4_two"
echo "four_columns_2_threads_rows_per_s=$four"
awk -v a="$hashed4_two" -v b="$hashed4_one" 'BEGIN { printf "four_hashed_scaling=%.2f\n", a / b }'
awk -v a="$two" -v b="$one" 'BEGIN { printf "pipeline_scaling=%.2f\n", a / b }'
