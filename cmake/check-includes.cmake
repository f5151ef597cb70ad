# Every #include names its header by name alone, so that only the include path the build gives a
# target finds it; the folders' allowed uses (platform/host/*/CMakeLists.txt) then hold, as a
# header of a folder that a target may not use is not on its path. The one path allowed is the
# support layer's "support/NAME.h", whose include directory reaches that folder alone. A path
# with "..", or through a folder of platform/, would step around the include path:
#   cmake -DTOP=<source tree> -P check-includes.cmake
cmake_minimum_required(VERSION 3.25)
# The tree's own folders: not the build trees under build/, nor git's.
file(GLOB folders LIST_DIRECTORIES true RELATIVE ${TOP} ${TOP}/*)
list(FILTER folders EXCLUDE REGEX "^(build|\\.git)$")
set(sources "")
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY ${TOP}/${folder})
    file(GLOB_RECURSE found RELATIVE ${TOP} ${TOP}/${folder}/*.cpp ${TOP}/${folder}/*.h
                                            ${TOP}/${folder}/*.c)
    list(APPEND sources ${found})
  endif()
endforeach()
set(errors "")
foreach(source IN LISTS sources)
  file(STRINGS ${TOP}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "[<\"]([^>\"]*)[>\"]" _ "${line}")
    set(name ${CMAKE_MATCH_1})
    if(name MATCHES "\\.\\." OR name MATCHES "^(host|win32|wince)/"
       OR (line MATCHES "\"" AND name MATCHES "/" AND NOT name MATCHES "^support/[^/]+$"))
      string(CONCAT error "${source}: #include of \"${name}\": name the header alone, and let "
                          "the include path of its target (its folder's allowed uses) find it")
      list(APPEND errors "${error}")
    endif()
  endforeach()
endforeach()
if(NOT sources)
  message(FATAL_ERROR "no sources found under ${TOP}")
endif()
if(errors)
  list(JOIN errors "\n" text)
  message(FATAL_ERROR "${text}")
endif()
list(LENGTH sources count)
message(STATUS "includes: ${count} sources name their headers alone")
