# zmk_toml: toml++ (header-only) for the job files. Both builds use a copy of
# Debian's /usr/include/toml++ in the build tree: /usr/include itself must not
# become an include directory of the mingw-w64 build, where glibc's headers
# would shadow the Windows ones.
if(TARGET zmk_toml)
  return()
endif()

find_path(_zmk_toml_dir toml++/toml.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT _zmk_toml_dir)
  message(FATAL_ERROR "toml++/toml.h not found: install libtomlplusplus-dev")
endif()
set(_zmk_toml_include "${CMAKE_BINARY_DIR}/toml-include")
# Copied again whenever Debian's headers change.
file(COPY "${_zmk_toml_dir}/toml++" DESTINATION "${_zmk_toml_include}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_zmk_toml_dir}/toml++/toml.h")

add_library(zmk_toml INTERFACE)
target_include_directories(zmk_toml SYSTEM INTERFACE "${_zmk_toml_include}")
# Nothing but the parser, which answers its errors as values.
target_compile_definitions(zmk_toml INTERFACE TOML_ENABLE_FORMATTERS=0 TOML_EXCEPTIONS=0)
