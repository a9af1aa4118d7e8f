# What runs the real driver images under Wine's NT kernel (tests/wine):
#   vxphonebus.sys          the phone's parent bus driver, kernel mode
#   vxqt70modem-wine.sys,   harness variants of the shipped images; they differ
#   vxqt70diag-wine.sys     from them only where Wine's kernel differs from
#                           Windows's: the device-key open, system work items,
#                           the cleanup before a close (wine/variant)
#   vxinstall.exe,          Win32 programs: the installer and bus control, and
#   vxcomm.exe              the COM-port exercise
# Included from cmake/Target.cmake; the shipped images are not touched here.

vxqt70_kernel_image(vxphonebus
  SOURCES ${PROJECT_SOURCE_DIR}/wine/phonebus/phonebus.cpp ${VXQT70_PHONECORE_SOURCES}
  OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)

# A driver's image with the core's entry and Wine-facing routines swapped for
# the harness's.
function(vxqt70_wine_variant target folder variant)
  set(core ${VXQT70_CORE_SOURCES})
  list(REMOVE_ITEM core ${PROJECT_SOURCE_DIR}/core/moon.cpp ${PROJECT_SOURCE_DIR}/core/DriverEntry.cpp)
  vxqt70_kernel_image(${target}
    SOURCES ${core} ${VXQT70_${folder}_SOURCES}
            ${PROJECT_SOURCE_DIR}/wine/variant/driver_entry_wine.cpp
            ${PROJECT_SOURCE_DIR}/wine/variant/moon_wine.cpp
            ${PROJECT_SOURCE_DIR}/wine/variant/open_key_wine.cpp
            ${PROJECT_SOURCE_DIR}/wine/variant/work_item_wine.cpp
            ${PROJECT_SOURCE_DIR}/platform/target/layout_check.cpp
    INCLUDES ${PROJECT_SOURCE_DIR}/${folder} ${PROJECT_SOURCE_DIR}/core
    DEFINITIONS ${variant}
    OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)
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
