# The platform cases (platform_cases.cpp), one ctest test each, named Platform.CASE on every
# backend. The names come from the source, so every preset lists the same cases; a case a
# backend skips, with its reason, counts as skipped.
#   timeward_platform_cases(TARGET [COMMAND...]): runs TARGET's file after COMMAND when given
#   (Wine), else TARGET itself (with the cross-compiling emulator, if any).
function(timeward_platform_cases target)
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/platform_cases.cpp lines
       REGEX "^TEST\\(Platform, [A-Za-z0-9]+\\)")
  set(program ${target})
  if(ARGN)
    set(program ${ARGN} $<TARGET_FILE:${target}>)
  endif()
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^TEST\\(Platform, ([A-Za-z0-9]+)\\).*" "Platform.\\1" name "${line}")
    add_test(NAME ${name} COMMAND ${program} --gtest_filter=${name})
    # A filter that matches nothing runs no test: that is no pass.
    set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 1 test"
      SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\] 1 test")
    list(APPEND names ${name})
  endforeach()
  set(TIMEWARD_PLATFORM_CASES ${names} PARENT_SCOPE)
endfunction()
