#!/usr/bin/env bash
# Makes (once) an arm64 Debian 12 root under ROOT that runs its CPython 3.11
# under qemu-aarch64-static on this x86-64 machine, with aarch64 wheels of
# the Python suite's packages:
#   - debootstrap's first stage fetches and unpacks the arm64 packages
#     (minbase and python3); their remaining packages are unpacked here.
#     No second stage: it would chroot into arm64 binaries, which needs a
#     binfmt_misc entry for qemu, a change to the whole machine's kernel.
#     Nothing in the root is configured by dpkg; CPython needs nothing of it.
#   - ROOT/usr/local/bin/python3 is a host shell script that runs the root's
#     python3.11 under qemu with the root as its file-system prefix (-L: a
#     path is looked up in the root first, then on the host), and names
#     itself, by its host path, as the interpreter's argv[0]. sys.executable
#     is then that script, which the kernel can start (qemu does not apply
#     the prefix to execve), so the suite's subprocesses run emulated too;
#     sys.prefix is the root's /usr seen from the host.
#   - the packages are installed by this machine's pip as aarch64 wheels
#     (--platform) into ROOT/usr/local/lib/python3.11/dist-packages, which
#     Debian's CPython reads; pip never runs under emulation.
# A root that is complete (its .ready marker) is kept: later runs only
# replace the wheel under test (scripts/test-aarch64-wheel.sh).
# usage: scripts/arm64-root.sh ROOT HOST_PYTHON PACKAGE...
set -euo pipefail
root=$1 host_python=$2
shift 2
[ -f "$root/.ready" ] && exit 0
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
rm -rf "$root"
mkdir -p "$root"
root=$(cd "$root" && pwd)
debootstrap --foreign --arch=arm64 --variant=minbase --include=python3 bookworm "$root" "$mirror"
for deb in "$root"/var/cache/apt/archives/*.deb; do
  dpkg-deb -x "$deb" "$root"
done
rm -f "$root"/var/cache/apt/archives/*.deb

site=$root/usr/local/lib/python3.11/dist-packages
mkdir -p "$site" "$root/usr/local/bin"
cat >"$root/usr/local/bin/python3" <<SH
#!/bin/sh
exec qemu-aarch64-static -cpu max -L "$root" -0 "$root/usr/local/bin/python3" "$root/usr/bin/python3.11" "\$@"
SH
chmod +x "$root/usr/local/bin/python3"
"$host_python" -m pip install -q --target "$site" --only-binary=:all: --implementation cp \
  --python-version 3.11 --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 "$@"
"$root/usr/local/bin/python3" -c 'import platform, pyarrow, pandas; print(platform.machine(), "python", platform.python_version(), "pyarrow", pyarrow.__version__, "pandas", pandas.__version__)'
touch "$root/.ready"
