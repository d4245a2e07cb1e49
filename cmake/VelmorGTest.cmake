# Provides GTest::gtest and GTest::gtest_main: the installed package natively;
# built from Debian's googletest sources when cross-compiling, since no
# prebuilt GoogleTest exists for the target.
if(CMAKE_CROSSCOMPILING)
  set(VELMOR_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources to build when cross-compiling")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory("${VELMOR_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
