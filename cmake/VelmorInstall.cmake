# Install rules: the library, its public headers, a relocatable CMake package,
# so that consumers can write
#   find_package(velmor_logging CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE velmor::logging)
# and a relocatable pkg-config file (velmor_logging.pc).
include(CMakePackageConfigHelpers)

set(VELMOR_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/velmor_logging")

install(TARGETS velmor_logging EXPORT velmor_loggingTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES logging/log_sink.h logging/rotation_policy.h logging/file_log_sink.h
  logging/async_file_log_sink.h
  "${PROJECT_BINARY_DIR}/include/logging/velmor_logging_export.h"
  DESTINATION "${VELMOR_INSTALL_INCLUDEDIR}/logging")
install(EXPORT velmor_loggingTargets
  NAMESPACE velmor::
  DESTINATION "${VELMOR_CMAKE_INSTALL_DIR}")

set(VELMOR_ZSTD_DEPENDENCY "")
set(VELMOR_PC_ZSTD "")
if(VELMOR_HAVE_ZSTD_VALUE)
  set(VELMOR_ZSTD_DEPENDENCY "find_dependency(zstd CONFIG)")
  set(VELMOR_PC_ZSTD " libzstd")
endif()
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

# pkg-config: everything a consumer needs is in --cflags and --libs. The file
# finds its prefix from its own place, so the tree can be moved.
file(RELATIVE_PATH velmor_pc_to_prefix "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
if(BUILD_SHARED_LIBS)
  set(velmor_pc_cflags "")
  # Let the plain compiler command produce a program that finds the library.
  set(velmor_pc_libs "-Wl,-rpath,\${libdir}")
  if(WIN32 OR NOT VELMOR_INSTALL_RPATH)
    set(velmor_pc_libs "")
  endif()
else()
  set(velmor_pc_cflags "-DVELMOR_LOGGING_STATIC_DEFINE")
  # zlib too, so that the plain `pkg-config --libs` links a static build.
  set(velmor_pc_libs "-pthread -lz")
  if(VELMOR_HAVE_ZSTD_VALUE)
    string(APPEND velmor_pc_libs " -lzstd")
  endif()
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/velmor_logging.pc.in"
  "${PROJECT_BINARY_DIR}/velmor_logging.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/velmor_logging.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
