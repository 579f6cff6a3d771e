# Third-party dependencies, always found on the system and never vendored.
#
# RapidJSON is header-only. Cross builds must point RAPIDJSON_INCLUDE_DIR at a folder that
# holds only the rapidjson/ headers, never /usr/include itself, so the host's system headers
# cannot leak into a 32-bit or Windows build.

add_library(mox_deps INTERFACE)

find_path(RAPIDJSON_INCLUDE_DIR rapidjson/reader.h)
if(NOT RAPIDJSON_INCLUDE_DIR)
  message(FATAL_ERROR "RapidJSON headers not found: run scripts/setup or set RAPIDJSON_INCLUDE_DIR")
endif()
target_include_directories(mox_deps SYSTEM INTERFACE ${RAPIDJSON_INCLUDE_DIR})

# libyaml: pkg-config `yaml-0.1` natively; cross builds may set YAML_ROOT to a prefix instead.
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
