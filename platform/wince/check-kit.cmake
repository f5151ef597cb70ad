# Fails unless the Platform Builder sources file lists exactly EXPECTED (paths from the top of
# the tree) and uses DEF as its export list:
#   cmake -DSOURCES_FILE=... -DEXPECTED=a.cpp;b.cpp -DDEF=driver/Timeward.def -P check-kit.cmake
file(READ "${SOURCES_FILE}" text)
string(REGEX REPLACE "\\\\\n" " " text "${text}")  # join continued lines
string(REPLACE "\\" "/" text "${text}")

string(REGEX MATCH "\nSOURCES=([^\n]*)" _ "${text}")
separate_arguments(listed UNIX_COMMAND "${CMAKE_MATCH_1}")
set(found "")
foreach(path IN LISTS listed)
  string(REGEX REPLACE "^(\\.\\./)+" "" path "${path}")
  list(APPEND found ${path})
endforeach()
list(SORT found)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "sources lists [${found}], the build compiles [${expected}]")
endif()

string(REGEX MATCH "\nDEFFILE=([^\n]*)" _ "${text}")
string(STRIP "${CMAKE_MATCH_1}" def)
string(REGEX REPLACE "^(\\.\\./)+" "" def "${def}")
if(NOT def STREQUAL DEF)
  message(FATAL_ERROR "sources uses DEFFILE ${def}, not ${DEF}")
endif()
foreach(needed "TARGETTYPE=DYNLINK" "TARGETNAME=Timeward" "coredll.lib")
  string(FIND "${text}" "${needed}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "sources lacks ${needed}")
  endif()
endforeach()
message(STATUS "sources builds ${found} with ${def}")
