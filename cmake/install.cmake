# Installation and the Debian package: the program in bin/, its manual page
# in share/man/man1/.

# Windows: `cpack` makes a ZIP holding vorlen.exe, the README and the
# licence side by side, ready to unpack into a folder on the PATH.
if(WIN32)
  install(TARGETS vorlen RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME vorlen)
  set(CPACK_PACKAGE_VERSION "1.4-beta")
  set(CPACK_PACKAGE_FILE_NAME "vorlen-${CPACK_PACKAGE_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
install(TARGETS vorlen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/vorlen.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlen)
set(CPACK_PACKAGE_VERSION "1.4~beta")
set(CPACK_PACKAGE_CONTACT "vorlen developers <dev@vorlen.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list and extract Atari 8-bit disk images")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vorlen reads ATR and raw Atari 8-bit disk images, DCM archives and ATX and\nPRO images, recognises SpartaDOS, HOWFEN DOS, the Atari DOS 2 family (DOS 1,\n2.0s, 2.0D, 2.5, MyDOS, LiteDOS, Bibo-DOS), K-BOOT and BASIC boot disks,\nAtari DOS 3 and DOS XE, lists their files and extracts them.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
