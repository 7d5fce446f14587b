# The Windows programs, the README and the licence side by side: the zip runs
# as unpacked, and the installer puts the same files under Program Files.
install(TARGETS zmk zmk-cli zmk-device RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
# The libraries linked into the programs keep their notices beside them
# (SQLite is in the public domain and asks for none).
install(FILES ${ZMK_OPENSSL_DIR}/openssl/LICENSE.txt DESTINATION licenses RENAME OpenSSL.txt)
install(FILES ${ZMK_LIBPQ_DIR}/libpq/COPYRIGHT DESTINATION licenses RENAME PostgreSQL.txt)
install(FILES ${ZMK_SODIUM_DIR}/libsodium/LICENSE DESTINATION licenses RENAME libsodium.txt)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_INSTALL_DIRECTORY zmk)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY zmk)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME zmk)
set(CPACK_NSIS_DISPLAY_NAME "zmk ${PROJECT_VERSION}")
# One Start-menu entry, for the dialog; zmk-cli is for a console.
set(CPACK_PACKAGE_EXECUTABLES zmk zmk)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer for the 64-bit programs: it runs where they run, Wine's
# 64-bit-only prefixes included, and sees the 64-bit registry and folders.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
