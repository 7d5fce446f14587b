# Replies into the programming layer in every state of a run (included by
# fuzz/CMakeLists.txt).
zmk_add_fuzzer(lprog_rx SOURCES ${CMAKE_CURRENT_LIST_DIR}/lprog_rx_fuzz.cpp LIBS zmk_layers)
