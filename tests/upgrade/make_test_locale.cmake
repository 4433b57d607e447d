# Builds de_DE.UTF-8 (decimal comma) into OUT for the locale test; does nothing when it cannot.
find_program(LOCALEDEF localedef)
if(EXISTS ${OUT}/de_DE.UTF-8/LC_NUMERIC OR NOT LOCALEDEF)
  return()
endif()
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${LOCALEDEF} -i de_DE -f UTF-8 ${OUT}/de_DE.UTF-8
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
message(STATUS "localedef de_DE.UTF-8: ${result}")
