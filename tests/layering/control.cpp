// Allowed: the lowest layer includes and calls itself.
#include "agent/base/string_sprintf.h"

std::string layering_control_probe() { return string_sprintf("%d", 1); }
