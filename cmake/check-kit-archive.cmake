# Makes the kit archive as the kit preset does, unpacks it into an empty directory and checks the
# unpacked tree:
#   cmake -DCPACK=cpack -DSOURCE=. -DWORK=dir -DNAME=Timeward-1.0-kit
#         -DTOP=Timeward -DLICENSE=LICENSE -DEXPECTED=... -DDEF=driver/Timeward.def
#         -DCHECK=check-kit.cmake -P check-kit-archive.cmake
# NAME is the archive's name, TOP the one folder it unpacks to, LICENSE the licence it carries.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/unpacked")
# The kit preset's build, here: it must configure with GoogleTest out of reach and build nothing.
set(build "${WORK}/build")
execute_process(COMMAND ${CMAKE_COMMAND} --preset kit -B ${build} WORKING_DIRECTORY ${SOURCE}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the kit preset does not configure (${rc}):\n${out}")
endif()
file(STRINGS "${build}/CMakeCache.txt" gtest REGEX "^GTest_DIR:")
if(gtest AND NOT gtest MATCHES "NOTFOUND$")
  message(FATAL_ERROR "the kit preset found GoogleTest: ${gtest}")
endif()
execute_process(COMMAND ${CPACK} -G ZIP --config ${build}/CPackConfig.cmake -B ${WORK}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB_RECURSE built "${build}/*.o" "${build}/*.so" "${build}/*.a")
if(built)
  message(FATAL_ERROR "making the kit built what it does not hold: ${built}")
endif()
set(zip "${WORK}/${NAME}.zip")
if(NOT rc EQUAL 0 OR NOT EXISTS "${zip}")
  message(FATAL_ERROR "cpack made no ${NAME}.zip (${rc}):\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip}
  WORKING_DIRECTORY "${WORK}/unpacked" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zip}")
endif()

set(kit "${WORK}/unpacked/${TOP}")
# One folder, named as the guide places it, holding the kit and nothing else: no programs or
# libraries of the host build.
file(GLOB top RELATIVE "${WORK}/unpacked" "${WORK}/unpacked/*")
if(NOT top STREQUAL TOP)
  message(FATAL_ERROR "${NAME}.zip holds ${top} at its top, not ${TOP} alone")
endif()
file(GLOB entries RELATIVE "${kit}" "${kit}/*")
list(REMOVE_ITEM entries README.md dirs LICENSE clock driver ctl platform docs)
if(entries)
  message(FATAL_ERROR "${NAME}.zip holds what is not the kit: ${entries}")
endif()
foreach(file README.md ${DEF} driver/timeward.reg platform/wince/Timeward.bib
             docs/integrator-guide.md ctl/timewardctl.cpp LICENSE)
  if(NOT EXISTS "${kit}/${file}")
    message(FATAL_ERROR "${NAME}.zip lacks ${file}")
  endif()
endforeach()
# The README says where to start: every folder, the five steps, and the check-out.
file(READ "${kit}/README.md" readme)
foreach(part "`clock/`" "`driver/`" "`ctl/`" "`platform/`" "`docs/`" "**Copy**" "**`dirs`:**"
             "**Merge**" "**Components:**" "**Build**" "timewardctl check")
  string(FIND "${readme}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${NAME}.zip: its README.md does not name ${part}")
  endif()
endforeach()
file(READ "${LICENSE}" licence)
file(READ "${kit}/LICENSE" packed_licence)
if(NOT packed_licence STREQUAL licence)
  message(FATAL_ERROR "${NAME}.zip: its LICENSE is not the project's ${LICENSE}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -DKIT=${kit} "-DEXPECTED=${EXPECTED}"
                        -DDEF=${DEF} -DBIB=platform/wince/Timeward.bib -P ${CHECK}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the unpacked kit fails the kit check:\n${out}")
endif()
file(SIZE "${zip}" size)
message(STATUS "${NAME}.zip: ${size} bytes; ${out}")
