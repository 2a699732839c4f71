# Script test of the installed package (run by ctest with cmake -P):
# installs BUILD_DIR into WORK_DIR/prefix, configures and builds the example against it with
# find_package, runs it, and checks the pkg-config file.
# Inputs: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, CXX, EXTRA_FLAGS (sanitizer flags).
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(header messaging/KEPMsgSocketCommunicator.h base/KEPBasSocketMessage.h
               KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h platform/KEPWinsock.h
               tools/KEPMsgToolMessages.h)
  if(NOT EXISTS ${prefix}/include/ORVKEPMsgComm/${header})
    message(FATAL_ERROR "header not installed: include/ORVKEPMsgComm/${header}")
  endif()
endforeach()

set(flags "${EXTRA_FLAGS}")
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/example -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/example)
run(${WORK_DIR}/example/kep_example_loopback)
message(STATUS "example: ${run_output}")

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  file(GLOB pc_files ${prefix}/*/ORVKEPMsgComm.pc ${prefix}/*/*/ORVKEPMsgComm.pc
       ${prefix}/*/*/*/ORVKEPMsgComm.pc)
  if(NOT pc_files)
    message(FATAL_ERROR "ORVKEPMsgComm.pc not installed under ${prefix}")
  endif()
  list(GET pc_files 0 pc_file)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --cflags --libs ORVKEPMsgComm)
  string(STRIP "${run_output}" pc_flags)
  if(NOT pc_flags MATCHES "-I[^ ]*/include/ORVKEPMsgComm" OR
     NOT pc_flags MATCHES "-lORVKEPMsgCommModules")
    message(FATAL_ERROR "unexpected pkg-config flags: ${pc_flags}")
  endif()
  # The include directory it names must be the installed one.
  string(REGEX MATCH "-I([^ ]*)" include_flag "${pc_flags}")
  if(NOT EXISTS ${CMAKE_MATCH_1}/messaging/KEPMsgSocketCommunicator.h)
    message(FATAL_ERROR "pkg-config include directory has no headers: ${CMAKE_MATCH_1}")
  endif()
endif()
