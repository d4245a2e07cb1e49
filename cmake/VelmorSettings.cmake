# Per-target compiler warnings, and the helpers the project's CMake files share.

# Turns on the project's warning set for `target`; with
# VELMOR_WARNINGS_AS_ERRORS they become errors. Never touches global flags.
function(velmor_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VELMOR_WARNINGS_AS_ERRORS}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
      $<$<BOOL:${VELMOR_WARNINGS_AS_ERRORS}>:-Werror>)
  endif()
endfunction()

# Sets `out` to `path` as the test programs will see it: a Windows path when
# the tests run under Wine (Z: maps the Unix root), the path unchanged
# elsewhere.
function(velmor_native_path out path)
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    string(REPLACE "/" "\\" converted "Z:${path}")
  else()
    file(TO_NATIVE_PATH "${path}" converted)
  endif()
  set(${out} "${converted}" PARENT_SCOPE)
endfunction()
