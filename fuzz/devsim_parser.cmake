# The device simulator's request parser (included by fuzz/CMakeLists.txt).
if(TARGET zmk_devsim_core)
  zmk_add_fuzzer(devsim_parser SOURCES ${CMAKE_CURRENT_LIST_DIR}/devsim_parser_fuzz.cpp
                 LIBS zmk_devsim_core)
endif()
