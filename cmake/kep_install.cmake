# Installation and packaging: both libraries, the public headers under
# include/ORVKEPMsgComm/<folder>/, a CMake package (find_package(ORVKEPMsgComm) gives
# ORVKEPMsgComm::ORVKEPMsgCommModules and ORVKEPMsgComm::ORVKEPBase) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(KEP_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ORVKEPMsgComm)
set(KEP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ORVKEPMsgComm)

# The static layers are linked whole into the module and stay private to it, so the export set
# holds only the two shared libraries.
install(TARGETS ORVKEPBase ORVKEPMsgCommModules
  EXPORT ORVKEPMsgCommTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${KEP_INSTALL_INCLUDEDIR})

foreach(folder base KEPBase/ProtectedInterfaces platform frame sockets connection channels
               messaging)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/
    DESTINATION ${KEP_INSTALL_INCLUDEDIR}/${folder}
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/tools/KEPMsgToolMessages.h
  DESTINATION ${KEP_INSTALL_INCLUDEDIR}/tools)

install(EXPORT ORVKEPMsgCommTargets
  NAMESPACE ORVKEPMsgComm::
  FILE ORVKEPMsgCommTargets.cmake
  DESTINATION ${KEP_INSTALL_CMAKEDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ORVKEPMsgCommConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ORVKEPMsgCommConfig.cmake
  INSTALL_DESTINATION ${KEP_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ORVKEPMsgCommConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/ORVKEPMsgCommConfig.cmake
  ${PROJECT_BINARY_DIR}/ORVKEPMsgCommConfigVersion.cmake
  DESTINATION ${KEP_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own location, so the package can be installed under
# any prefix (cmake --install --prefix) and moved afterwards.
file(RELATIVE_PATH KEP_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" KEP_PC_TO_PREFIX "${KEP_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/ORVKEPMsgComm.pc.in
  ${PROJECT_BINARY_DIR}/ORVKEPMsgComm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ORVKEPMsgComm.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The installed package works for a host: install into a scratch prefix, build the example
# against it with find_package, and run it.
# (Not on Windows: it builds the example with the host's compiler; the Windows package is
# checked by the two-platform interop check, which runs the installed kepmsg.exe.)
if(KEP_BUILD_TESTS AND KEP_BUILD_TOOLS AND NOT WIN32)
  # The example must be built with the same sanitizer as the libraries it links.
  string(REPLACE ";" " " KEP_INSTALL_TEST_FLAGS "${KEP_SANITIZER_FLAGS}")
  add_test(NAME kep_install_package
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DWORK_DIR=${PROJECT_BINARY_DIR}/install-test
      -DGENERATOR=${CMAKE_GENERATOR}
      -DCXX=${CMAKE_CXX_COMPILER}
      "-DEXTRA_FLAGS=${KEP_INSTALL_TEST_FLAGS}"
      -P ${PROJECT_SOURCE_DIR}/cmake/kep_install_test.cmake)
  set_tests_properties(kep_install_package PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()

# The Windows package for Windows hosts: one ZIP of the installed tree (cpack -G ZIP).
if(WIN32)
  set(CPACK_PACKAGE_NAME ORVKEPMsgComm)
  set(CPACK_PACKAGE_FILE_NAME ORVKEPMsgComm-${PROJECT_VERSION}-win64)
  set(CPACK_GENERATOR ZIP)
  include(CPack)
endif()
