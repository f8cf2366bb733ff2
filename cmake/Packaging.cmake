# Packages: a .deb on POSIX (the program in /usr/bin, its manual page, and
# the copyright file and changelogs Debian asks for); a .zip on Windows
# holding varnok.exe for x86 and for x86-64, README.txt and LICENSE.

# The one place that names who answers for the package; a distribution
# building its own package sets its own.
set(VARNOK_MAINTAINER "varnok maintainers <maintainers@users.noreply.c-seed-27910c7e.example>"
    CACHE STRING "Maintainer of the packages: name <address>")
# The date of this version's release, in RFC 5322 form (Debian changelog).
set(VARNOK_RELEASE_DATE "Tue, 08 Dec 2026 12:00:00 +0000")

set(CPACK_PACKAGE_NAME varnok)
set(CPACK_PACKAGE_VENDOR "The varnok developers")
set(CPACK_PACKAGE_CONTACT "${VARNOK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 80 columns, as the package tools show them.
set(CPACK_PACKAGE_DESCRIPTION [=[
varnok finds a script file (an INI file: sections of key=value lines)
below a project directory and changes one key's value in place, keeping
every other byte of the file. It is meant for build and installer scripts.]=])
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "varnok-${PROJECT_VERSION}-windows")
  # README as text with Windows line ends, for Notepad and the like.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  # The other build's program goes in beside this one's (see VARNOK_WINDOWS_DIR).
  if(VARNOK_OTHER_WINDOWS_EXE)
    set(other_dir x86)
    if(VARNOK_WINDOWS_DIR STREQUAL "x86")
      set(other_dir x64)
    endif()
    install(PROGRAMS ${VARNOK_OTHER_WINDOWS_EXE} DESTINATION ${other_dir})
  endif()
else()
  include(cmake/DebianDocs.cmake)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VARNOK_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The C++ runtime is linked in (see varnok_link_runtime_statically). The
  # least version is the newest symbol version the program takes from the C
  # library built with GCC 12's runtime (arc4random); .ci/check-deb holds the
  # program to it.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36)")
  set(CPACK_VARNOK_STRIP "${CMAKE_STRIP}")
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/StripPackaged.cmake)
endif()

include(CPack)
