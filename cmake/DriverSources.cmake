# The source lists every build of the drivers and the phone is made from,
# globbed here once: the host images and static libraries (core/), the real
# images and the Wine harness variants (cmake/Target.cmake,
# cmake/WineHarness.cmake), the simulation (platform/) and the Wine bus
# driver all take them from these variables.
#
#   VXQT70_CORE_SOURCES            the skeleton both drivers share (core/)
#   VXQT70_<folder>_SOURCES        a driver's own files: vxqt70mdm, vxqt70diag
#   VXQT70_PHONECORE_SOURCES       the phone's freestanding behaviour
#                                  (platform/usb/phonecore/)
file(GLOB VXQT70_CORE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/core/*.cpp)
foreach(folder vxqt70mdm vxqt70diag)
  file(GLOB VXQT70_${folder}_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
endforeach()
file(GLOB VXQT70_PHONECORE_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/platform/usb/phonecore/*.cpp)
