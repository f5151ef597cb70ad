# The integrator's kit: cpack makes Timeward-<version>-kit.zip, which unpacks to one folder,
# Timeward, ready to drop into a platform's DRIVERS directory: a README that says where to start,
# the Platform Builder tree, the sources it builds, timewardctl, the registry, image and export
# files, the guide and the licence. The kit preset makes it from a configured tree alone
# (`cmake --preset kit && cpack --preset kit`): nothing is built, and GoogleTest is not looked
# for. Its files are the install component "kit", which a plain `cmake --install` leaves
# out: that installs timeward-sim.
set(kit Timeward)
install(FILES dirs LICENSE DESTINATION ${kit} COMPONENT kit EXCLUDE_FROM_ALL)
get_target_property(clock_sources timeward_clock SOURCES)
file(GLOB clock_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/clock/*.h)
list(TRANSFORM clock_sources PREPEND ${PROJECT_SOURCE_DIR}/clock/)
install(FILES clock/sources clock/makefile ${clock_sources} ${clock_headers}
        DESTINATION ${kit}/clock COMPONENT kit EXCLUDE_FROM_ALL)
file(GLOB driver_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/driver/*.h)
install(FILES driver/sources driver/makefile ${TIMEWARD_DRIVER_SOURCES} ${driver_headers}
              driver/Timeward.def driver/Timeward.rc driver/timeward.reg
        DESTINATION ${kit}/driver COMPONENT kit EXCLUDE_FROM_ALL)
file(GLOB ctl_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/ctl/*.h)
install(FILES ctl/sources ctl/makefile ${TIMEWARD_CTL_SOURCES} ${ctl_headers}
        DESTINATION ${kit}/ctl COMPONENT kit EXCLUDE_FROM_ALL)
install(FILES platform/platform.h DESTINATION ${kit}/platform COMPONENT kit EXCLUDE_FROM_ALL)
install(FILES platform/wince/timeward_backend.h platform/wince/Timeward.bib
        DESTINATION ${kit}/platform/wince COMPONENT kit EXCLUDE_FROM_ALL)
install(FILES docs/integrator-guide.md DESTINATION ${kit}/docs COMPONENT kit EXCLUDE_FROM_ALL)
install(FILES docs/kit-readme.md DESTINATION ${kit} RENAME README.md COMPONENT kit
        EXCLUDE_FROM_ALL)
# Every file of the kit is text, and gets CRLF line ends as it is packed, for the editors of a
# Platform Builder workstation (older ones show a file of LF ends as one line); the tree keeps
# LF. Last of the kit's install rules, so it finds all of the kit's files in place.
string(CONFIGURE [[
  file(GLOB_RECURSE kit_files "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@kit@/*")
  foreach(kit_file IN LISTS kit_files)
    file(READ "${kit_file}" kit_text)  # as text, which drops any carriage return
    string(REPLACE "\n" "\r\n" kit_text "${kit_text}")
    file(WRITE "${kit_file}" "${kit_text}")
  endforeach()
]] kit_crlf @ONLY)
install(CODE "${kit_crlf}" COMPONENT kit EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Timeward)
set(CPACK_PACKAGE_VENDOR Orvex)
set(CPACK_PACKAGE_FILE_NAME Timeward-${PROJECT_VERSION}-kit)
# The version is in the archive's name; the folder inside is Timeward, as the guide places it.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kit)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

# The archive, made as the kit preset makes it, holds a tree that passes the kit check on its
# own, in an empty directory.
if(BUILD_TESTING)
  add_test(NAME kit.archive
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}
            -DWORK=${CMAKE_BINARY_DIR}/kit-test
            -DNAME=Timeward-${PROJECT_VERSION}-kit -DTOP=${kit}
            -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE "-DEXPECTED=${TIMEWARD_KIT_COMPILED}"
            -DDEF=${TIMEWARD_KIT_DEF}
            -DCHECK=${PROJECT_SOURCE_DIR}/platform/wince/check-kit.cmake
            -P ${PROJECT_SOURCE_DIR}/cmake/check-kit-archive.cmake)
  set_tests_properties(kit.archive PROPERTIES RESOURCE_LOCK kit-archive)
endif()
