# Cross-compiles the C++ tests and benchmarks for aarch64 Linux with Debian's
# g++-aarch64-linux-gnu, against the arm64 multiarch packages of GoogleTest
# and OpenSSL (make test-aarch64 installs them), and runs every test binary
# under qemu-aarch64-static: ctest and GoogleTest's test discovery go
# through CMAKE_CROSSCOMPILING_EMULATOR. The arm64 loader and glibc come
# from multiarch libc6:arm64 at their usual paths, so qemu finds them.
#
# qemu's "max" CPU has the SHA-2 and AES instructions (no model of qemu 7.2
# can turn them off); the portable kernels run through the tests'
# forced-kernel tables instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -cpu max)
# pkg-config (FindOpenSSL asks it first) reads the arm64 packages' files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
