# Compiles with Zig's clang (the `ziglang` package on PyPI) for Linux on
# x86-64 or aarch64 against glibc 2.28's symbol versions, with Zig's C++
# runtime (libc++) linked in statically: a module built so loads on any
# glibc from 2.28 on and needs no libstdc++. Used for the wheels only (make
# wheel); g++ builds everything else.
#
# The zig binary comes from the QM_ZIG variable or environment variable
# (the Makefile sets it from the tools venv, where a pinned ziglang lives);
# the CPU from QM_ZIG_ARCH (x86_64, the default, or aarch64). An aarch64
# build is a cross build: CMAKE_SYSTEM_PROCESSOR picks the ARM kernels, and
# the module is compiled against the build interpreter's CPython headers,
# which are the same on both CPUs (LP64, little-endian); nothing of the
# target's runs here.
if(NOT QM_ZIG)
  set(QM_ZIG "$ENV{QM_ZIG}")
endif()
if(NOT QM_ZIG OR NOT EXISTS "${QM_ZIG}")
  message(FATAL_ERROR "QM_ZIG must name the zig binary (ziglang's), not '${QM_ZIG}'")
endif()
if(NOT QM_ZIG_ARCH)
  set(QM_ZIG_ARCH "$ENV{QM_ZIG_ARCH}")
endif()
if(NOT QM_ZIG_ARCH)
  set(QM_ZIG_ARCH x86_64)
endif()
if(NOT QM_ZIG_ARCH MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "QM_ZIG_ARCH must be x86_64 or aarch64, not '${QM_ZIG_ARCH}'")
endif()
# try_compile projects read this file again and need the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QM_ZIG QM_ZIG_ARCH)

set(QM_ZIG_TARGET ${QM_ZIG_ARCH}-linux-gnu.2.28)
if(NOT QM_ZIG_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${QM_ZIG_ARCH})
endif()
set(CMAKE_C_COMPILER "${QM_ZIG}" cc -target ${QM_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${QM_ZIG}" c++ -target ${QM_ZIG_TARGET})
