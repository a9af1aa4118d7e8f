# Cross toolchain for the kernel-mode images: 32-bit x86 Windows, built with
# Debian's mingw-w64 compilers (packages g++-mingw-w64-i686, mingw-w64-i686-dev,
# binutils-mingw-w64-i686). The "win32" thread-model variants are preferred:
# nothing of the posix variant's threading runtime belongs in a driver.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VXQT70_MINGW_PREFIX i686-w64-mingw32)

find_program(VXQT70_MINGW_GCC NAMES ${VXQT70_MINGW_PREFIX}-gcc-win32 ${VXQT70_MINGW_PREFIX}-gcc
             REQUIRED)
find_program(VXQT70_MINGW_GXX NAMES ${VXQT70_MINGW_PREFIX}-g++-win32 ${VXQT70_MINGW_PREFIX}-g++
             REQUIRED)
find_program(VXQT70_MINGW_OBJDUMP NAMES ${VXQT70_MINGW_PREFIX}-objdump REQUIRED)

set(CMAKE_C_COMPILER ${VXQT70_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${VXQT70_MINGW_GXX})

set(CMAKE_FIND_ROOT_PATH /usr/${VXQT70_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CMake links Windows programs against the user-mode system libraries by
# default (kernel32, user32, ...). A driver may import from ntoskrnl.exe and
# HAL.dll only, so nothing is linked unless a target names it.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
