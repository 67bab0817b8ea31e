#include "agent/io/io_source.h"

IO_Source::~IO_Source() = default;
