# SLIP decoding of whatever the line delivers (included by fuzz/CMakeLists.txt).
zmk_add_fuzzer(ser_read_frame SOURCES ${CMAKE_CURRENT_LIST_DIR}/ser_read_frame_fuzz.cpp
               LIBS zmk_layers zmk_test_support)
