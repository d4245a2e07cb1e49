# The binary archive (cpack -G ZIP on Windows, TGZ elsewhere): one install
# tree, rooted at velmor-logging-<version>-<system>/. A build of one flavour
# holds either the DLL or the static library; VELMOR_PACKAGE_ALSO names a
# build of the other flavour from the same sources, installed first, so that
# the archive holds both and this build's CMake package is the one it keeps.
set(VELMOR_PACKAGE_ALSO "" CACHE PATH "Another build of these sources whose install the archive takes in first")

set(CPACK_PACKAGE_NAME velmor-logging)
set(CPACK_PACKAGE_VENDOR "The velmor-logging developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(velmor_package_system win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(velmor_package_system "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(CPACK_PACKAGE_FILE_NAME "velmor-logging-${PROJECT_VERSION}-${velmor_package_system}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
if(VELMOR_PACKAGE_ALSO)
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${VELMOR_PACKAGE_ALSO};velmor_logging;ALL;/"
    "${PROJECT_BINARY_DIR};velmor_logging;ALL;/")
endif()
include(CPack)
