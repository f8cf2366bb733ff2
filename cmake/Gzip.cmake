# Compresses INPUT into OUTPUT as Debian wants it (gzip -9n): the best
# compression, and no name or time stamp, so the result depends on the
# content alone.
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND "${GZIP}" -9nc INPUT_FILE "${INPUT}" OUTPUT_FILE "${OUTPUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "gzip -9n ${INPUT} failed: ${status}")
endif()
