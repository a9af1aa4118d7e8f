# vxqt70_win32_program(<name> SOURCES <files...> [DEFINITIONS <defs...>])
#
# Builds an unmodified Win32 console program (#include <windows.h>, _tmain,
# TEXT(), CreateFile(TEXT("\\\\.\\COM1"), ...)) against the simulated PC:
# <windows.h> and <tchar.h> come from platform/win32/include, and the
# program's main runs after the machine has booted with a phone plugged in
# (its modem answering AT commands) and both port drivers loaded. The ports'
# COM names come from the environment variable VXQT70_COM_NAMES ("COM1,COM2":
# modem, then diagnostics; this is also the default). After main returns the
# verifier checks that nothing was left behind; a finding makes the exit
# status 3. VXQT70_TRACE=1 logs each request at the ports on stderr in
# Portmon's two-line form (VXQT70_TRACE=hex: the hex view) and
# VXQT70_TRACE_LOG=FILE writes the one-line log; VXQT70_PCAP=FILE captures the
# URBs the drivers send for Wireshark. Handles still open when main returns
# are closed as Windows closes them at process exit (pending I/O cancelled,
# then CLEANUP and CLOSE to the driver); only what the drivers leave behind
# is a finding. `.c` sources are compiled as C (gnu11) and others as C++,
# both with -Wall -Werror as a Win32 compiler with warnings as errors would:
# `TCHAR *name = TEXT("COM1");` is C, not C++. Narrow strings only (no
# _UNICODE); main must return its status (a program that calls exit() skips
# the end checks). DWORD is 32 bits as on Windows but long is 64 here, so
# printf("%lu", dword) is refused by -Wformat: print DWORDs with %d or %u, as
# the Win32 documentation's examples do, or cast.
function(vxqt70_win32_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;DEFINITIONS")
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "vxqt70_win32_program(${name}): no SOURCES")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  # The program's main (or _tmain) becomes a function the machine's own
  # main calls once the PC is up; C has one name for both of main's forms.
  target_compile_definitions(${name} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:main=vxqt70_program_main>
    $<$<COMPILE_LANGUAGE:C>:main=vxqt70_program_main_c>
    ${ARG_DEFINITIONS})
  target_link_libraries(${name} PRIVATE vxqt70_win32_main)
  # Win32 sample code is written for MSVC: keep the warnings that find bugs,
  # as errors, without the ones about its style.
  target_compile_options(${name} PRIVATE -Wall -Werror -Wno-unused-parameter)
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX C_STANDARD 11 C_EXTENSIONS ON)
endfunction()
