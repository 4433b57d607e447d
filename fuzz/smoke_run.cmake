# Fuzzes one target for a few seconds from its committed corpus, in a fresh work directory that
# takes the new inputs (the committed corpus is only read). Fails when the fuzzer finds a crash,
# a leak, a time-out or a broken property; the input is kept in the work directory.
#   cmake -DFUZZER=<binary> -DWORK=<dir> -DSECONDS=<n> -DCORPUS=<dir> -DMALLOC_LIMIT_MB=<n>
#         [-DEXTRA=<libFuzzer options, ;-separated>] -P smoke_run.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=20 -malloc_limit_mb=${MALLOC_LIMIT_MB}
          -entropic_scale_per_exec_time=1 -print_final_stats=1 ${EXTRA}
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus ${CORPUS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/artifacts")
endif()
