# Installs the build tree into a scratch prefix, builds examples/consumer
# against it with find_package(wendfit) and runs it: the installed package
# is complete and usable on its own.
# Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, CXX_COMPILER.
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK_DIR}/build
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/sphere_consumer)
if(NOT output MATCHES "[1-9][0-9]* vertices")
  message(FATAL_ERROR "unexpected consumer output: ${output}")
endif()
message(STATUS "consumer: ${output}")
