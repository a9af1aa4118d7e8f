#include "platform/sim/sim.h"
#include <gtest/gtest.h>
TEST(IoSmoke, Builds) { sim::Kernel k; }
