# Compiles the driver's and timewardctl's sources for 32-bit ARM Windows (Thumb-2) with clang,
# against the Windows CE backend and the stand-in SDK headers alone (no system header at all: a
# call or a header that Windows CE 5.0 does not give fails), with the driver's flags (the driver
# targets' compile options, -Wcast-align among them on ARM), together with the ABI facts in
# ABI_CHECK. This checks the language, the declarations and the ABI (16-bit wchar_t, 32-bit
# pointers, signed char), not CE machine code.
#   cmake -DCLANG=clang++ -DTOP=<source tree> -DSOURCES=clock/a.cpp;... -DABI_CHECK=file.cpp
#         "-DDRIVER_FLAGS=-Wall;..." -DOUT=<object directory> -P check-wince-arm.cmake
cmake_minimum_required(VERSION 3.25)

find_program(clang NAMES ${CLANG} clang++ clang++-14)
if(NOT clang)
  message(FATAL_ERROR "clang++ is missing: apt-get install clang")
endif()

if(NOT DRIVER_FLAGS MATCHES "-Werror")
  message(FATAL_ERROR "DRIVER_FLAGS, the driver targets' compile options, are [${DRIVER_FLAGS}]")
endif()
# The driver's flags and standard, as every build compiles driver code.
set(flags --target=armv7-w64-windows-gnu -Os -std=c++03 ${DRIVER_FLAGS}
    -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -nostdinc -nostdinc++
    -I${TOP}/platform/wince -I${TOP}/platform/wince/sdk-check -I${TOP}/platform
    -I${TOP}/clock -I${TOP}/driver)

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
set(failed "")
foreach(source IN LISTS SOURCES ABI_CHECK)
  get_filename_component(name ${source} NAME_WE)
  execute_process(COMMAND ${clang} ${flags} -c ${TOP}/${source} -o ${OUT}/${name}.o
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(APPEND failed ${source})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "for 32-bit ARM Windows, these do not compile: ${failed}")
endif()
list(LENGTH SOURCES count)
message(STATUS "${count} sources of the driver and timewardctl, and the ABI facts, compile for "
               "armv7-w64-windows-gnu")
