#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment together with the
# given packages and runs the Python suite against the installed module,
# never the build tree. With --then, those packages are then installed over
# the first ones (pyarrow up- or downgraded, the module left as it is) and
# the suite runs again.
# usage: scripts/test-wheel.sh PYTHON VENV WHEEL PACKAGE... [--then PACKAGE...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$1 venv=$2 wheel=$3
shift 3
first=() then=()
while [ $# -gt 0 ] && [ "$1" != --then ]; do first+=("$1"); shift; done
[ $# -gt 0 ] && shift && then=("$@")

[ -f "$wheel" ] || { echo "no wheel at '$wheel'; run make wheel" >&2; exit 1; }
unset PYTHONPATH
rm -rf "$venv"
"$python" -m venv "$venv"
vpy=$(cd "$venv" && pwd)/bin/python
"$vpy" -m pip install -q "$wheel" "${first[@]}"

check() {
  # Run from inside the venv so that neither the checkout nor a build tree
  # can be what `import quillon_mask` finds.
  (cd "$venv" && "$vpy" - <<'PY'
import sys, sysconfig
import pandas, pyarrow, quillon_mask, quillon_mask.arrow
site = sysconfig.get_paths()["platlib"]
for module in (quillon_mask, quillon_mask.arrow):
    assert module.__file__.startswith(site), module.__file__
print(f"quillon_mask {quillon_mask.__version__} from {quillon_mask.__file__}")
print(f"python {sys.version.split()[0]}, pyarrow {pyarrow.__version__}, pandas {pandas.__version__}")
PY
  )
  (cd "$venv" && "$root/scripts/pytest-checked.sh" "$vpy" "$root/tests/python")
}

check
if [ ${#then[@]} -gt 0 ]; then
  "$vpy" -m pip install -q "${then[@]}"
  check
fi
