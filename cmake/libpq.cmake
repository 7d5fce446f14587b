# zmk_libpq: PostgreSQL's client library, for a line's shared database. Linux
# links Debian's library; the Windows build links the static libraries that
# scripts/openssl-source.sh and scripts/libpq-source.sh build from Debian's
# openssl and postgresql-15 source packages, once, outside the preset's build
# directory, so TLS (sslmode=require, verify-full) works there too.
if(TARGET zmk_libpq)
  return()
endif()

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZMK_LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
  add_library(zmk_libpq INTERFACE)
  target_link_libraries(zmk_libpq INTERFACE PkgConfig::ZMK_LIBPQ)
  return()
endif()

set(ZMK_OPENSSL_DIR "${CMAKE_SOURCE_DIR}/build/third_party/openssl" CACHE PATH
    "Where scripts/openssl-source.sh builds Debian's OpenSSL")
set(ZMK_LIBPQ_DIR "${CMAKE_SOURCE_DIR}/build/third_party/libpq" CACHE PATH
    "Where scripts/libpq-source.sh builds libpq from Debian's postgresql-15")

# Runs scripts/NAME-source.sh ARGS... unless OUT's stamp is there already.
function(zmk_libpq_make name out)
  if(EXISTS "${out}/.stamp")
    return()
  endif()
  message(STATUS "${name}: building from Debian's source package (the first time only)")
  execute_process(COMMAND "${CMAKE_SOURCE_DIR}/scripts/${name}-source.sh" ${ARGN}
    RESULT_VARIABLE rc TIMEOUT 5400)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name} for the Windows build could not be made (${rc}); "
      "scripts/${name}-source.sh said why above")
  endif()
endfunction()

set(_zmk_openssl "${ZMK_OPENSSL_DIR}/openssl")
set(_zmk_libpq "${ZMK_LIBPQ_DIR}/libpq")
zmk_libpq_make(openssl "${_zmk_openssl}" "${ZMK_OPENSSL_DIR}")
zmk_libpq_make(libpq "${_zmk_libpq}" "${ZMK_LIBPQ_DIR}" "${_zmk_openssl}")
file(READ "${_zmk_libpq}/VERSION" _zmk_libpq_version)
string(STRIP "${_zmk_libpq_version}" _zmk_libpq_version)
message(STATUS "${_zmk_libpq_version}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${_zmk_openssl}/.stamp" "${_zmk_libpq}/.stamp")

# Static, as everything in the Windows build: nothing more to ship. libpq
# needs Winsock, SSPI and the shell's folders; OpenSSL the system's
# certificate store, its random numbers and GDI for its entropy.
add_library(zmk_libpq INTERFACE)
target_include_directories(zmk_libpq SYSTEM INTERFACE "${_zmk_libpq}/include")
target_link_libraries(zmk_libpq INTERFACE
  "${_zmk_libpq}/lib/libpq.a" "${_zmk_libpq}/lib/libpgcommon_shlib.a"
  "${_zmk_libpq}/lib/libpgport_shlib.a" "${_zmk_openssl}/lib/libssl.a"
  "${_zmk_openssl}/lib/libcrypto.a"
  secur32 ws2_32 shell32 crypt32 bcrypt gdi32 user32 advapi32)
