#ifndef AGENT_JOB_OPTIONS_H
#define AGENT_JOB_OPTIONS_H

#include <memory>

#include <yajl/yajl_gen.h>

/// How a job works (compression, levels, ...), as the parser that the
/// job's plug-in registered for its agent and job type made it from the
/// definition's "options". Jobs cast it to the class their parser makes.
/// Immutable once parsed; shared by the definition and its job.
class Job_Options {
 public:
  Job_Options() = default;
  virtual ~Job_Options();
  Job_Options(const Job_Options&) = delete;
  Job_Options& operator=(const Job_Options&) = delete;

  /// Writes the options as one JSON object into `gen`; 0 on success.
  /// Base: an empty object.
  virtual int generate(yajl_gen gen) const;
};

using Job_Options_var = std::shared_ptr<Job_Options>;

#endif
