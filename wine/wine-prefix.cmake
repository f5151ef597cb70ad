# Makes a fresh Wine prefix: cmake -DPREFIX=dir -DWINE=wine64 [-DARCH=win64|win32] -P wine-prefix.cmake
if(NOT ARCH)
  set(ARCH win64)
endif()
file(REMOVE_RECURSE "${PREFIX}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEARCH=${ARCH} WINEDEBUG=-all
          WINEDLLOVERRIDES=mscoree,mshtml= ${WINE} wineboot --init
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 300)
if(NOT rc EQUAL 0 OR NOT EXISTS "${PREFIX}/system.reg")
  message(FATAL_ERROR "wineboot could not make ${PREFIX} (${rc})")
endif()
