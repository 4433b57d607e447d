# Runs the image check on IMAGE and expects a refusal whose message matches EXPECT, with no
# checked copy written to COPY.
file(REMOVE ${COPY})
execute_process(COMMAND ${TOOL} ${KIND} ${IMAGE} ${COPY}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result EQUAL 0)
  message(FATAL_ERROR "the ${KIND} image ${IMAGE} was accepted")
endif()
if(NOT err MATCHES "${EXPECT}")
  message(FATAL_ERROR "refused, but the message does not match '${EXPECT}':\n${err}")
endif()
if(EXISTS ${COPY})
  message(FATAL_ERROR "a refused image was copied to ${COPY}")
endif()
message(STATUS "refused as expected:\n${err}")
