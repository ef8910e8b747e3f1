# Runs a fuzz target for SECONDS seconds on a fresh copy of its seed corpus.
# Crash reproducers land in WORK_DIR/artifacts.
foreach(variable FUZZER SEEDS WORK_DIR SECONDS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "RunFuzzer.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR}/corpus)
file(MAKE_DIRECTORY ${WORK_DIR}/corpus ${WORK_DIR}/artifacts)
file(GLOB seeds ${SEEDS}/*)
if(NOT seeds)
  message(FATAL_ERROR "no seed inputs in ${SEEDS}")
endif()
file(COPY ${seeds} DESTINATION ${WORK_DIR}/corpus)

execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
    -artifact_prefix=${WORK_DIR}/artifacts/ ${WORK_DIR}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); reproducers in ${WORK_DIR}/artifacts")
endif()
