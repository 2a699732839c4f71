# Reads the export table of the module DLL (objdump -p) and checks that every lifecycle entry
# point is there: the C-callable ones and DllMain undecorated, the C++ ones by their mangled
# names.  cmake -DOBJDUMP=... -DDLL=... -P kep_export_table_test.cmake
cmake_policy(SET CMP0057 NEW)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${status})")
endif()
# The export table's name rows: "[ordinal] name".
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_0-9]+" rows "${dump}")
set(exported "")
foreach(row ${rows})
  string(REGEX REPLACE "^.* " "" name "${row}")
  list(APPEND exported ${name})
endforeach()
set(missing "")
foreach(name KEPMsgCommModules_initializeC KEPMsgCommModules_finalizeC DllMain
             _Z28KEPMsgCommModules_initializeRi _Z26KEPMsgCommModules_finalizeRi
             _Z37KEPMsgCommModules_specific_initializeRi _Z35KEPMsgCommModules_specific_finalizeRi
             _Z21KEPMsgComm_initializeRi _Z19KEPMsgComm_finalizeRi _Z7Startupv)
  if(NOT name IN_LIST exported)
    list(APPEND missing ${name})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "not exported by ${DLL}: ${missing}")
endif()
list(LENGTH exported count)
message(STATUS "${count} names exported, every lifecycle entry point among them")
