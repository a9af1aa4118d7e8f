# What runs the real driver images under Wine's NT kernel (tests/wine):
#   vxphonebus.sys          the phone's parent bus driver, kernel mode
#   vxqt70modem-wine.sys,   harness variants of the shipped images; they differ
#   vxqt70diag-wine.sys     from them only where Wine's kernel differs from
#                           Windows's: the device-key open, system work items,
#                           the cleanup before a close (wine/variant)
#   vxinstall.exe,          Win32 programs: the installer and bus control, and
#   vxcomm.exe              the COM-port exercise
# Included from cmake/Target.cmake; the shipped images are not touched here.

file(GLOB VXQT70_PHONECORE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/usb/phonecore/*.cpp)
add_library(vxphonebus MODULE ${PROJECT_SOURCE_DIR}/wine/phonebus/phonebus.cpp
            ${VXQT70_PHONECORE_SOURCES})
target_include_directories(vxphonebus PRIVATE ${PROJECT_SOURCE_DIR})
target_include_directories(vxphonebus SYSTEM PRIVATE ${VXQT70_DDK_INCLUDE})
target_compile_definitions(vxphonebus PRIVATE VXQT70_TARGET=1)
target_compile_options(vxphonebus PRIVATE ${VXQT70_WARNINGS} ${VXQT70_KERNEL_CFLAGS})
target_link_options(vxphonebus PRIVATE ${VXQT70_KERNEL_LDFLAGS})
target_link_libraries(vxphonebus PRIVATE ntoskrnl hal gcc)
set_target_properties(vxphonebus PROPERTIES PREFIX "" SUFFIX ".sys"
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)

function(vxqt70_wine_variant target folder variant)
  file(GLOB own CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  set(core ${VXQT70_CORE_SOURCES})
  list(REMOVE_ITEM core ${PROJECT_SOURCE_DIR}/core/moon.cpp ${PROJECT_SOURCE_DIR}/core/DriverEntry.cpp)
  add_library(${target} MODULE ${core} ${own}
              ${PROJECT_SOURCE_DIR}/wine/variant/driver_entry_wine.cpp
              ${PROJECT_SOURCE_DIR}/wine/variant/moon_wine.cpp
              ${PROJECT_SOURCE_DIR}/wine/variant/open_key_wine.cpp
              ${PROJECT_SOURCE_DIR}/wine/variant/work_item_wine.cpp
              ${PROJECT_SOURCE_DIR}/platform/target/layout_check.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/${folder}
                             ${PROJECT_SOURCE_DIR}/core ${PROJECT_SOURCE_DIR})
  target_include_directories(${target} SYSTEM PRIVATE ${VXQT70_DDK_INCLUDE})
  target_compile_definitions(${target} PRIVATE VXQT70_TARGET=1 ${variant})
  target_compile_options(${target} PRIVATE ${VXQT70_WARNINGS} ${VXQT70_KERNEL_CFLAGS})
  target_link_options(${target} PRIVATE ${VXQT70_KERNEL_LDFLAGS})
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys"
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)
endfunction()
vxqt70_wine_variant(vxqt70modem-wine vxqt70mdm VXQT70_VARIANT_MODEM=1)
vxqt70_wine_variant(vxqt70diag-wine vxqt70diag VXQT70_VARIANT_DIAG=1)

# User-mode programs: mingw's real windows.h, static runtime so the prefix
# needs nothing but Wine's own DLLs.
foreach(program vxinstall vxcomm)
  add_executable(${program} ${PROJECT_SOURCE_DIR}/wine/harness/${program}.cpp)
  target_include_directories(${program} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${program} PRIVATE ${VXQT70_WARNINGS} -O2)
  target_link_options(${program} PRIVATE -static)
  if(program STREQUAL "vxinstall")
    target_link_options(${program} PRIVATE -municode)
  endif()
  target_link_libraries(${program} PRIVATE setupapi newdev advapi32 kernel32)
  set_target_properties(${program} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)
endforeach()
