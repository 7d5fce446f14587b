# The Debian package: the three programs, their man pages, the dialog's
# desktop entry and icon, the udev rule, and the documents Debian asks for.
install(TARGETS zmk zmk-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The run of one device that zmk-cli starts per device of a batch or station.
install(TARGETS zmk-device RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zmk)
if(TARGET zmk-devsim)
  install(TARGETS zmk-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES zmk.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES zmk.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# udev reads this directory on Debian 12, and must see the tag before its
# 73-seat-late.rules turns it into access for the seated user.
install(FILES 70-zmk.rules DESTINATION /lib/udev/rules.d)

set(_doc ${CMAKE_CURRENT_BINARY_DIR}/doc)
set(_docdir ${CMAKE_INSTALL_DATADIR}/doc/zmk)
file(MAKE_DIRECTORY ${_doc})
# Debian's copyright format around the licence text, each line indented.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "\n$" "" _license "${_license}")
string(REGEX REPLACE "\n\n" "\n.\n" _license "${_license}")
string(REGEX REPLACE "\n" "\n " _license "${_license}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${_license}")
set(ZMK_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n \\.\n [^\n]*\n \\.\n " "" ZMK_LICENSE_TEXT "${_license}")
configure_file(copyright.in ${_doc}/copyright @ONLY)
install(FILES ${_doc}/copyright DESTINATION ${_docdir})

if(NOT ZMK_PACKAGE)
  return()
endif()
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
string(TIMESTAMP ZMK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(changelog.in ${_doc}/changelog @ONLY)

# Compressed as Debian's policy asks of man pages and larger documents.
set(_gz)
foreach(prog zmk zmk-cli zmk-devsim)
  if(NOT TARGET ${prog})
    continue()
  endif()
  set(_page ${_doc}/${prog}.1)
  add_custom_command(OUTPUT ${_page}.gz
    COMMAND ${HELP2MAN} --no-info --section=1 --include=${CMAKE_CURRENT_SOURCE_DIR}/man/${prog}.h2m
            --output=${_page} $<TARGET_FILE:${prog}>
    COMMAND ${GZIP} -9nf ${_page}
    DEPENDS ${prog} ${CMAKE_CURRENT_SOURCE_DIR}/man/${prog}.h2m
    COMMENT "Man page ${prog}.1")
  list(APPEND _gz ${_page}.gz)
  install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
foreach(doc ${CMAKE_SOURCE_DIR}/README.md ${_doc}/changelog)
  get_filename_component(_name ${doc} NAME)
  add_custom_command(OUTPUT ${_doc}/${_name}.gz
    COMMAND ${GZIP} -9nc ${doc} > ${_doc}/${_name}.gz
    DEPENDS ${doc})
  list(APPEND _gz ${_doc}/${_name}.gz)
  install(FILES ${_doc}/${_name}.gz DESTINATION ${_docdir})
endforeach()
add_custom_target(zmk_package_docs ALL DEPENDS ${_gz})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
