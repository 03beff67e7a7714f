#!/usr/bin/env bash
# Checks what a built wheel holds and what its module needs to load:
#   - the module, its stub and py.typed, every module and stub of
#     python/quillon_mask and its subpackages (the command's cli/), no other
#     shared library;
#   - a module name that fits the wheel's tag (*.abi3.so in an abi3 wheel,
#     the tag's CPU in a cp39 one) and a module built for that CPU;
#   - in an abi3 wheel, abi3audit: the module calls nothing outside the
#     stable ABI of its tag's CPython (cp310: 3.10);
#   - auditwheel: glibc 2.28 or older is all it needs (manylinux_2_28 or an
#     older policy), and the wheel is tagged so;
#   - libraries it needs: only glibc's (libc, libm, libpthread, libdl, as
#     glibc 2.28 splits them, and the CPU's loader); no libstdc++, no libgcc_s,
#     no libcrypto, no libarrow, no libpython;
#   - no run path, and PyInit_quillon_mask as its one exported symbol.
# Wheels for x86-64 and aarch64 alike: the CPU comes from the platform tag.
# usage: scripts/check-wheel.sh TOOLS_BIN WHEEL
# TOOLS_BIN holds the python, auditwheel and abi3audit to use.
set -euo pipefail
tools=$1 wheel=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$tools/python" -m zipfile -e "$wheel" "$dir"
fail() { echo "check-wheel: $(basename "$wheel"): $*" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
expected=(quillon_mask/__init__.pyi quillon_mask/py.typed)
while IFS= read -r f; do
  expected+=("$f")
done < <(cd "$root/python" && find quillon_mask -name '*.py' -o -name '*.pyi')
for f in "${expected[@]}"; do
  [ -f "$dir/$f" ] || fail "$f missing"
done
modules=("$dir"/quillon_mask/__init__.*.so)
[ ${#modules[@]} -eq 1 ] && [ -f "${modules[0]}" ] || fail "no single module"
so=${modules[0]}
extra=$(find "$dir" -type f -name '*.so*' ! -path "$so")
[ -z "$extra" ] || fail "shared libraries besides the module: $extra"

# quillon_mask-0.1.0-cp310-abi3-manylinux_2_28_x86_64.whl
IFS=- read -r _ _ python_tag abi_tag platform_tag <<<"$(basename "$wheel" .whl)"
case $platform_tag in
  *_x86_64) arch=x86_64 machine="Advanced Micro Devices X86-64" loader=ld-linux-x86-64.so.2 ;;
  *_aarch64) arch=aarch64 machine="AArch64" loader=ld-linux-aarch64.so.1 ;;
  *) fail "platform tag $platform_tag names no CPU we build for" ;;
esac
elf_machine=$(readelf -h "$so" | sed -n 's/^ *Machine: *//p')
[ "$elf_machine" = "$machine" ] || fail "module built for $elf_machine, tagged $arch"
case $abi_tag in
  abi3)
    [[ $so == *.abi3.so ]] || fail "abi3 wheel with module $(basename "$so")"
    audit=$("$tools/abi3audit" --strict "$wheel" 2>&1) ||
      fail "abi3audit: $audit" ;;
  *) [[ $so == *.cpython-${python_tag#cp}-$arch-linux-gnu.so ]] || fail "$abi_tag wheel with module $(basename "$so")" ;;
esac

glibc_minor() { sed -n "s/.*manylinux_2_\([0-9]*\)_$arch.*/\1/p" | sort -n | tail -1; }
for tag in ${platform_tag//./ }; do
  case $tag in
    manylinux2014_"$arch" | manylinux2010_"$arch" | manylinux1_"$arch") ;;
    manylinux_2_*_"$arch")
      minor=${tag#manylinux_2_} minor=${minor%_"$arch"}
      [ "$minor" -le 28 ] || fail "tagged $tag, newer than manylinux_2_28" ;;
    *) fail "platform tag $tag" ;;
  esac
done
shown=$(PATH="$tools:$PATH" auditwheel show "$wheel" 2>&1) || fail "auditwheel show failed: $shown"
needs=$(tr -s '\n ' '  ' <<<"$shown" | grep -o 'consistent with the following platform tag: "[^"]*"' | glibc_minor)
[ -n "$needs" ] || fail "auditwheel show says no manylinux tag fits: $shown"
[ "$needs" -le 28 ] || fail "auditwheel: needs manylinux_2_$needs"

needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for lib in $needed; do
  case $lib in
    libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | "$loader") ;;
    *) fail "the module needs $lib" ;;
  esac
done
glibc=$(objdump -T "$so" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
! readelf -d "$so" | grep -Eq '\((RPATH|RUNPATH)\)' || fail "the module has a run path"
exported=$(nm -D --defined-only "$so" | awk '{print $NF}' | tr '\n' ' ')
[ "$exported" = "PyInit_quillon_mask " ] || fail "exported symbols: $exported"

echo "$(basename "$wheel"): $(wc -c <"$wheel") bytes, module $(wc -c <"$so") bytes;" \
  "auditwheel: manylinux_2_$needs; newest symbol $glibc; needs: $needed"
