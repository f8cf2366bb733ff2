# The documents a Debian package carries in /usr/share/doc/varnok: the
# licence in Debian's machine-readable copyright format, the changelog kept
# by hand (CHANGELOG.md) and the package's own changelog, both compressed
# with gzip -9n. The packaging is part of this source tree, so the package
# is "native" (no Debian revision) and its changelog.gz is CHANGELOG.md; the
# Debian tools read changelog.Debian.gz first, and find there the package's
# history in their own format.
set(docs ${CMAKE_BINARY_DIR}/debian-docs)

# LICENSE's terms, below its title and copyright lines, as the copyright
# file's licence paragraph: each line indented by one space, blank lines
# written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^MIT License\n\n(Copyright \\(c\\) )?([^\n]*)\n\n" "" terms "${licence}")
set(copyright_holder "${CMAKE_MATCH_2}")
string(REGEX REPLACE "\n$" "" terms "${terms}")
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms " ${terms}")
file(WRITE ${docs}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: varnok

Files: *
Copyright: ${copyright_holder}
License: Expat
${terms}
")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

file(WRITE ${docs}/changelog.Debian
"varnok (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}; its changes are listed in changelog.gz.

 -- ${VARNOK_MAINTAINER}  ${VARNOK_RELEASE_DATE}
")

function(varnok_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -P ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake)
endfunction()
varnok_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${docs}/changelog.gz)
varnok_gzip(${docs}/changelog.Debian ${docs}/changelog.Debian.gz)
add_custom_target(debian_docs ALL DEPENDS ${docs}/changelog.gz ${docs}/changelog.Debian.gz)

install(FILES ${docs}/copyright ${docs}/changelog.gz ${docs}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
