# The product target: 32-bit Windows (PE32, i386) with MinGW-w64 GCC.
set(MOX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
# SSE2 arithmetic instead of the x87 unit: the same floating-point results as the other builds.
# (GCC realigns the stack on entry here, so host code with 4-byte stack alignment is fine.)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
