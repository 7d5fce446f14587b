# The seed maker: real simulator replies as seeds of the receive-path fuzzers
# (included by fuzz/CMakeLists.txt; run by hand, see make_seeds.cpp).
if(TARGET zmk_devsim_core)
  add_executable(zmk-fuzz-seeds ${CMAKE_CURRENT_LIST_DIR}/make_seeds.cpp)
  target_link_libraries(zmk-fuzz-seeds PRIVATE zmk_layers zmk_devsim_core zmk_test_support zmk_options)
  target_link_options(zmk-fuzz-seeds PRIVATE -fsanitize=address,undefined)
endif()
