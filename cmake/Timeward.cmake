# Compiler settings shared by every target, set once here.

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

# Driver code (clock/, driver/ and the platform header they include) must build with a
# Windows CE 5 toolchain: C++03, no exceptions, no RTTI, no C++ runtime.
set(TIMEWARD_DRIVER_FLAGS
    -std=c++03 -pedantic -fno-exceptions -fno-rtti -Wall -Wextra -Werror)
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
  target_compile_options(${target} PRIVATE ${TIMEWARD_DRIVER_FLAGS})
endfunction()

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
