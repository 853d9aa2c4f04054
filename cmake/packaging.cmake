# Installation and packages.
#
# Linux and other POSIX systems: `cmake --install` puts quorvel-setup and quorvel-sim in bin/
# and their manual pages in share/man/man1/; `cpack -G DEB` makes a .deb of the same files.
#
# Windows (the MinGW cross build): the program and its manual rendered as plain text, both at
# the top of a .zip made by `cpack` (ZIP is the only generator there). The text is made at
# build time with groff, from the same page that Linux installs, with its Windows parts.

include(GNUInstallDirs)

set(QUORVEL_MAN_DIR ${CMAKE_CURRENT_SOURCE_DIR}/man)

if(WIN32)
  install(TARGETS quorvel-setup RUNTIME DESTINATION .)

  # Windows has no man; the page goes along as text, rendered from the same source with its
  # Windows parts (the register W set) in place of the Linux ones. ASCII rather than UTF-8 so
  # that `type` in any console code page shows it right, no bold or underline overstrikes, and
  # CR LF line ends for Notepad on older Windows.
  find_program(QUORVEL_GROFF groff)
  if(QUORVEL_GROFF)
    set(QUORVEL_MANUAL_TXT ${CMAKE_CURRENT_BINARY_DIR}/quorvel-setup.txt)
    add_custom_command(
      OUTPUT ${QUORVEL_MANUAL_TXT}
      COMMAND sh -c "\"$1\" -man -Tascii -P-c -P-b -P-u -P-o -rLL=78n -rW1 \"$2\" | sed 's/$/\\r/' > \"$3\""
              sh ${QUORVEL_GROFF} ${QUORVEL_MAN_DIR}/quorvel-setup.1 ${QUORVEL_MANUAL_TXT}
      DEPENDS ${QUORVEL_MAN_DIR}/quorvel-setup.1
      COMMENT "Rendering the manual as quorvel-setup.txt"
      VERBATIM)
    add_custom_target(quorvel-manual-txt ALL DEPENDS ${QUORVEL_MANUAL_TXT})
    install(FILES ${QUORVEL_MANUAL_TXT} DESTINATION .)
  else()
    message(WARNING "groff not found: the Windows package will have no quorvel-setup.txt "
                    "(apt-get install groff-base)")
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  install(TARGETS quorvel-setup quorvel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the package's changelog compressed as Debian has them: gzip -9 without a
  # name or time stamp, so the same sources give the same bytes.
  set(QUORVEL_GZIPPED "")
  foreach(source ${QUORVEL_MAN_DIR}/quorvel-setup.1 ${QUORVEL_MAN_DIR}/quorvel-sim.1
                 ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog)
    get_filename_component(name ${source} NAME)
    if(name STREQUAL "changelog")
      set(name changelog.Debian)
    endif()
    set(gzipped ${CMAKE_CURRENT_BINARY_DIR}/gz/${name}.gz)
    add_custom_command(
      OUTPUT ${gzipped}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/gz
      COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${gzipped}
      DEPENDS ${source}
      VERBATIM)
    list(APPEND QUORVEL_GZIPPED ${gzipped})
  endforeach()
  add_custom_target(quorvel-gzipped-docs ALL DEPENDS ${QUORVEL_GZIPPED})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/quorvel-setup.1.gz
                ${CMAKE_CURRENT_BINARY_DIR}/gz/quorvel-sim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # No licence has been granted: the copyright file says so.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/gz/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvel-setup)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME quorvel-setup)
  set(CPACK_GENERATOR DEB)
endif()

set(QUORVEL_PACKAGE_MAINTAINER "quorvel-setup maintainers <maintainers@quorvel-setup.invalid>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME quorvel-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUORVEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "load the clock and the outputs of a Quorvel unit over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "quorvel-setup unlocks a Quorvel unit, loads its real-time clock and the\n\
parameters of its two outputs, and locks it again, one command line at a\n\
time over a serial port, each acknowledged by the unit's echo. Settings\n\
come from options or from a dialogue.\n\
quorvel-sim simulates a unit on a pseudo-terminal for rehearsals and tests.")
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package's own revision of the program's version, as its changelog names it.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVEL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies (libc6, libstdc++6, libgcc-s1) as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

include(CPack)
