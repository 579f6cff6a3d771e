# Shared by the MinGW-w64 toolchain files. REQUIRES: MOX_MINGW_TRIPLE is set.
#
# The "-posix" compilers give std::thread and std::mutex (winpthreads underneath); every binary
# links libstdc++, libgcc and winpthreads statically, so the DLL and the test executables need
# nothing beyond the DLLs Windows itself ships.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER "${MOX_MINGW_TRIPLE}-gcc-posix")
set(CMAKE_CXX_COMPILER "${MOX_MINGW_TRIPLE}-g++-posix")
set(CMAKE_RC_COMPILER "${MOX_MINGW_TRIPLE}-windres")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_FIND_ROOT_PATH "/usr/${MOX_MINGW_TRIPLE}")
include("${CMAKE_CURRENT_LIST_DIR}/mox-cross-find.cmake")
