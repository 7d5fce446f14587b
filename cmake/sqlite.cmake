# zmk_sqlite3: SQLite for the line's database. Linux links Debian's library;
# the Windows build compiles the amalgamation that scripts/sqlite-source.sh
# makes from Debian's sqlite3 source package, so both run Debian's SQLite.
if(TARGET zmk_sqlite3)
  return()
endif()

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  # GLOBAL: a target in any folder may link it, whichever folder includes this.
  pkg_check_modules(ZMK_SQLITE3 REQUIRED IMPORTED_TARGET GLOBAL sqlite3)
  add_library(zmk_sqlite3 INTERFACE)
  target_link_libraries(zmk_sqlite3 INTERFACE PkgConfig::ZMK_SQLITE3)
  return()
endif()

# Outside the preset's build directory, so a fresh configure of the preset
# does not fetch again.
set(ZMK_SQLITE_DIR "${CMAKE_SOURCE_DIR}/build/third_party/sqlite3" CACHE PATH
    "Where scripts/sqlite-source.sh puts Debian's SQLite source and its amalgamation")
set(_zmk_sqlite_src "${ZMK_SQLITE_DIR}/amalgamation")
if(NOT EXISTS "${_zmk_sqlite_src}/.stamp")
  message(STATUS "SQLite: making the amalgamation from Debian's sqlite3 source package")
  execute_process(
    COMMAND "${CMAKE_SOURCE_DIR}/scripts/sqlite-source.sh" "${ZMK_SQLITE_DIR}"
    RESULT_VARIABLE _zmk_sqlite_rc TIMEOUT 2400)
  if(NOT _zmk_sqlite_rc EQUAL 0)
    message(FATAL_ERROR
      "SQLite for the Windows build could not be made (${_zmk_sqlite_rc}); "
      "scripts/sqlite-source.sh said why above, its logs are in ${ZMK_SQLITE_DIR}/log")
  endif()
endif()
file(READ "${_zmk_sqlite_src}/VERSION" _zmk_sqlite_version)
string(STRIP "${_zmk_sqlite_version}" _zmk_sqlite_version)
message(STATUS "${_zmk_sqlite_version}")
# Removing the amalgamation makes the next build configure, and so fetch, again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_zmk_sqlite_src}/.stamp")

# Not linked to zmk_options: SQLite's code keeps its own warnings, which are
# not ours to turn into errors. Static, as everything in the Windows build.
add_library(zmk_sqlite3 STATIC "${_zmk_sqlite_src}/sqlite3.c")
target_include_directories(zmk_sqlite3 SYSTEM PUBLIC "${_zmk_sqlite_src}")
# Threads as Debian's library (serialized); no extensions loaded from files;
# a double-quoted word is an identifier, never a string.
target_compile_definitions(zmk_sqlite3 PRIVATE
  SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0)
