# CTest driver for a program whose whole verdict is its output: passes only if
# the program exits 0, its standard output matches EXPECT_STDOUT_REGEX and its
# standard error is empty.
#
#   cmake -DPROGRAM=<exe> [-DEMULATOR=<cmd|arg|...>] -DEXPECT_STDOUT_REGEX=<re>
#         -P VelmorRunProgram.cmake
if(NOT DEFINED PROGRAM OR NOT DEFINED EXPECT_STDOUT_REGEX)
  message(FATAL_ERROR "PROGRAM and EXPECT_STDOUT_REGEX are required")
endif()
set(command "${PROGRAM}")
if(EMULATOR)
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  set(command ${emulator} "${PROGRAM}")
endif()
execute_process(COMMAND ${command}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("stdout: [${out}]")
message("stderr: [${err}]")
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "exit status ${rc}, expected 0")
endif()
if(NOT out MATCHES "${EXPECT_STDOUT_REGEX}")
  message(FATAL_ERROR "standard output does not match ${EXPECT_STDOUT_REGEX}")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "standard error is not empty")
endif()
