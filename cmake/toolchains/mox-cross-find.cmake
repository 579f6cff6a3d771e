# Shared by the cross toolchain files: search for libraries, headers and CMake packages only
# below the target's roots (the compiler's sysroot, if any, and MOX_DEPS_PREFIX, where
# scripts/cross-deps installs the third-party builds), and for programs only on the build host.
#
# MOX_DEPS_PREFIX comes from the preset; try_compile projects get it passed along.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MOX_DEPS_PREFIX)
if(MOX_DEPS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${MOX_DEPS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
