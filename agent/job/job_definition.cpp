#include "agent/job/job_definition.h"

#include "agent/job/job_parser_registry.h"

namespace {

const char* const kSubtypeNames[JOB_DEFINITION_SUBTYPE_MAX] = {
    "none",          "full",       "incremental", "cumulative", "synthetic", "mirror",        "archive", "ondemand",
    "snapshot",      "continuous", "copy",        "move",       "verify",    "point_in_time", "latest",  "selected",
    "granular",      "instant",    "bare_metal",  "volume",     "file",      "database",      "log",     "catalog",
    "configuration", "replica",    "failover",    "failback",   "sync",      "import",        "export",  "cleanup",
    "retention",     "check",      "test",        "custom"};

const char* const kTypeNames[JOB_DEFINITION_TYPE_MAX] = {"none", "backup", "restore", "standby", "storage"};

// A member that holds a parser's document: an object, or JSON text.
bool present(const json_value& value, const char* key) {
  auto it = value.find(key);
  return it != value.end() && !it->is_null();
}

}  // namespace

const char* job_def_subtype_to_string(int subtype) {
  if (subtype < 0 || subtype >= JOB_DEFINITION_SUBTYPE_MAX) return "unknown";
  return kSubtypeNames[subtype];
}

const char* job_def_type_to_string(int type) {
  if (type < 0 || type >= JOB_DEFINITION_TYPE_MAX) return "unknown";
  return kTypeNames[type];
}

Job_Definition_Type job_def_type_from_string(const std::string& name) {
  for (int i = 0; i < JOB_DEFINITION_TYPE_MAX; ++i)
    if (name == kTypeNames[i]) return static_cast<Job_Definition_Type>(i);
  return JOB_DEFINITION_TYPE_MAX;
}

Job_Definition_var Job_Definition::from_json(const json_value& value, Job_Parser_Registry& registry,
                                             std::string& error) {
  auto def = std::make_shared<Job_Definition>();
  try {
    if (!value.is_object()) throw Json_Member_Error("job definition is not an object");
    if (!object_get(value, "id", def->id_)) def->id_ = object_get_str_or_throw(value, "uuid");
    if (def->id_.empty()) throw Json_Member_Error("member \"id\" is empty");
    object_get(value, "uid", def->uid_);
    int type = object_get_int_or_throw<int>(value, "type");
    if (type < 0 || type >= JOB_DEFINITION_TYPE_MAX) throw Json_Member_Error("member \"type\" is out of range");
    def->type_ = static_cast<Job_Definition_Type>(type);
    int subtype = 0;
    object_get(value, "subtype", subtype);
    if (subtype < 0 || subtype >= JOB_DEFINITION_SUBTYPE_MAX)
      throw Json_Member_Error("member \"subtype\" is out of range");
    def->subtype_ = static_cast<Job_Definition_Subtype>(subtype);
    object_get(value, "name", def->name_);
    def->agent_ = object_get_str_or_throw(value, "agent");
    object_get(value, "host_id", def->host_id_);
    json_value target;
    if (object_get(value, "target", target)) {
      if (!target.is_object()) throw Json_Member_Error("member \"target\" is not an object");
      object_get(target, "id", def->target_.id);
      object_get(target, "location", def->target_.location);
    }
    json_value schedules;
    if (object_get(value, "schedules", schedules)) {
      if (!schedules.is_array()) throw Json_Member_Error("member \"schedules\" is not an array");
      for (const json_value& s : schedules) {
        Job_Schedule schedule;
        int t = object_get_int_or_throw<int>(s, "type");
        if (t < Job_Schedule::TYPE_NONE || t > Job_Schedule::TYPE_ONDEMAND)
          throw Json_Member_Error("member \"type\" of a schedule is out of range");
        schedule.type = static_cast<Job_Schedule::Type>(t);
        def->schedules_.push_back(schedule);
      }
    }
    json_value scripts;
    if (object_get(value, "scripts", scripts)) {
      if (!scripts.is_object()) throw Json_Member_Error("member \"scripts\" is not an object");
      object_get(scripts, "precondition", def->precondition_);
      object_get(scripts, "pre_action", def->pre_action_);
      object_get(scripts, "post_action", def->post_action_);
      object_get(scripts, "ignore_pre_action_failure", def->ignore_pre_action_failure_);
      object_get(scripts, "ignore_post_action_failure", def->ignore_post_action_failure_);
      object_get(scripts, "run_post_action_always", def->run_post_action_always_);
    }
    object_get(value, "max_seconds_retry", def->max_seconds_retry_);
    object_get(value, "resumption_buffer_size", def->resumption_buffer_size_);
    object_get(value, "server_side_dedup", def->server_side_dedup_);
    json_value limits;
    if (object_get(value, "rate_limits", limits) && !limits.is_null()) {
      if (!limits.is_object()) throw Json_Member_Error("member \"rate_limits\" is not an object");
      if (!def->rate_limits_.from_json_in_object(limits)) throw Json_Member_Error("member \"rate_limits\" is invalid");
    }
    object_get(value, "backup_protection_password", def->backup_protection_password_);
  } catch (const Json_Member_Error& e) {
    error = e.what();
    return nullptr;
  } catch (const nlohmann::json::exception& e) {
    error = e.what();
    return nullptr;
  }
  std::string why;
  if (present(value, "source")) {
    def->source_ = registry.parse_source(def->agent_, def->type_, value["source"], why);
    if (!def->source_) {
      error = "source: " + why;
      return nullptr;
    }
  }
  if (present(value, "options")) {
    def->options_ = registry.parse_options(def->agent_, def->type_, value["options"], why);
    if (!def->options_) {
      error = "options: " + why;
      return nullptr;
    }
  }
  return def;
}
