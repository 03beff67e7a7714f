#!/usr/bin/env bash
# One hashed column of 2,000,000 rows with 1 and with 2 pool threads, then
# the four-kind batch; last line: 2-thread rate / 1-thread rate.
set -euo pipefail
bin="$1"
rate() { "$bin" "$@" | sed -n 's/.*rows_per_s=//p'; }
one=$(RAYON_NUM_THREADS=1 rate single)
two=$(RAYON_NUM_THREADS=2 rate single)
four=$(RAYON_NUM_THREADS=2 rate four)
echo "single_column_1_thread_rows_per_s=$one"
echo "single_column_2_threads_rows_per_s=$two"
echo "four_columns_2_threads_rows_per_s=$four"
awk -v a="$two" -v b="$one" 'BEGIN { printf "pipeline_scaling=%.2f\n", a / b }'
