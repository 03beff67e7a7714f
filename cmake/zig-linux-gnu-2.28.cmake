# Compiles with Zig's clang (the `ziglang` package on PyPI) for x86-64 Linux
# against glibc 2.28's symbol versions, with Zig's C++ runtime (libc++)
# linked in statically: a module built so loads on any glibc from 2.28 on
# and needs no libstdc++. Used for the wheels only (make wheel); g++ builds
# everything else.
#
# The zig binary comes from the QM_ZIG variable or environment variable
# (the Makefile sets it from the tools venv, where a pinned ziglang lives).
if(NOT QM_ZIG)
  set(QM_ZIG "$ENV{QM_ZIG}")
endif()
if(NOT QM_ZIG OR NOT EXISTS "${QM_ZIG}")
  message(FATAL_ERROR "QM_ZIG must name the zig binary (ziglang's), not '${QM_ZIG}'")
endif()
# try_compile projects read this file again and need the same value.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QM_ZIG)

set(QM_ZIG_TARGET x86_64-linux-gnu.2.28)
set(CMAKE_C_COMPILER "${QM_ZIG}" cc -target ${QM_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${QM_ZIG}" c++ -target ${QM_ZIG_TARGET})
