# Run by CPack after installing into its staging tree and before packing:
# strips the staged programs as Debian's dh_strip does, removing the symbol
# tables and the compilers' .comment and .note sections, which the program
# does not need at run time.
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_VARNOK_STRIP}" --remove-section=.comment --remove-section=.note
                          --strip-unneeded "${program}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot strip ${program}: ${status}")
  endif()
endforeach()
