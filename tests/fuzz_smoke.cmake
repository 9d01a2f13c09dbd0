# A few tens of thousands of fuzz executions from a copy of the seed corpus.
file(REMOVE_RECURSE ${WORK})
file(COPY ${CORPUS}/ DESTINATION ${WORK}/corpus)
execute_process(COMMAND ${FUZZ} -runs=40000 -max_len=60000 -seed=1 ${WORK}/corpus
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCH "Done [0-9]+ runs[^\n]*" done "${err}")
message(STATUS "fuzz smoke: ${done}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzz target failed (${rc}):\n${err}")
endif()
