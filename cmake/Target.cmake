# The real driver images: vxqt70modem.sys and vxqt70diag.sys, 32-bit x86
# kernel-mode WDM drivers (PE32, subsystem native) importing only from
# ntoskrnl.exe and HAL.dll. Included from the top-level CMakeLists.txt when
# VXQT70_TARGET is on (preset "target"); the images land in the build
# directory itself (build/target/ for the preset).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_SYSTEM_NAME STREQUAL "Windows"
   OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The driver images need the i686 mingw-w64 cross compiler: "
                      "configure with --preset target (cmake/toolchain-i686-mingw.cmake).")
endif()

# The DDK headers as system headers: their own warnings are not ours to fix,
# and -Werror must not trip on them.
set(VXQT70_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)
if(NOT EXISTS ${VXQT70_DDK_INCLUDE}/ntddk.h)
  message(FATAL_ERROR "DDK headers not found in ${VXQT70_DDK_INCLUDE}: "
                      "install mingw-w64-i686-dev (scripts/setup).")
endif()

# Kernel code: no C++ runtime (exceptions, RTTI, guarded statics), no C
# library, no unwind tables, and nothing that touches the FPU or SSE state,
# which the kernel does not save for a driver. A frame above 1 KB on the
# 12 KB x86 kernel stack is refused at compile time; it would otherwise show
# up as a call to the stack-probe helper.
set(VXQT70_KERNEL_CFLAGS
    -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
    -fno-common -mgeneral-regs-only -Wframe-larger-than=1024)

# -nostdlib keeps the C runtime's start-up code and libraries out; libgcc
# supplies the 64-bit arithmetic helpers statically. --exclude-all-symbols
# keeps the linker from exporting every global, as it otherwise does for a
# DLL without explicit exports; --gc-sections drops what nothing refers to
# (such as the header-defined GUIDs a driver does not use). Drivers are based low and relocated by the
# kernel's loader, which needs the .reloc section the linker emits for -shared.
set(VXQT70_KERNEL_LDFLAGS
    -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--exclude-all-symbols -Wl,--gc-sections -Wl,--image-base,0x10000
    -Wl,--major-os-version,5 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,0)

# The kernel flags above decide the optimisation; CMake's per-configuration
# defaults (-O3 for Release) must not override them.
set(CMAKE_CXX_FLAGS_RELEASE "")
set(CMAKE_CXX_FLAGS_DEBUG "")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "")
set(CMAKE_CXX_FLAGS_MINSIZEREL "")

# A kernel-mode image (.sys) in `OUTPUT_DIRECTORY` (default: the build
# directory): the shipped drivers, the Wine harness's variants of them and its
# bus driver all build this way.
#   vxqt70_kernel_image(<target> SOURCES <files...> [INCLUDES <dirs...>]
#                       [DEFINITIONS <defs...>] [OUTPUT_DIRECTORY <dir>])
function(vxqt70_kernel_image target)
  cmake_parse_arguments(ARG "" "OUTPUT_DIRECTORY" "SOURCES;INCLUDES;DEFINITIONS" ${ARGN})
  if(NOT ARG_OUTPUT_DIRECTORY)
    set(ARG_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  endif()
  add_library(${target} MODULE ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${ARG_INCLUDES} ${PROJECT_SOURCE_DIR})
  target_include_directories(${target} SYSTEM PRIVATE ${VXQT70_DDK_INCLUDE})
  target_compile_definitions(${target} PRIVATE VXQT70_TARGET=1 ${ARG_DEFINITIONS})
  target_compile_options(${target} PRIVATE ${VXQT70_WARNINGS} ${VXQT70_KERNEL_CFLAGS})
  target_link_options(${target} PRIVATE ${VXQT70_KERNEL_LDFLAGS})
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".sys"
    LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
    RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
endfunction()

# One image per driver: the shared core compiled with the driver's variant
# (its variant.h found first on the include path), plus the driver's own files.
function(vxqt70_driver_sys target folder variant)
  vxqt70_kernel_image(${target}
    SOURCES ${VXQT70_CORE_SOURCES} ${VXQT70_${folder}_SOURCES}
            ${PROJECT_SOURCE_DIR}/platform/target/layout_check.cpp
    INCLUDES ${PROJECT_SOURCE_DIR}/${folder} ${PROJECT_SOURCE_DIR}/core
    DEFINITIONS ${variant})
endfunction()

vxqt70_driver_sys(vxqt70modem vxqt70mdm VXQT70_VARIANT_MODEM=1)
vxqt70_driver_sys(vxqt70diag vxqt70diag VXQT70_VARIANT_DIAG=1)

# Wine harness targets (bus driver, harness image variants, Win32 programs).
include(${PROJECT_SOURCE_DIR}/cmake/WineHarness.cmake)
