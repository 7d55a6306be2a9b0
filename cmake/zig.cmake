# Building tessary with Zig's bundled clang (the `ziglang` package from PyPI) for an old glibc,
# so that the module loads on every manylinux2014 system (glibc 2.17 and later):
#
#   TESSARY_ZIG_TARGET=x86_64-linux-gnu.2.17 TESSARY_ZIG_BIN=/dir/with/wrappers \
#     cmake -S . -B build/x --toolchain cmake/zig.cmake
#
# scripts/build-wheels writes the wrappers (zig-cc, zig-c++, zig-ar, zig-ranlib, each running
# `python -m ziglang` with the target) and passes both variables. Zig links its own libc++ and
# libunwind statically and takes the glibc symbol versions from the target named, whatever the
# build machine's glibc is.
#
# For a target of another architecture (aarch64-linux-gnu.2.17) also set TESSARY_ZIG_ROOT to a
# Debian tree of that architecture holding python3.X and libpython3.X-dev, unpacked: FindPython
# runs that interpreter under qemu to read the target's values (SOABI, include directory),
# which needs policy CMP0190 (CMake 4.1) set to NEW on the command line.

foreach(_tessary_var TESSARY_ZIG_TARGET TESSARY_ZIG_BIN TESSARY_ZIG_ROOT)
  if(NOT ${_tessary_var} AND DEFINED ENV{${_tessary_var}})
    set(${_tessary_var} "$ENV{${_tessary_var}}")
  endif()
endforeach()
if(NOT TESSARY_ZIG_TARGET OR NOT TESSARY_ZIG_BIN)
  message(FATAL_ERROR "Set TESSARY_ZIG_TARGET and TESSARY_ZIG_BIN (scripts/build-wheels does)")
endif()
set(TESSARY_ZIG_TARGET "${TESSARY_ZIG_TARGET}" CACHE STRING "Zig target triple with glibc version")
set(TESSARY_ZIG_BIN "${TESSARY_ZIG_BIN}" CACHE PATH "Folder of the zig-cc/zig-c++ wrappers")
set(TESSARY_ZIG_ROOT "${TESSARY_ZIG_ROOT}" CACHE PATH "Target tree for a foreign architecture")
# try_compile projects read this file again; hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSARY_ZIG_TARGET TESSARY_ZIG_BIN TESSARY_ZIG_ROOT)

set(CMAKE_C_COMPILER "${TESSARY_ZIG_BIN}/zig-cc")
set(CMAKE_CXX_COMPILER "${TESSARY_ZIG_BIN}/zig-c++")
set(CMAKE_AR "${TESSARY_ZIG_BIN}/zig-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${TESSARY_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "Archive indexer")

# Only the module's entry point is exported: the statically linked C++ runtime stays private
# to the module, so it can never be bound to another extension's copy.
# Symbols are stripped: the statically linked runtime would otherwise add megabytes.
set(_tessary_exports "${CMAKE_BINARY_DIR}/tessary-exports.map")
file(WRITE "${_tessary_exports}" "{ global: PyInit_tessary; local: *; };\n")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--version-script=${_tessary_exports} -Wl,--strip-all")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${_tessary_exports} -Wl,--strip-all")

string(REGEX MATCH "^[^-]+" _tessary_zig_arch "${TESSARY_ZIG_TARGET}")
cmake_host_system_information(RESULT _tessary_host_arch QUERY OS_PLATFORM)
if(NOT _tessary_zig_arch STREQUAL _tessary_host_arch)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${_tessary_zig_arch}")
  if(NOT TESSARY_ZIG_ROOT)
    message(FATAL_ERROR "Set TESSARY_ZIG_ROOT to a ${_tessary_zig_arch} tree with libpython3.X-dev")
  endif()
  set(CMAKE_FIND_ROOT_PATH "${TESSARY_ZIG_ROOT}")
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  # Debian's <python3.X/pyconfig.h> includes <TRIPLE/python3.X/pyconfig.h>: the tree's
  # /usr/include is searched last, so the C library's headers are always Zig's own.
  set(CMAKE_C_FLAGS_INIT "-idirafter ${TESSARY_ZIG_ROOT}/usr/include")
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TESSARY_ZIG_ROOT}/usr/include")
  find_program(TESSARY_QEMU qemu-${_tessary_zig_arch} qemu-${_tessary_zig_arch}-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TESSARY_QEMU};-L;${TESSARY_ZIG_ROOT}")
endif()
