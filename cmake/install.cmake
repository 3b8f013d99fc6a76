# Installation and the Debian package: the program in bin/, its manual page
# in share/man/man1/.
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
