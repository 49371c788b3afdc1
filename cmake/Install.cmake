# Install rules, an exported CMake package (find_package(quarn)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS kelcore kelmsg quarncommon quarnparse quarnquery EXPORT quarnTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir host common parser builder writer query)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quarn/${dir}
    FILES_MATCHING PATTERN "*.hpp")
endforeach()
install(EXPORT quarnTargets NAMESPACE quarn:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quarn)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quarnConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quarnConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quarn)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quarnConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quarnConfig.cmake ${PROJECT_BINARY_DIR}/quarnConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quarn)
# The pkg-config file finds its prefix relative to itself, so an installed tree can be moved.
file(RELATIVE_PATH QUARN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quarn.pc.in ${PROJECT_BINARY_DIR}/quarn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quarn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
