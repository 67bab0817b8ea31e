#include "agent/io/io_filter.h"

bool IO_Filter::pass(const char* data, std::size_t size) {
  if (size == 0) return true;
  if (next_->write(data, size)) return true;
  return fail(next_->error());
}

bool IO_Filter::finish() {
  if (!flush()) return false;
  if (next_->finish()) return true;
  return fail(next_->error());
}
