#!/usr/bin/env bash
# Runs the Python suite with the given interpreter and fails unless pytest
# passes with at least one test run: no tests collected (exit 5), or every
# test skipped, counts as a failure.
# usage: scripts/pytest-checked.sh PYTHON [PYTEST ARGS...]
set -euo pipefail
python=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
set +e
"$python" -m pytest -q -p no:cacheprovider -rs "$@" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
  echo "pytest failed (exit $rc)" >&2
  exit "$rc"
fi
if ! grep -Eq '(^|[ =])[1-9][0-9]* passed' "$log"; then
  echo "pytest ran no test" >&2
  exit 1
fi
