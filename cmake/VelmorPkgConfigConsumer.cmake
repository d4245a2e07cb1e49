# Compiles and runs tests/consumer with nothing but what pkg-config says of
# the installed package.
#
#   cmake -DPKG_CONFIG=<exe> -DCXX=<compiler> -DPREFIX=<prefix> -DLIBDIR=<lib>
#         -DSOURCE=<main.cpp> -DWORK=<dir> -P VelmorPkgConfigConsumer.cmake
file(MAKE_DIRECTORY "${WORK}")
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs velmor_logging
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know velmor_logging under ${PREFIX}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND "${CXX}" -std=c++17 "${SOURCE}" -o "${WORK}/consumer" ${flags}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the consumer does not build with pkg-config's flags: ${flags}")
endif()
execute_process(COMMAND "${WORK}/consumer" "${WORK}/consumer.log" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the consumer built with pkg-config's flags failed")
endif()
