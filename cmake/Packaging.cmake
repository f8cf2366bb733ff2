# Packages: a .deb on POSIX (the program in /usr/bin and its manual page); a
# .zip on Windows holding varnok.exe for x86 and for x86-64.
set(CPACK_PACKAGE_NAME varnok)
set(CPACK_PACKAGE_VENDOR "The varnok developers")
set(CPACK_PACKAGE_CONTACT "The varnok developers <varnok@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "varnok finds a script file below a project directory and changes one key's value in place, keeping every other byte of the file.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "varnok-${PROJECT_VERSION}-windows")
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  # The other build's program goes in beside this one's (see VARNOK_WINDOWS_DIR).
  if(VARNOK_OTHER_WINDOWS_EXE)
    set(other_dir x86)
    if(VARNOK_WINDOWS_DIR STREQUAL "x86")
      set(other_dir x64)
    endif()
    install(PROGRAMS ${VARNOK_OTHER_WINDOWS_EXE} DESTINATION ${other_dir})
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12)")
endif()

include(CPack)
