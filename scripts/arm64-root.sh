#!/usr/bin/env bash
# Makes (once) an arm64 Debian root under ROOT that runs its CPython under
# qemu-aarch64-static on this x86-64 machine, with aarch64 wheels of the
# Python suite's packages. SUITE picks the release and so the interpreter:
# bookworm (Debian 12) has CPython 3.11, bullseye (Debian 11) 3.9.
#   - debootstrap's first stage fetches and unpacks the arm64 packages
#     (minbase and python3); their remaining packages are unpacked here.
#     No second stage: it would chroot into arm64 binaries, which needs a
#     binfmt_misc entry for qemu, a change to the whole machine's kernel.
#     Nothing in the root is configured by dpkg; CPython needs nothing of it.
#   - ROOT/usr/local/bin/python3 is a host shell script that runs the root's
#     CPython under qemu with the root as its file-system prefix (-L: a
#     path is looked up in the root first, then on the host), and names
#     itself, by its host path, as the interpreter's argv[0]. sys.executable
#     is then that script, which the kernel can start (qemu does not apply
#     the prefix to execve), so the suite's subprocesses run emulated too;
#     sys.prefix is the root's /usr seen from the host.
#   - qemu's prefix falls back to the host for a path the root lacks. So the
#     interpreter writes no bytecode (nothing lands in the host's /usr), the
#     root gets an empty /usr/lib/python3/dist-packages (the host's Debian
#     packages stay out of sys.path), and the loader searches the root's
#     /usr/lib before /lib: Debian 11 keeps libstdc++ there only, and the
#     host's arm64 multiarch copy in /lib (for the C++ tests) needs a newer
#     glibc.
#   - the packages are installed by this machine's pip as aarch64 wheels
#     (--platform) into ROOT/usr/local/lib/python3.X/dist-packages, which
#     Debian's CPython reads; pip never runs under emulation. The version
#     is kept in ROOT/.python-version.
# A root that is complete (its .ready marker, which lists the packages) is
# kept: later runs only replace the wheel under test
# (scripts/test-aarch64-wheel.sh), and a changed package list is installed
# afresh without fetching Debian's packages again (the .unpacked marker).
# usage: scripts/arm64-root.sh ROOT SUITE HOST_PYTHON PACKAGE...
set -euo pipefail
root=$1 suite=$2 host_python=$3
shift 3
case $suite in
  bookworm) version=3.11 ;;
  bullseye) version=3.9 ;;
  *) echo "arm64-root: no CPython known for suite '$suite'" >&2; exit 1 ;;
esac
mkdir -p "$root"
root=$(cd "$root" && pwd)
python_wrapper() {
  cat >"$root/usr/local/bin/python3" <<SH
#!/bin/sh
PYTHONDONTWRITEBYTECODE=1 exec qemu-aarch64-static -cpu max -L "$root" \\
  -E LD_LIBRARY_PATH=/usr/lib/aarch64-linux-gnu:/lib/aarch64-linux-gnu \\
  -0 "$root/usr/local/bin/python3" "$root/usr/bin/python$version" "\$@"
SH
  chmod +x "$root/usr/local/bin/python3"
}
if [ -f "$root/.ready" ] && [ "$(cat "$root/.ready")" = "$*" ]; then
  python_wrapper
  exit 0
fi
rm -f "$root/.ready"
if [ ! -f "$root/.unpacked" ]; then
  mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
  find "$root" -mindepth 1 -delete
  debootstrap --foreign --arch=arm64 --variant=minbase --include=python3 "$suite" "$root" "$mirror"
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$root"
  done
  rm -f "$root"/var/cache/apt/archives/*.deb
  touch "$root/.unpacked"
fi

site=$root/usr/local/lib/python$version/dist-packages
rm -rf "$site"
mkdir -p "$site" "$root/usr/local/bin" "$root/usr/lib/python3/dist-packages"
python_wrapper
"$host_python" -m pip install -q --target "$site" --only-binary=:all: --implementation cp \
  --python-version "$version" --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 "$@"
echo "$version" >"$root/.python-version"
echo "$*" >"$root/.ready"
