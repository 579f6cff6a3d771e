# Warnings and sanitizers as interface targets, so every executable gets the same flags.

add_library(mox_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(mox_warnings INTERFACE -Wall -Wextra -Wpedantic)
  if(MOX_WERROR)
    target_compile_options(mox_warnings INTERFACE -Werror)
  endif()
endif()

add_library(mox_sanitizers INTERFACE)
if(MOX_SANITIZE)
  list(JOIN MOX_SANITIZE "," _mox_san)
  target_compile_options(mox_sanitizers INTERFACE
    -fsanitize=${_mox_san} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(mox_sanitizers INTERFACE -fsanitize=${_mox_san})
endif()

# Libraries each platform backend needs (sockets, tracing). Backends add to this list.
function(mox_link_platform_libraries target)
  if(WIN32)
    target_link_libraries(${target} PUBLIC ws2_32)
  else()
    find_package(Threads REQUIRED)
    target_link_libraries(${target} PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  endif()
endfunction()

# The library's objects keep every symbol inside the binary they are linked into: hidden
# visibility (inline functions included) and, with GCC on ELF, no GNU "unique" symbols, which
# would be global whatever the visibility and would keep the shared library from unloading.
# Only MOX_EXPORT entries are visible. Executables linking the objects directly (tests,
# benchmarks, fuzzers) are unaffected: hidden symbols still link within one binary.
function(mox_hide_symbols target)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             C_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

# Per-target adjustments of the shipped binary.
# On Windows: the C++ runtime, libgcc and winpthreads are linked in statically (the toolchain
# files pass -static), nothing is exported automatically (MinGW would otherwise export every
# global symbol when none is marked dllexport; only MOX_EXPORT entries leave the DLL), release
# builds drop their symbol tables, and ctest checks the result with scripts/check-dll.
# On Linux: a version script exports `load_network_testing` alone (whatever else might be
# marked visible: several plugins built on this framework share one host process, and any
# other exported symbol would bind to whichever of them was loaded first), and ctest checks the
# result with scripts/check-so. The C++ runtime is still linked dynamically.
function(mox_configure_plugin_binary target)
  if(NOT WIN32 AND NOT APPLE)
    set(_map "${PROJECT_SOURCE_DIR}/cmake/mox-plugin.map")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${_map}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_map}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(_class ELF32)
    else()
      set(_class ELF64)
    endif()
    set(_sanitized "")
    if(MOX_SANITIZE OR MOX_BUILD_FUZZ)
      set(_sanitized --sanitized)
    endif()
    string(STRIP "${CMAKE_CXX_COMPILER} ${CMAKE_CXX_FLAGS}" _compiler)
    add_test(NAME plugin_binary
             COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/check-so" --nm "${CMAKE_NM}"
                     --readelf "${CMAKE_READELF}" --class ${_class} --compiler "${_compiler}"
                     ${_sanitized} $<TARGET_FILE:${target}>)
    set_tests_properties(plugin_binary PROPERTIES LABELS plugin_binary)
  endif()
  if(MINGW)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
                        -Wl,--exclude-all-symbols $<$<CONFIG:Release,MinSizeRel>:-s>)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(_format pei-i386)
    else()
      set(_format pei-x86-64)
    endif()
    add_test(NAME plugin_binary
             COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/check-dll" --objdump "${CMAKE_OBJDUMP}"
                     --format ${_format} $<TARGET_FILE:${target}>)
    set_tests_properties(plugin_binary PROPERTIES LABELS plugin_binary)
  endif()
endfunction()
