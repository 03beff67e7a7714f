#!/usr/bin/env bash
# Checks what a built wheel holds: the module, its stub and py.typed, every
# module and stub of python/quillon_mask; a
# module that needs no shared library beyond the C and C++ runtimes (no
# libarrow, no libparquet, no libpython, no libcrypto) and has no run path;
# PyInit_quillon_mask as its one exported symbol.
# usage: scripts/check-wheel.sh PYTHON WHEEL
set -euo pipefail
python=$1 wheel=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$python" -m zipfile -e "$wheel" "$dir"
fail() { echo "check-wheel: $*" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
expected=(quillon_mask/__init__.pyi quillon_mask/py.typed)
for f in "$root"/python/quillon_mask/*.py "$root"/python/quillon_mask/*.pyi; do
  expected+=("quillon_mask/$(basename "$f")")
done
for f in "${expected[@]}"; do
  [ -f "$dir/$f" ] || fail "$f missing from $wheel"
done
modules=("$dir"/quillon_mask/__init__.*.so)
[ ${#modules[@]} -eq 1 ] && [ -f "${modules[0]}" ] || fail "no single module in $wheel"
so=${modules[0]}
extra=$(find "$dir" -type f -name '*.so*' ! -path "$so")
[ -z "$extra" ] || fail "shared libraries besides the module: $extra"

needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for lib in $needed; do
  case $lib in
    libc.so.6 | libm.so.6 | libstdc++.so.6 | libgcc_s.so.1 | ld-linux-x86-64.so.2) ;;
    *) fail "the module needs $lib" ;;
  esac
done
! readelf -d "$so" | grep -Eq '\((RPATH|RUNPATH)\)' || fail "the module has a run path"
exported=$(nm -D --defined-only "$so" | awk '{print $NF}' | tr '\n' ' ')
[ "$exported" = "PyInit_quillon_mask " ] || fail "exported symbols: $exported"

echo "$(basename "$wheel"): $(wc -c <"$wheel") bytes; module needs: $needed"
