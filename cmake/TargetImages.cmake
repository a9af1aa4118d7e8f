# The real .sys images, built by the host build itself so that its "target"
# and "wine" tests need nothing built before: the target preset's build
# (cmake/Target.cmake with the i686 mingw-w64 toolchain) as an external
# project. Included from the top-level CMakeLists.txt in a host build.
#
# It builds in VXQT70_TARGET_BUILD_DIR, by default the target preset's own
# directory (build/target): every host preset (host, host-asan, host-tsan,
# host-release) and `cmake --preset target` then share one image build, so
# the images are built once, not once per preset. Without the cross
# toolchain nothing is built and the tests that need the images are
# registered as skipped, saying why (VXQT70_IMAGES_MISSING).
include(ExternalProject)

set(VXQT70_TARGET_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/target" CACHE PATH
    "Where the host build builds the real images (the target preset's directory)")
set(VXQT70_TARGET_IMAGE_DIR "${VXQT70_TARGET_BUILD_DIR}" CACHE PATH
    "Where the target and wine tests find vxqt70modem.sys, vxqt70diag.sys and wine/")

find_program(VXQT70_CROSS_GXX NAMES i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++)
find_program(VXQT70_CROSS_OBJDUMP i686-w64-mingw32-objdump)
set(VXQT70_IMAGES_MISSING "")
if(NOT VXQT70_CROSS_GXX OR NOT VXQT70_CROSS_OBJDUMP)
  set(VXQT70_IMAGES_MISSING "the i686 mingw-w64 cross toolchain is not installed (scripts/setup)")
elseif(NOT EXISTS /usr/share/mingw-w64/include/ddk/ntddk.h)
  set(VXQT70_IMAGES_MISSING "the mingw-w64 DDK headers are not installed (scripts/setup)")
endif()

if(VXQT70_IMAGES_MISSING)
  message(STATUS "Real images not built: ${VXQT70_IMAGES_MISSING}")
elseif(VXQT70_TARGET_IMAGE_DIR STREQUAL VXQT70_TARGET_BUILD_DIR)
  ExternalProject_Add(vxqt70_images
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${VXQT70_TARGET_BUILD_DIR}
    CMAKE_GENERATOR "Unix Makefiles"
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-i686-mingw.cmake
               -DCMAKE_BUILD_TYPE=Release -DVXQT70_TARGET=ON
               -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
endif()

# A test that cannot run here: reported skipped (CTest's SKIP_RETURN_CODE)
# with the reason, not failed.
function(vxqt70_skipped_test name label reason)
  add_test(NAME ${name} COMMAND sh -c "echo 'skipped: ${reason}'; exit 77")
  set_tests_properties(${name} PROPERTIES LABELS ${label} SKIP_RETURN_CODE 77)
endfunction()
