include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TALVORNCOMMON_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/TalvornCommon")

install(TARGETS TalvornCommon
  EXPORT TalvornCommonTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT TalvornCommonTargets
  NAMESPACE TalvornCommon::
  DESTINATION ${TALVORNCOMMON_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TalvornCommonConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TalvornCommonConfig.cmake
  INSTALL_DESTINATION ${TALVORNCOMMON_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/TalvornCommonConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/TalvornCommonConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TalvornCommonConfigVersion.cmake
  DESTINATION ${TALVORNCOMMON_CMAKE_DIR})

# pkg-config: the archive needs fmt, spdlog and pthreads at every link.
# The prefix is found relative to the .pc file, so the install can be moved
# (or made with `cmake --install --prefix`) after configuring.
file(RELATIVE_PATH TALVORNCOMMON_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${CMAKE_CURRENT_LIST_DIR}/talvorncommon.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/talvorncommon.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/talvorncommon.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
