# cmake -DEMULATOR=a|b|c -DPROGRAM=path -DEXPECTED=n -P ExpectExitStatus.cmake
# Runs PROGRAM through the emulator (its words joined with '|') and fails unless the exit status
# that this POSIX process sees is EXPECTED.
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${PROGRAM} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT status STREQUAL EXPECTED)
  message(FATAL_ERROR "${PROGRAM}: exit status ${status}, expected ${EXPECTED}\n${out}${err}")
endif()
