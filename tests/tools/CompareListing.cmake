# Runs vantor-dump --replay INPUT --format tsv and compares its output with EXPECTED.
execute_process(
  COMMAND ${PROGRAM} --replay ${INPUT} --format tsv
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "vantor-dump exited with ${status}: ${errors}")
endif()
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/actual.tsv "${actual}")
  message(FATAL_ERROR "listing differs from ${EXPECTED}; got (also in actual.tsv):\n${actual}")
endif()
