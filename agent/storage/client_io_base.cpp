#include "agent/storage/client_io_base.h"

Client_IO_Base::~Client_IO_Base() = default;

bool Client_IO_Base::Options::get_extra_option(const std::string& name, secure_string& value) const {
  auto it = extra_.find(name);
  if (it == extra_.end()) return false;
  value = it->second;
  return true;
}
