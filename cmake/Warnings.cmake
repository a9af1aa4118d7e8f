# Warnings are errors in both builds.
set(VXQT70_WARNINGS -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor
    -Wcast-align -Wunused -Woverloaded-virtual -Wnull-dereference
    -Wno-missing-field-initializers)

# Driver code is freestanding C-style C++: no exceptions, no RTTI, no static
# constructors. The host build compiles it the same way so that a construct the
# kernel build refuses is refused here too.
set(VXQT70_DRIVER_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
