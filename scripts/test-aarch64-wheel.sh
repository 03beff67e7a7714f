#!/usr/bin/env bash
# Installs an aarch64 wheel into the arm64 root (scripts/arm64-root.sh) and
# runs the Python suite, or with --smoke a short check, on the root's
# CPython under qemu-aarch64-static, against the installed module only.
# The wheel replaces the one installed before; pip runs on this machine.
# usage: scripts/test-aarch64-wheel.sh ROOT HOST_PYTHON WHEEL (--smoke | PYTEST ARGS...)
set -euo pipefail
root=$(cd "$1" && pwd) host_python=$2 wheel=$3
shift 3
here=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$wheel" ] || { echo "no wheel at '$wheel'; run make wheel PY=3.10 WHEEL_ARCH=aarch64" >&2; exit 1; }
[ -f "$root/.ready" ] || { echo "no arm64 root at $root; run scripts/arm64-root.sh" >&2; exit 1; }
version=$(cat "$root/.python-version")
site=$root/usr/local/lib/python$version/dist-packages
python=$root/usr/local/bin/python3
unset PYTHONPATH
rm -rf "$site"/quillon_mask "$site"/quillon_mask-*.dist-info
"$host_python" -m pip install -q --upgrade --no-deps --target "$site" --only-binary=:all: --implementation cp \
  --python-version "$version" --platform manylinux_2_28_aarch64 "$wheel"
# The console script pip would write, run by the emulated interpreter
# (a host path in its first line: the kernel reads it, not qemu).
cat >"$root/usr/local/bin/quillon-mask" <<SH
#!$python
import sys
from quillon_mask.cli import main
sys.exit(main())
SH
chmod +x "$root/usr/local/bin/quillon-mask"

# From inside the root's /tmp, so neither the checkout nor a build tree can
# be what `import quillon_mask` finds.
cd "$root/tmp"
"$python" - "$version" <<'PY'
import platform, sys
import pandas, pyarrow, quillon_mask, quillon_mask.arrow
assert platform.machine() == "aarch64", platform.machine()
for module in (quillon_mask, quillon_mask.arrow):
    assert module.__file__.startswith(f"{sys.prefix}/local/lib/python{sys.argv[1]}/dist-packages/"), module.__file__
print(f"quillon_mask {quillon_mask.__version__} from {quillon_mask.__file__} on {platform.machine()}")
print(f"python {sys.version.split()[0]}, pyarrow {pyarrow.__version__}, pandas {pandas.__version__}")
PY

if [ "${1:-}" = --smoke ]; then
  exec "$python" "$here/tests/python/aarch64_smoke.py"
fi
exec "$here/scripts/pytest-checked.sh" "$python" "$@"
