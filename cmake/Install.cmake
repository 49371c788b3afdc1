# Install rules, an exported CMake package (find_package(quarn)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS kelcore kelmsg quarncommon quarnparse quarnquery quarndocument EXPORT quarnTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The headers a host or an application needs, under include/quarn/. The scanner's adapters and
# the tree builder's insides stay out: no installed header may bring in Xerces-C (the builder's
# limits have a header of their own), nor the setters only a parser may use.
file(GLOB QUARN_PUBLIC_HEADERS CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/host/*.hpp ${PROJECT_SOURCE_DIR}/parser/*.hpp ${PROJECT_SOURCE_DIR}/writer/*.hpp
  ${PROJECT_SOURCE_DIR}/document/*.hpp ${PROJECT_SOURCE_DIR}/query/XmlPathQuery.hpp)
list(FILTER QUARN_PUBLIC_HEADERS EXCLUDE REGEX "/host/(KelThrow|KelUtf8|KelSingleByteTable|KelSyntaxElementAccess|KelSubtreeOrder)\\.hpp$")
list(APPEND QUARN_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/common/XmlConstants.hpp ${PROJECT_SOURCE_DIR}/common/XmlUtils.hpp
  ${PROJECT_SOURCE_DIR}/common/XmlOrvaneWriter.hpp ${PROJECT_SOURCE_DIR}/common/XmlElementType.hpp
  ${PROJECT_SOURCE_DIR}/builder/XmlBuilderLimits.hpp)
# Installed, each header's includes of its neighbours name them as <quarn/...> paths, so that
# one -I of the include folder serves and no generic folder name (host/, common/) is put on a
# program's include path.
install(CODE "set(QUARN_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(QUARN_HEADERS \"${QUARN_PUBLIC_HEADERS}\")
  set(QUARN_INCLUDE_DESTINATION \"${CMAKE_INSTALL_INCLUDEDIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallHeaders.cmake\")")
install(EXPORT quarnTargets NAMESPACE quarn:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quarn)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quarnConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quarnConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quarn)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quarnConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quarnConfig.cmake ${PROJECT_BINARY_DIR}/quarnConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quarn)
# The pkg-config file finds its prefix relative to itself, so an installed tree can be moved; its
# run path lets a program built with it start without LD_LIBRARY_PATH.
file(RELATIVE_PATH QUARN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quarn.pc.in ${PROJECT_BINARY_DIR}/quarn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quarn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
