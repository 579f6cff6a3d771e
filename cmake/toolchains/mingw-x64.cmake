# 64-bit Windows with MinGW-w64 GCC: the same sources as the product, built so the test
# executables can run under wine64 (32-bit Wine is not available on the build machines).
# This is where the Win32 platform layer runs for real.
set(MOX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")

# ctest runs every test executable through scripts/wine-run, which prepares the Wine prefix
# named by WINEPREFIX (see the mingw-x64 test preset) and then starts wine64.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run"
                       ABSOLUTE)
