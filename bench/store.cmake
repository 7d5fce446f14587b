# zmk_store_timing: how long store_reserve and store_finish take on an SQLite
# file and on a throwaway PostgreSQL cluster (Linux). Included from
# bench/CMakeLists.txt, after its return() for the builds that measure nothing.
if(WIN32 OR NOT TARGET zmk_database)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/../tests/support/pg_cluster.cmake)
add_executable(zmk_store_timing ${CMAKE_CURRENT_LIST_DIR}/store_timing.cpp)
target_link_libraries(zmk_store_timing PRIVATE zmk_database zmk_pg_cluster zmk_options)
