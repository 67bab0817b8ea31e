#include "job/restore_job_options.h"

#include <cstring>

namespace sap_hana {

Restore_Job_Options::~Restore_Job_Options() = default;

int Restore_Job_Options::generate(yajl_gen gen) const {
  static const char kKey[] = "ignore_delta";
  if (yajl_gen_map_open(gen) != yajl_gen_status_ok ||
      yajl_gen_string(gen, reinterpret_cast<const unsigned char*>(kKey), std::strlen(kKey)) != yajl_gen_status_ok ||
      yajl_gen_bool(gen, ignore_delta_ ? 1 : 0) != yajl_gen_status_ok || yajl_gen_map_close(gen) != yajl_gen_status_ok)
    return -1;
  return 0;
}

}  // namespace sap_hana
