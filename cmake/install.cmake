# Installation and the packages.  On Windows: a ZIP.  Elsewhere: the
# program in bin/, its manual page in share/man/man1/ (gzipped where gzip
# is there), and in share/doc/vorlen/ the licence as a Debian copyright
# file and a short changelog, and a Debian package of them.  The manual
# page and the changelog are made at configure time from the version in
# the top-level CMakeLists.txt.

# Windows: `cpack` makes a ZIP holding vorlen.exe, the README and the
# licence side by side, ready to unpack into a folder on the PATH.
if(WIN32)
  install(TARGETS vorlen RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME vorlen)
  # "1.4-beta": a file name without Debian's "~".
  string(REPLACE "~" "-" CPACK_PACKAGE_VERSION "${VORLEN_VERSION}")
  set(CPACK_PACKAGE_FILE_NAME "vorlen-${CPACK_PACKAGE_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
# `cmake --install` and CPack take the program as built, instead of first
# building every target (the samples, fuzz and benchmark tools); build
# before installing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(vorlen_gen ${PROJECT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${vorlen_gen})

configure_file(${PROJECT_SOURCE_DIR}/man/vorlen.1 ${vorlen_gen}/vorlen.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${vorlen_gen}/changelog @ONLY)

# The licence in Debian's machine-readable copyright format: the LICENSE
# file's text after its title and copyright line, each line indented by
# one space, an empty line written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vorlen_license)
string(FIND "${vorlen_license}" "Permission is hereby granted" vorlen_at)
string(SUBSTRING "${vorlen_license}" ${vorlen_at} -1 vorlen_license)
string(STRIP "${vorlen_license}" vorlen_license)
string(REPLACE "\n" "\n " vorlen_license " ${vorlen_license}")
string(REPLACE "\n \n" "\n .\n" vorlen_license "${vorlen_license}")
file(WRITE ${vorlen_gen}/copyright.new
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vorlen
Comment: The MIT licence (named Expat in this format), as in LICENSE.

Files: *
Copyright: 2026 vorlen developers
License: Expat

License: Expat
${vorlen_license}
")
# Rewritten only when it changes, so an unchanged configure installs nothing new.
configure_file(${vorlen_gen}/copyright.new ${vorlen_gen}/copyright COPYONLY)

# Debian wants the manual page and the changelog compressed with gzip -9n
# (no name, no time stamp, so a rebuild makes the same bytes).
find_program(VORLEN_GZIP gzip)
set(vorlen_page ${vorlen_gen}/vorlen.1)
set(vorlen_changelog ${vorlen_gen}/changelog)
if(VORLEN_GZIP)
  foreach(f vorlen.1 changelog)
    execute_process(COMMAND ${VORLEN_GZIP} -9n -c ${f} WORKING_DIRECTORY ${vorlen_gen}
                    OUTPUT_FILE ${vorlen_gen}/${f}.gz RESULT_VARIABLE gz_status)
    if(NOT gz_status EQUAL 0)
      message(FATAL_ERROR "gzip of ${f} failed: ${gz_status}")
    endif()
  endforeach()
  set(vorlen_page ${vorlen_gen}/vorlen.1.gz)
  set(vorlen_changelog ${vorlen_gen}/changelog.gz)
endif()

install(TARGETS vorlen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${vorlen_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${vorlen_gen}/copyright ${vorlen_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(vorlen_link MATCHES "^-static")
  # The reason stands in the file; the tag depends on the kind of link.
  if(vorlen_link STREQUAL "-static-pie")
    set(vorlen_lintian_tag shared-library-lacks-prerequisites)
  else()
    set(vorlen_lintian_tag statically-linked-binary)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/lintian-overrides.in ${vorlen_gen}/lintian-overrides @ONLY)
  install(FILES ${vorlen_gen}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vorlen)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlen)
set(CPACK_PACKAGE_VERSION "${VORLEN_VERSION}")
set(CPACK_PACKAGE_CONTACT "vorlen developers <dev@vorlen.invalid>")
set(CPACK_PACKAGE_VENDOR "vorlen developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list and extract Atari 8-bit disk images")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vorlen reads ATR and raw Atari 8-bit disk images, DCM archives and ATX and\nPRO images, recognises SpartaDOS, HOWFEN DOS, the Atari DOS 2 family (DOS 1,\n2.0s, 2.0D, 2.5, MyDOS, LiteDOS, Bibo-DOS), K-BOOT and BASIC boot disks,\nAtari DOS 3 and DOS XE, lists their files and extracts them.\nLicence: MIT (Expat).")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
