// Kept for the files that still include it by this name; everything is in
// port.h.
#pragma once

#include "port.h"
