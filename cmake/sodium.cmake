# zmk_sodium: libsodium (SHA-256, BLAKE2b, Ed25519, base64) for the jobs'
# seals. Linux links Debian's library; the Windows build links the static
# library scripts/sodium-source.sh builds from Debian's libsodium source
# package, once, outside the preset's build directory.
if(TARGET zmk_sodium)
  return()
endif()

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZMK_SODIUM REQUIRED IMPORTED_TARGET GLOBAL libsodium)
  add_library(zmk_sodium INTERFACE)
  target_link_libraries(zmk_sodium INTERFACE PkgConfig::ZMK_SODIUM)
  return()
endif()

set(ZMK_SODIUM_DIR "${CMAKE_SOURCE_DIR}/build/third_party/sodium" CACHE PATH
    "Where scripts/sodium-source.sh puts Debian's libsodium source")
set(_zmk_sodium "${ZMK_SODIUM_DIR}/libsodium")
if(NOT EXISTS "${_zmk_sodium}/.stamp")
  message(STATUS "libsodium: fetching Debian's libsodium source package")
  execute_process(
    COMMAND "${CMAKE_SOURCE_DIR}/scripts/sodium-source.sh" "${ZMK_SODIUM_DIR}"
    RESULT_VARIABLE _zmk_sodium_rc TIMEOUT 2400)
  if(NOT _zmk_sodium_rc EQUAL 0)
    message(FATAL_ERROR
      "libsodium for the Windows build could not be made (${_zmk_sodium_rc}); "
      "scripts/sodium-source.sh said why above, its logs are in ${ZMK_SODIUM_DIR}/log")
  endif()
endif()
file(READ "${_zmk_sodium}/VERSION" _zmk_sodium_version)
string(STRIP "${_zmk_sodium_version}" _zmk_sodium_version)
message(STATUS "${_zmk_sodium_version}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_zmk_sodium}/.stamp")

# The portable C of every primitive; the CPU-specific versions need
# configure's HAVE_*INTRIN_H, left undefined, and compile to nothing. Not
# linked to zmk_options: libsodium's warnings are not ours to make errors.
set(_zmk_sodium_src "${_zmk_sodium}/src/libsodium")
file(GLOB_RECURSE _zmk_sodium_c CONFIGURE_DEPENDS "${_zmk_sodium_src}/*.c")
add_library(zmk_sodium STATIC ${_zmk_sodium_c})
target_include_directories(zmk_sodium PRIVATE "${_zmk_sodium_src}/include/sodium"
  PUBLIC "${_zmk_sodium_src}/include")
# SODIUM_STATIC: the library's declarations, not dllimport ones. CONFIGURED:
# the headers need no config.h. Randomness comes from RtlGenRandom (advapi32).
target_compile_definitions(zmk_sodium PUBLIC SODIUM_STATIC
  PRIVATE CONFIGURED=1 NATIVE_LITTLE_ENDIAN=1)
target_compile_options(zmk_sodium PRIVATE -w)
target_link_libraries(zmk_sodium PUBLIC advapi32)
