# Install rules, the CMake package config and the pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS pcbinspect
  EXPORT pcbinspectTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/pcbinspect/exports.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pcbinspect)

set(PCBINSPECT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pcbinspect)
install(EXPORT pcbinspectTargets
  NAMESPACE pcbinspect::
  DESTINATION ${PCBINSPECT_CMAKE_DIR})
configure_package_config_file(cmake/pcbinspectConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pcbinspectConfig.cmake
  INSTALL_DESTINATION ${PCBINSPECT_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/pcbinspectConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/pcbinspectConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/pcbinspectConfigVersion.cmake
  DESTINATION ${PCBINSPECT_CMAKE_DIR})

# The pkg-config file finds its prefix from where it is installed, so the
# installed tree can be moved.
file(RELATIVE_PATH PCBINSPECT_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" PCBINSPECT_PC_TO_PREFIX "${PCBINSPECT_PC_TO_PREFIX}")
configure_file(cmake/pcbinspect.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pcbinspect.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pcbinspect.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
