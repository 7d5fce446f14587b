# Line bytes through the flasher's whole stack up to the programming state
# (included by fuzz/CMakeLists.txt).
zmk_add_fuzzer(rx_path SOURCES ${CMAKE_CURRENT_LIST_DIR}/rx_path_fuzz.cpp LIBS zmk_layers zmk_test_support)
