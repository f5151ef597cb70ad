# Compiler settings shared by every target, set once here.

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

# Driver code (clock/, driver/ and the platform header they include) must build with a
# Windows CE 5 toolchain: C++03, no exceptions, no RTTI, no C++ runtime. The standard is the
# targets' CXX_STANDARD, so CMake itself passes it (-std=c++98, which compilers take as C++03),
# last, where no other -std can follow it; the test driver.standard reads the compile commands
# and fails if a driver source is compiled with any other standard.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
set(TIMEWARD_DRIVER_FLAGS -pedantic -fno-exceptions -fno-rtti -Wall -Wextra -Werror)
if(TIMEWARD_BACKEND STREQUAL "host")
  # Wide text is UTF-16 on every backend; on the host that takes a 16-bit wchar_t.
  list(APPEND TIMEWARD_DRIVER_FLAGS -fshort-wchar)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  # ARMv5 faults on a word access at an unaligned address, where x86 and qemu do the access, so
  # on ARM every cast to a type of stricter alignment is an error.
  list(APPEND TIMEWARD_DRIVER_FLAGS -Wcast-align=strict)
  if(TIMEWARD_BACKEND STREQUAL "host")
    # The ARM linker warns when objects built with a 16-bit wchar_t (the driver's) meet the C
    # runtime's 32-bit one. No wchar_t crosses between them: the driver's wide text goes only
    # to the core library, whose host code takes it as char16_t.
    add_link_options(LINKER:--no-wchar-size-warning)
    # GCC notes where it passes an argument unlike GCC before 7.1; one compiler builds all of
    # this build, GoogleTest included.
    add_compile_options(-Wno-psabi)
  endif()
endif()

function(timeward_driver_code target)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 98 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE ${TIMEWARD_DRIVER_FLAGS})
  set_property(GLOBAL APPEND PROPERTY TIMEWARD_DRIVER_TARGETS ${target})
endfunction()

# Once every directory has declared its targets: the check of the driver targets' standard.
function(timeward_check_driver_standard)
  if(NOT BUILD_TESTING)
    return()
  endif()
  get_property(targets GLOBAL PROPERTY TIMEWARD_DRIVER_TARGETS)
  add_test(NAME driver.standard
    COMMAND ${CMAKE_COMMAND} -DCOMMANDS=${PROJECT_BINARY_DIR}/compile_commands.json
            "-DTARGETS=${targets}" -P ${PROJECT_SOURCE_DIR}/cmake/CheckDriverStandard.cmake)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL timeward_check_driver_standard)

# Host code: the simulated platform, tools and tests.
function(timeward_host_code target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Makes a header holding a text file as the string constant `name`.
function(timeward_embed target file name header)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/generated/${header})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DNAME=${name}
            -P ${PROJECT_SOURCE_DIR}/cmake/Embed.cmake
    DEPENDS ${file} ${PROJECT_SOURCE_DIR}/cmake/Embed.cmake
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
endfunction()
