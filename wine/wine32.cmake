# Whether this machine can run the i686 Wine suite: sets WINE32 (Wine's 32-bit loader),
# TIMEWARD_WINE32_RUNS, and when it cannot, TIMEWARD_WINE32_WHY.
#
# 32-bit Wine needs a kernel that executes 32-bit x86 programs. A three-instruction i386
# program, assembled and linked with the host's binutils, asks the kernel directly; an x86-64
# kernel built or booted without IA-32 emulation refuses it.
# The loader is found as the test command finds it (tools/wine-loader).
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-loader 32 OUTPUT_VARIABLE wine32_path
  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE wine32_missing)
set(WINE32 "")
if(NOT wine32_missing)
  set(WINE32 "${wine32_path}")
endif()
find_program(HOST_AS as)
find_program(HOST_LD ld)

set(probe_dir ${CMAKE_CURRENT_BINARY_DIR}/i386-probe)
file(WRITE ${probe_dir}/exit.s
  ".globl _start\n_start:\n  movl $1, %eax\n  xorl %ebx, %ebx\n  int $0x80\n")
set(i386_runs "")  # unknown until the probe runs
if(HOST_AS AND HOST_LD)
  execute_process(COMMAND ${HOST_AS} --32 -o ${probe_dir}/exit.o ${probe_dir}/exit.s
    RESULT_VARIABLE as_rc OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${HOST_LD} -m elf_i386 -o ${probe_dir}/exit ${probe_dir}/exit.o
    RESULT_VARIABLE ld_rc OUTPUT_QUIET ERROR_QUIET)
  if(as_rc EQUAL 0 AND ld_rc EQUAL 0)
    execute_process(COMMAND ${probe_dir}/exit RESULT_VARIABLE run_rc OUTPUT_QUIET ERROR_QUIET)
    if(run_rc EQUAL 0)
      set(i386_runs TRUE)
    else()
      set(i386_runs FALSE)
    endif()
  endif()
endif()

set(TIMEWARD_WINE32_RUNS FALSE)
set(TIMEWARD_WINE32_WHY "")
if(i386_runs STREQUAL "FALSE")
  set(TIMEWARD_WINE32_WHY "this machine cannot execute 32-bit x86 code")
elseif(NOT WINE32)
  set(TIMEWARD_WINE32_WHY
      "32-bit Wine is not installed (${wine32_path}, from Debian's wine32:i386)")
else()
  execute_process(COMMAND ${WINE32} --version RESULT_VARIABLE wine_rc OUTPUT_QUIET ERROR_QUIET)
  if(wine_rc EQUAL 0)
    set(TIMEWARD_WINE32_RUNS TRUE)
  else()
    set(TIMEWARD_WINE32_WHY "${WINE32} does not start (${wine_rc})")
  endif()
endif()
if(NOT TIMEWARD_WINE32_RUNS)
  message(STATUS "Timeward: the i686 Wine suite cannot run: ${TIMEWARD_WINE32_WHY}")
endif()
