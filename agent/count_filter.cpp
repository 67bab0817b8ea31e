#include "agent/count_filter.h"
