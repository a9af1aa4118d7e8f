# Driver images for the host build.
#
# A driver runs in the simulated kernel as its own shared object, like a .sys
# in a real one: only DriverEntry is exported (the export map,
# cmake/driver_exports.map, makes every other symbol local, so the driver
# sources need no visibility attribute of their own), nothing is linked in
# (no C or C++ runtime, no simulation library), and every kernel routine it
# calls is resolved when the loader maps it, from the executable hosting the
# simulation. Two images can therefore define the same internal names without
# seeing each other's.
#
#   vxqt70_driver_image(<target> SOURCES <files...> [INCLUDES <dirs...>]
#                       [DEFINITIONS <defs...>] [OUTPUT_NAME <name>])
#   vxqt70_driver_host(<executable>)   # an executable that loads images
#
# The image file is $<TARGET_FILE:target>; hand it to
# sim::RegisterDriverImage(service, path).
include_guard(GLOBAL)

function(vxqt70_driver_image target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES;INCLUDES;DEFINITIONS" ${ARGN})
  add_library(${target} MODULE ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${ARG_INCLUDES})
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  target_compile_options(${target} PRIVATE ${VXQT70_WARNINGS} ${VXQT70_DRIVER_FLAGS})
  set_target_properties(${target} PROPERTIES PREFIX "" POSITION_INDEPENDENT_CODE ON)
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  # No runtime of its own: what the image calls must come from the kernel.
  # Undefined symbols are left for the loader (shared objects allow them).
  target_link_options(${target} PRIVATE -nostdlib
                      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/driver_exports.map)
  target_link_libraries(${target} PRIVATE gcc)
  set_property(TARGET ${target} APPEND PROPERTY
               LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/driver_exports.map)
endfunction()

# The executable must export every kernel routine an image may import, not
# only those its own code happens to reference: linking simkernel brings the
# whole simulation library in, and -rdynamic puts its symbols in the dynamic
# table.
function(vxqt70_driver_host target)
  target_link_libraries(${target} PRIVATE simkernel)
endfunction()
