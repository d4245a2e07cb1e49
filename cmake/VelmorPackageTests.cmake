# The package checks, as CTest tests: the build is installed into a prefix of
# its own, and tests/consumer is built and run against it three ways (the
# CMake package, pkg-config alone, and add_subdirectory of the sources).
set(velmor_package_prefix "${PROJECT_BINARY_DIR}/package-test/prefix")
set(velmor_package_work "${PROJECT_BINARY_DIR}/package-test")

add_test(NAME package.install
  COMMAND ${CMAKE_COMMAND} --install "${PROJECT_BINARY_DIR}" --prefix "${velmor_package_prefix}")
set_tests_properties(package.install PROPERTIES FIXTURES_SETUP velmor_package)

# Builds tests/consumer in `dir` with the `options`, then runs it.
function(velmor_consumer_test name dir)
  add_test(NAME package.${name}
    COMMAND ${CMAKE_CTEST_COMMAND} --build-and-test "${PROJECT_SOURCE_DIR}/tests/consumer" "${dir}"
      --build-generator "${CMAKE_GENERATOR}" --build-options ${ARGN}
      --test-command "${dir}/consumer" "${dir}/consumer.log")
endfunction()

velmor_consumer_test(find_package "${velmor_package_work}/find-package"
  "-DCMAKE_PREFIX_PATH=${velmor_package_prefix}" "-DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}")
velmor_consumer_test(add_subdirectory "${velmor_package_work}/add-subdirectory"
  "-DVELMOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}")
set_tests_properties(package.find_package PROPERTIES FIXTURES_REQUIRED velmor_package)

find_program(VELMOR_PKG_CONFIG pkg-config)
if(VELMOR_PKG_CONFIG)
  add_test(NAME package.pkg_config
    COMMAND ${CMAKE_COMMAND} "-DPKG_CONFIG=${VELMOR_PKG_CONFIG}" "-DCXX=${CMAKE_CXX_COMPILER}"
      "-DPREFIX=${velmor_package_prefix}" "-DLIBDIR=${CMAKE_INSTALL_LIBDIR}"
      "-DSOURCE=${PROJECT_SOURCE_DIR}/tests/consumer/main.cpp"
      "-DWORK=${velmor_package_work}/pkg-config"
      -P "${PROJECT_SOURCE_DIR}/cmake/VelmorPkgConfigConsumer.cmake")
  set_tests_properties(package.pkg_config PROPERTIES FIXTURES_REQUIRED velmor_package)
else()
  message(WARNING "pkg-config not found: the pkg-config package check is left out")
endif()

# The installed velmor-log runs from where it was installed.
if(VELMOR_BUILD_TOOLS)
  add_test(NAME package.velmor_log
    COMMAND ${CMAKE_COMMAND} -E env "${velmor_package_prefix}/${CMAKE_INSTALL_BINDIR}/velmor-log"
      --version)
  set_tests_properties(package.velmor_log PROPERTIES FIXTURES_REQUIRED velmor_package
    PASS_REGULAR_EXPRESSION "^velmor-log ${PROJECT_VERSION}\n$")
endif()
