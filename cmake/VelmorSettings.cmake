# Per-target compiler settings, and the helpers the project's CMake files share.

# Applies the project's settings to one of its own targets: C++17 without
# extensions, the warning set (errors with VELMOR_WARNINGS_AS_ERRORS) and the
# sanitizers named in VELMOR_SANITIZE. Never touches global flags.
function(velmor_target_settings target)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VELMOR_WARNINGS_AS_ERRORS}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
      $<$<BOOL:${VELMOR_WARNINGS_AS_ERRORS}>:-Werror>)
  endif()
  if(VELMOR_SANITIZE)
    # Every finding is fatal, so a sanitizer report always fails the test.
    set(flags -fsanitize=${VELMOR_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(${target} PRIVATE ${flags})
    target_link_options(${target} PRIVATE ${flags})
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
