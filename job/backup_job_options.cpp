#include "job/backup_job_options.h"

#include <yajl/yajl_gen.h>

#include <cstring>

namespace sap_hana {

Backup_Job_Options::~Backup_Job_Options() = default;

int Backup_Job_Options::generate(yajl_gen gen) const {
  yajl_gen_map_open(gen);
  if (const char* name = compression_value_to_name(compression_)) {
    yajl_gen_string(gen, reinterpret_cast<const unsigned char*>("compression"), 11);
    yajl_gen_string(gen, reinterpret_cast<const unsigned char*>(name), std::strlen(name));
  }
  yajl_gen_string(gen, reinterpret_cast<const unsigned char*>("compression_level"), 17);
  yajl_gen_integer(gen, compression_level_);
  yajl_gen_map_close(gen);
  return 0;
}

}  // namespace sap_hana
