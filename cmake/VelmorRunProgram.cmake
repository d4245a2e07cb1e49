# CTest driver for a program whose whole verdict is its output: passes only if
# the program exits 0, its standard output matches EXPECT_STDOUT_REGEX and its
# standard error is empty.
#
#   cmake -DPROGRAM=<exe> [-DEMULATOR=<cmd|arg|...>] [-DWINE_TEMP=<dir>]
#         -DEXPECT_STDOUT_REGEX=<re> -P VelmorRunProgram.cmake
#
# WINE_TEMP (a Windows path) becomes the program's TMP and TEMP under Wine,
# which replaces both variables from its registry at start-up, so they are
# set inside the Windows process tree through cmd.
if(NOT DEFINED PROGRAM OR NOT DEFINED EXPECT_STDOUT_REGEX)
  message(FATAL_ERROR "PROGRAM and EXPECT_STDOUT_REGEX are required")
endif()
set(command "${PROGRAM}")
if(EMULATOR)
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  set(command ${emulator} "${PROGRAM}")
  if(WINE_TEMP)
    string(REPLACE "/" "\\" program "Z:${PROGRAM}")
    set(command ${emulator} cmd /c
      "set TMP=${WINE_TEMP}&& set TEMP=${WINE_TEMP}&& ${program}")
  endif()
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
