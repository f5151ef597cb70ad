# Installs the build into a new prefix and plays the demo with the installed program, which must
# find its core library and the driver module under the prefix, not in the build.
# -DBUILD=<build directory> -DPREFIX=<a new directory> -DBINDIR=bin -DLIBDIR=lib/... -DMANDIR=...
# [-DEMULATOR="qemu-arm ..." -DREADELF=<the target's readelf>]
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(file ${BINDIR}/timeward-sim ${LIBDIR}/libcoredll.so ${LIBDIR}/libTimeward.so
             ${MANDIR}/man1/timeward-sim.1 ${MANDIR}/man1/timewardctl.1)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(READ ${PREFIX}/${MANDIR}/man1/timeward-sim.1 man)
if(NOT man MATCHES "\\.SH SCENARIO FORMAT")
  message(FATAL_ERROR "the man page lacks the scenario format")
endif()

set(sim ${PREFIX}/${BINDIR}/timeward-sim)
# The libraries a file takes, as its dynamic loader resolves them: ldd on the host; in a cross
# build (-DEMULATOR="qemu-arm ..." -DREADELF=...) the target's loader, named by the program's
# interpreter, run under the emulator with --list, which is what ldd does.
set(list_libs ldd)
if(EMULATOR)
  execute_process(COMMAND ${READELF} -l ${sim} OUTPUT_VARIABLE headers)
  if(NOT headers MATCHES "interpreter: ([^]\n]+)\\]")
    message(FATAL_ERROR "${sim} names no program interpreter:\n${headers}")
  endif()
  # The emulator opens the loader as a host file: under its -L root, where one is given.
  set(loader ${CMAKE_MATCH_1})
  list(FIND EMULATOR -L at)
  if(NOT at EQUAL -1)
    math(EXPR at "${at} + 1")
    list(GET EMULATOR ${at} root)
    set(loader ${root}${loader})
  endif()
  set(list_libs ${EMULATOR} ${loader} --list)
endif()
foreach(user ${sim} ${PREFIX}/${LIBDIR}/libTimeward.so)
  execute_process(COMMAND ${list_libs} ${user} OUTPUT_VARIABLE libs RESULT_VARIABLE rc)
  string(FIND "${libs}" "libcoredll.so => ${PREFIX}/" at)
  if(NOT rc EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${user} does not take its core library from the prefix:\n${libs}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=TIMEWARD_MODULE_DIR ${EMULATOR} ${sim} --version
                OUTPUT_VARIABLE version)
string(FIND "${version}" "driver module: ${PREFIX}/${LIBDIR}/libTimeward.so" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the installed program loads the driver from elsewhere:\n${version}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=TIMEWARD_MODULE_DIR ${EMULATOR} ${sim} --instant demo
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "verdict: PASS")
  message(FATAL_ERROR "the installed demo failed (${rc}):\n${out}${err}")
endif()
# The man page's example: a bundled scenario played by its bare name, on a device of its own.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TMPDIR=${PREFIX} ${EMULATOR} ${sim} --instant
                        play clock-set-back
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "clock-set-back played")
  message(FATAL_ERROR "the installed program cannot play a bundled scenario (${rc}):\n${out}${err}")
endif()
file(REMOVE_RECURSE ${PREFIX})
