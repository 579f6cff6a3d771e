# 32-bit x86 Linux with the host's GCC and gcc-multilib (-m32). This is where the boundary
# records have their 32-bit sizes and offsets at run time, so every test runs here too.
#
# Third-party libraries come from MOX_DEPS_PREFIX (built from source by scripts/cross-deps);
# the host's 64-bit libraries and CMake packages must never be found.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# SSE2 arithmetic instead of the x87 unit: the same floating-point results as the 64-bit builds.
set(_mox_flags "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "${_mox_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_mox_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

include("${CMAKE_CURRENT_LIST_DIR}/mox-cross-find.cmake")

# ctest runs the test executables through scripts/run-i386: natively where the kernel runs
# 32-bit programs, else under qemu-i386 (the build machines' kernels have 32-bit emulation
# switched off), which executes the same 32-bit code with gcc-multilib's 32-bit libc.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../../scripts/run-i386"
                       ABSOLUTE)
