#include "agent/io/count_filter.h"
