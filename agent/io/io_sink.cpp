#include "agent/io/io_sink.h"

IO_Sink::~IO_Sink() = default;

bool IO_Sink::fail(const std::string& text) {
  if (error_.empty()) error_ = text;
  return false;
}
