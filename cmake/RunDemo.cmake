# Copies the demo project to WORK, changes three settings of its script with
# PROGRAM, and prints the script before and after.
file(REMOVE_RECURSE "${WORK}")
file(COPY "${SOURCE}/" DESTINATION "${WORK}")
set(script "${WORK}/installer/setup.ini")
file(WRITE "${WORK}.input" "\n")

file(READ "${script}" before)
message("--- ${script}, before:\n${before}")
foreach(assignment "setup.ini:Setup.Version=2.0" "setup.ini:Interface.TextBox1=Bob"
                   "setup.ini:Interface.NumberBox1=8")
  message("--- varnok -P:${WORK} -O:${assignment}")
  execute_process(COMMAND "${PROGRAM}" "-P:${WORK}" "-O:${assignment}"
                  INPUT_FILE "${WORK}.input" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "varnok ended with status ${status}")
  endif()
endforeach()
file(READ "${script}" after)
message("--- ${script}, after:\n${after}")
