#include "agent/storage/storage_driver.h"

Storage_Driver::~Storage_Driver() = default;

Lookup_Status Storage_Driver::remove_if(const std::string& name, const std::function<bool(Reader&)>& belongs) {
  std::unique_ptr<Reader> reader;
  Lookup_Status found = open_read(name, reader);
  if (!found.is_found()) return found;
  if (!belongs(*reader)) return Lookup_Status::not_found("'" + name + "' holds another object");
  reader.reset();
  std::string error;
  return remove(name, error) ? Lookup_Status::found() : Lookup_Status::failed(error);
}
