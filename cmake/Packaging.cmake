# Packages: a .deb on POSIX (the program in /usr/bin and its manual page).
set(CPACK_PACKAGE_NAME varnok)
set(CPACK_PACKAGE_VENDOR "The varnok developers")
set(CPACK_PACKAGE_CONTACT "The varnok developers <varnok@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "varnok finds a script file below a project directory and changes one key's value in place, keeping every other byte of the file.")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12)")

include(CPack)
