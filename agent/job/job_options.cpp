#include "agent/job/job_options.h"

Job_Options::~Job_Options() = default;

int Job_Options::generate(yajl_gen gen) const {
  if (yajl_gen_map_open(gen) != yajl_gen_status_ok) return -1;
  return yajl_gen_map_close(gen) == yajl_gen_status_ok ? 0 : -1;
}
