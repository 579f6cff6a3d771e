# Third-party dependencies, never vendored.
#
# Native builds find them on the system (Debian's packages). Cross builds (the presets
# linux-x86, mingw-i686, mingw-x64) set MOX_DEPS_PREFIX: configuring runs scripts/cross-deps,
# which builds libyaml and GoogleTest for the target from local sources into that prefix and
# copies RapidJSON's headers into a folder of their own, so the host's /usr/include never
# reaches a 32-bit or Windows compile. The toolchain files restrict every search to the prefix.

add_library(mox_deps INTERFACE)

set(MOX_DEPS_PREFIX "" CACHE PATH "Prefix of the third-party builds for a cross target")
if(MOX_DEPS_PREFIX)
  set(_mox_deps_args --toolchain "${CMAKE_TOOLCHAIN_FILE}" --prefix "${MOX_DEPS_PREFIX}")
  if(MOX_BUILD_TESTS)
    list(APPEND _mox_deps_args --with-gtest)
  endif()
  execute_process(COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/scripts/cross-deps" ${_mox_deps_args}
                  RESULT_VARIABLE _mox_deps_result)
  if(NOT _mox_deps_result EQUAL 0)
    message(FATAL_ERROR "scripts/cross-deps failed for ${MOX_DEPS_PREFIX}")
  endif()
  set(RAPIDJSON_INCLUDE_DIR "${MOX_DEPS_PREFIX}/rapidjson/include" CACHE PATH "" FORCE)
  set(YAML_ROOT "${MOX_DEPS_PREFIX}")
endif()

# RapidJSON is header-only.
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/reader.h)
if(NOT RAPIDJSON_INCLUDE_DIR)
  message(FATAL_ERROR "RapidJSON headers not found: run scripts/setup or set RAPIDJSON_INCLUDE_DIR")
endif()
target_include_directories(mox_deps SYSTEM INTERFACE ${RAPIDJSON_INCLUDE_DIR})

# libyaml: pkg-config `yaml-0.1` natively; cross builds (and anyone setting YAML_ROOT) use a
# prefix with a static libyaml instead.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND NOT YAML_ROOT)
  pkg_check_modules(YAML IMPORTED_TARGET yaml-0.1)
endif()
if(TARGET PkgConfig::YAML)
  target_link_libraries(mox_deps INTERFACE PkgConfig::YAML)
else()
  find_path(YAML_INCLUDE_DIR yaml.h HINTS ${YAML_ROOT}/include)
  find_library(YAML_LIBRARY NAMES yaml libyaml HINTS ${YAML_ROOT}/lib)
  if(NOT YAML_INCLUDE_DIR OR NOT YAML_LIBRARY)
    message(FATAL_ERROR "libyaml not found: run scripts/setup or set YAML_ROOT")
  endif()
  target_include_directories(mox_deps SYSTEM INTERFACE ${YAML_INCLUDE_DIR})
  target_link_libraries(mox_deps INTERFACE ${YAML_LIBRARY})
  target_compile_definitions(mox_deps INTERFACE YAML_DECLARE_STATIC)
endif()

if(MOX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(MOX_BUILD_BENCH)
  find_package(benchmark QUIET)
endif()
