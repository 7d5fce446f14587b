# zmk_store: the line's database for zmk-cli (the serial-number ledger and the
# records): SQLite files everywhere, PostgreSQL servers through libpq where the
# build has it (not Windows). Included from app/cli/CMakeLists.txt, after
# zmk_json; paths are this file's own so that it works from anywhere.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/sqlite.cmake)

set(_zmk_store_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(zmk_store STATIC
  ${_zmk_store_dir}/store.cpp ${_zmk_store_dir}/store.h ${_zmk_store_dir}/store_sql.h
  ${_zmk_store_dir}/store_sqlite.cpp)
target_link_libraries(zmk_store PUBLIC zmk_options PRIVATE zmk_framework zmk_sqlite3 zmk_json)
if(WIN32)
  target_sources(zmk_store PRIVATE ${_zmk_store_dir}/store_none_pg.cpp)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZMK_LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
  target_sources(zmk_store PRIVATE ${_zmk_store_dir}/store_pg.cpp)
  target_link_libraries(zmk_store PRIVATE PkgConfig::ZMK_LIBPQ)
endif()
