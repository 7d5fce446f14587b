# zmk_pg_cluster: a throwaway PostgreSQL cluster for the store's tests and the
# benchmark (Linux only). Included from tests/support and from bench; the
# first one defines it.
if(WIN32 OR TARGET zmk_pg_cluster)
  return()
endif()
add_library(zmk_pg_cluster STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pg_cluster.cpp ${CMAKE_CURRENT_LIST_DIR}/pg_cluster.h)
target_link_libraries(zmk_pg_cluster PUBLIC zmk_options)
