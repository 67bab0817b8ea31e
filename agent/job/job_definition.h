#ifndef AGENT_JOB_DEFINITION_H
#define AGENT_JOB_DEFINITION_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/base/secure_string.h"
#include "agent/io/rate_limits.h"
#include "agent/job/job_options.h"
#include "agent/job/job_source.h"
#include "agent/json/json_access.h"

class Job_Parser_Registry;

/// Kinds of job. The numbers are shared with the server: never renumber.
enum Job_Definition_Type {
  JOB_DEFINITION_NONE = 0,
  JOB_DEFINITION_BACKUP = 1,
  JOB_DEFINITION_RESTORE = 2,
  JOB_DEFINITION_STANDBY = 3,
  JOB_DEFINITION_STORAGE = 4,
  JOB_DEFINITION_TYPE_MAX = 5
};

/// Variants of a job kind (a backup's level, a restore's aim). The numbers
/// are shared with the server: never renumber. 36 values, 0 to 35.
enum Job_Definition_Subtype {
  JOB_DEFINITION_SUBTYPE_NONE = 0,
  JOB_DEFINITION_SUBTYPE_FULL = 1,
  JOB_DEFINITION_SUBTYPE_INCREMENTAL = 2,
  JOB_DEFINITION_SUBTYPE_CUMULATIVE = 3,
  JOB_DEFINITION_SUBTYPE_SYNTHETIC = 4,
  JOB_DEFINITION_SUBTYPE_MIRROR = 5,
  JOB_DEFINITION_SUBTYPE_ARCHIVE = 6,
  JOB_DEFINITION_SUBTYPE_ONDEMAND = 7,
  JOB_DEFINITION_SUBTYPE_SNAPSHOT = 8,
  JOB_DEFINITION_SUBTYPE_CONTINUOUS = 9,
  JOB_DEFINITION_SUBTYPE_COPY = 10,
  JOB_DEFINITION_SUBTYPE_MOVE = 11,
  JOB_DEFINITION_SUBTYPE_VERIFY = 12,
  JOB_DEFINITION_SUBTYPE_POINT_IN_TIME = 13,
  JOB_DEFINITION_SUBTYPE_LATEST = 14,
  JOB_DEFINITION_SUBTYPE_SELECTED = 15,
  JOB_DEFINITION_SUBTYPE_GRANULAR = 16,
  JOB_DEFINITION_SUBTYPE_INSTANT = 17,
  JOB_DEFINITION_SUBTYPE_BARE_METAL = 18,
  JOB_DEFINITION_SUBTYPE_VOLUME = 19,
  JOB_DEFINITION_SUBTYPE_FILE = 20,
  JOB_DEFINITION_SUBTYPE_DATABASE = 21,
  JOB_DEFINITION_SUBTYPE_LOG = 22,
  JOB_DEFINITION_SUBTYPE_CATALOG = 23,
  JOB_DEFINITION_SUBTYPE_CONFIGURATION = 24,
  JOB_DEFINITION_SUBTYPE_REPLICA = 25,
  JOB_DEFINITION_SUBTYPE_FAILOVER = 26,
  JOB_DEFINITION_SUBTYPE_FAILBACK = 27,
  JOB_DEFINITION_SUBTYPE_SYNC = 28,
  JOB_DEFINITION_SUBTYPE_IMPORT = 29,
  JOB_DEFINITION_SUBTYPE_EXPORT = 30,
  JOB_DEFINITION_SUBTYPE_CLEANUP = 31,
  JOB_DEFINITION_SUBTYPE_RETENTION = 32,
  JOB_DEFINITION_SUBTYPE_CHECK = 33,
  JOB_DEFINITION_SUBTYPE_TEST = 34,
  JOB_DEFINITION_SUBTYPE_CUSTOM = 35,
  JOB_DEFINITION_SUBTYPE_MAX = 36
};

/// The lower-case name of a subtype ("full", "incremental", "cumulative",
/// "ondemand", "point_in_time", ...); "unknown" outside 0..35. The names
/// are shared with the server (catalog views take them as "type").
const char* job_def_subtype_to_string(int subtype);
/// The name of a type ("none", "backup", "restore", "standby", "storage");
/// "unknown" otherwise.
const char* job_def_type_to_string(int type);
/// The type named `name` (as above); JOB_DEFINITION_TYPE_MAX when none is.
Job_Definition_Type job_def_type_from_string(const std::string& name);

/// Where a job's data goes: the storage pool's UUID and its location.
struct Job_Target {
  std::string id;
  std::string location;
};

/// When a job runs. Only the on-demand kind matters to the agent (jobs set
/// up and removed as on-demand jobs); the server drives the others.
struct Job_Schedule {
  enum Type {
    TYPE_NONE = 0,
    TYPE_ONCE = 1,
    TYPE_HOURLY = 2,
    TYPE_DAILY = 3,
    TYPE_WEEKLY = 4,
    TYPE_MONTHLY = 5,
    TYPE_CONTINUOUS = 6,
    TYPE_ONDEMAND = 7
  };
  Type type = TYPE_NONE;
};

