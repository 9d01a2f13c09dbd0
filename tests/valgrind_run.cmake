# Runs the tool under valgrind on a copy of the examples; any error fails.
file(REMOVE_RECURSE ${WORK})
file(COPY ${EXAMPLES}/ DESTINATION ${WORK})
execute_process(COMMAND ${VALGRIND} -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect ${EXE}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(READ ${WORK}/prot.txt prot)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT prot MATCHES "um eine Zeile ergaenzt")
  message(FATAL_ERROR "valgrind run failed (${rc}):\n${out}${err}\n${prot}")
endif()
