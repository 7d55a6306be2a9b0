# Cross-compiling tessary for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64), against the CPython of a Debian arm64 tree:
#
#   cmake -S . -B build/aarch64 --toolchain cmake/aarch64-linux-gnu.cmake \
#         -DTESSARY_AARCH64_ROOT=/path/to/arm64/tree
#
# (or TESSARY_AARCH64_ROOT in the environment). The tree only has to hold the target's
# python3-dev, unpacked; scripts/test-aarch64-python makes one with mmdebstrap.
#
# The C and C++ runtimes come from the cross toolchain itself (no CMAKE_SYSROOT), so the
# module needs no newer glibc or libstdc++ than the toolchain's, and only Python's headers
# and interpreter are taken from the tree. The interpreter is run under qemu-aarch64 so that
# FindPython reads the real target values (version, SOABI, include directory) from it. That
# takes policy CMP0190, new in CMake 4.1: this build needs CMake 4.1 or later (the native
# build, 3.20), and the project's cmake_minimum_required range, up to 4.1, sets the policy.

set(TESSARY_AARCH64_CMAKE_VERSION 4.1)
if(CMAKE_VERSION VERSION_LESS TESSARY_AARCH64_CMAKE_VERSION)
  message(FATAL_ERROR "Cross-compiling for AArch64 needs CMake ${TESSARY_AARCH64_CMAKE_VERSION} "
          "or later (FindPython running the target interpreter, policy CMP0190); this is "
          "CMake ${CMAKE_VERSION}. pip install 'cmake>=${TESSARY_AARCH64_CMAKE_VERSION}' brings one.")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TESSARY_AARCH64_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TESSARY_AARCH64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TESSARY_AARCH64_TRIPLE}-g++)

if(NOT TESSARY_AARCH64_ROOT AND DEFINED ENV{TESSARY_AARCH64_ROOT})
  set(TESSARY_AARCH64_ROOT "$ENV{TESSARY_AARCH64_ROOT}")
endif()
if(NOT TESSARY_AARCH64_ROOT)
  message(FATAL_ERROR "Set TESSARY_AARCH64_ROOT to a Debian arm64 tree with python3-dev")
endif()
set(TESSARY_AARCH64_ROOT "${TESSARY_AARCH64_ROOT}" CACHE PATH
    "Debian arm64 tree holding the target CPython")
# try_compile projects read this file again; hand them the tree too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSARY_AARCH64_ROOT)

# Libraries, headers and packages are looked up in the tree only; programs on the host.
set(CMAKE_FIND_ROOT_PATH "${TESSARY_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's <python3.X/pyconfig.h> includes <aarch64-linux-gnu/python3.X/pyconfig.h>, so the
# tree's /usr/include must be searchable, but after the toolchain's own headers, so that the
# C library's headers never come from the tree.
set(CMAKE_C_FLAGS_INIT "-idirafter ${TESSARY_AARCH64_ROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TESSARY_AARCH64_ROOT}/usr/include")

# Target programs (the tree's python among them) run under user-mode emulation.
find_program(TESSARY_QEMU_AARCH64 qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${TESSARY_QEMU_AARCH64};-L;${TESSARY_AARCH64_ROOT}")

if(NOT Python_EXECUTABLE)
  file(GLOB _tessary_target_pythons "${TESSARY_AARCH64_ROOT}/usr/bin/python3.[0-9]*")
  list(FILTER _tessary_target_pythons INCLUDE REGEX "/python3\\.[0-9]+$")
  if(NOT _tessary_target_pythons)
    message(FATAL_ERROR "No python3.X in ${TESSARY_AARCH64_ROOT}/usr/bin")
  endif()
  list(SORT _tessary_target_pythons COMPARE NATURAL ORDER DESCENDING)
  list(GET _tessary_target_pythons 0 _tessary_target_python)
  set(Python_EXECUTABLE "${_tessary_target_python}" CACHE FILEPATH "Target interpreter")
endif()
