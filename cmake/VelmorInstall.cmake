# Install rules: the library, its public headers and a relocatable CMake
# package, so that consumers can write
#   find_package(velmor_logging CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE velmor::logging)
include(CMakePackageConfigHelpers)

set(VELMOR_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/velmor_logging")

install(TARGETS velmor_logging EXPORT velmor_loggingTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES logging/log_sink.h logging/file_log_sink.h
  DESTINATION "${VELMOR_INSTALL_INCLUDEDIR}/logging")
install(EXPORT velmor_loggingTargets
  NAMESPACE velmor::
  DESTINATION "${VELMOR_CMAKE_INSTALL_DIR}")

configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/velmor_loggingConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/velmor_loggingConfig.cmake"
  INSTALL_DESTINATION "${VELMOR_CMAKE_INSTALL_DIR}")
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/velmor_loggingConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/velmor_loggingConfig.cmake"
  "${PROJECT_BINARY_DIR}/velmor_loggingConfigVersion.cmake"
  DESTINATION "${VELMOR_CMAKE_INSTALL_DIR}")
