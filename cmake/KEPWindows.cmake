# Windows builds (MinGW-w64, see mingw-w64-x86_64.cmake): Windows names for the DLLs, every
# program and DLL in one folder so that each finds the others, and MinGW's runtime DLLs copied
# beside them, so a program starts from its build or install folder with nothing added to PATH.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX NOUSER _WIN32_WINNT=0x0601)
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

set(KEP_MINGW_RUNTIME_DLLS "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "MinGW runtime ${dll} not found by ${CMAKE_CXX_COMPILER}")
  endif()
  file(COPY ${path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  list(APPEND KEP_MINGW_RUNTIME_DLLS ${path})
endforeach()
install(FILES ${KEP_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