class Job_Definition;
using Job_Definition_var = std::shared_ptr<Job_Definition>;

/// One job definition of the server, for this host. Immutable once built:
/// an update replaces the whole definition.
///
/// JSON form (as the server's "job.def.list" gives it; * = required):
///   {
///    *"id": "<definition UUID>"      (the server's list may name it "uuid"
///                                     instead; "id" wins when both are there)
///     "uid": "<owning user>"         ("admin" when missing)
///    *"type": 1                      (Job_Definition_Type)
///     "subtype": 1                   (Job_Definition_Subtype, 0)
///     "name": "daily full"           ("")
///    *"agent": "hana"                (the plug-in kind that runs it)
///     "host_id": "<host UUID>"       ("")
///     "target": {"id": "<pool UUID>", "location": "<pool location>"}
///     "source": {...} or "<JSON text>"   parsed by the source parser of
///                                         (agent, type); none when missing
///     "options": {...} or "<JSON text>"  parsed by the options parser of
///                                         (agent, type); none when missing
///     "schedules": [{"type": 7}, ...]
///     "scripts": {"precondition": "...", "pre_action": "...",
///                 "post_action": "...", "ignore_pre_action_failure": false,
///                 "ignore_post_action_failure": false,
///                 "run_post_action_always": false}
///     "max_seconds_retry": 300       (unsigned, 300)
///     "resumption_buffer_size": 0    (unsigned, 0)
///     "server_side_dedup": false
///     "rate_limits": {"dest_rate_limits": "<JSON text>",
///                     "src_rate_limits": "<JSON text>"}  (Rate_Limits)
///     "backup_protection_password": "..."  (held as a secure_string)
///   }
/// Members of the wrong kind are errors; unknown members are ignored.
class Job_Definition {
 public:
  Job_Definition() = default;
  Job_Definition(const Job_Definition&) = delete;
  Job_Definition& operator=(const Job_Definition&) = delete;

  /// Builds a definition from its JSON form; null with `error` (naming the
  /// member or the parser that failed, never the password) otherwise. The
  /// source and options go to the parsers that `registry` holds for the
  /// definition's agent and type; a definition with a source or options but
  /// no parser for them is an error.
  static Job_Definition_var from_json(const json_value& value, Job_Parser_Registry& registry, std::string& error);

  Job_Definition_Type type() const { return type_; }
  Job_Definition_Subtype subtype() const { return subtype_; }
  const std::string& uid() const { return uid_; }
  const std::string& id() const { return id_; }
  const std::string& name() const { return name_; }
  const std::string& host_id() const { return host_id_; }
  const std::string& agent() const { return agent_; }
  const Job_Target& target() const { return target_; }
  /// May be null (a definition without a source).
  Job_Source* source() const { return source_.get(); }
  const Job_Source_var& source_var() const { return source_; }
  /// May be null (a definition without options).
  Job_Options* options() const { return options_.get(); }
  const Job_Options_var& options_var() const { return options_; }
  const std::vector<Job_Schedule>& schedules() const { return schedules_; }
  const std::string& precondition() const { return precondition_; }
  const std::string& pre_action() const { return pre_action_; }
  const std::string& post_action() const { return post_action_; }
  bool ignore_pre_action_failure() const { return ignore_pre_action_failure_; }
  bool ignore_post_action_failure() const { return ignore_post_action_failure_; }
  bool run_post_action_always() const { return run_post_action_always_; }
  std::uint64_t max_seconds_retry() const { return max_seconds_retry_; }
  std::uint64_t resumption_buffer_size() const { return resumption_buffer_size_; }
  bool server_side_dedup() const { return server_side_dedup_; }
  const Rate_Limits& rate_limits() const { return rate_limits_; }
  const secure_string& backup_protection_password() const { return backup_protection_password_; }

 private:
  Job_Definition_Type type_ = JOB_DEFINITION_NONE;
  Job_Definition_Subtype subtype_ = JOB_DEFINITION_SUBTYPE_NONE;
  std::string uid_ = "admin";
  std::string id_;
  std::string name_;
  std::string host_id_;
  std::string agent_;
  Job_Target target_;
  Job_Source_var source_;
  Job_Options_var options_;
  std::vector<Job_Schedule> schedules_;
  std::string precondition_;
  std::string pre_action_;
  std::string post_action_;
  bool ignore_pre_action_failure_ = false;
  bool ignore_post_action_failure_ = false;
  bool run_post_action_always_ = false;
  std::uint64_t max_seconds_retry_ = 300;
  std::uint64_t resumption_buffer_size_ = 0;
  bool server_side_dedup_ = false;
  Rate_Limits rate_limits_;
  secure_string backup_protection_password_;
};

#endif
