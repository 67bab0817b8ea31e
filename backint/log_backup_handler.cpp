#include "backint/log_backup_handler.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cerrno>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/http/cgi_response.h"
#include "agent/base/file_utils.h"
#include "agent/config/host_manager.h"
#include "agent/http/http_request.h"
#include "agent/json/json_file.h"
#include "agent/base/snprintf_t.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

const char* const kEnqueuePath = "/d2/r/hana/backint/job/enqueue";

}  // namespace

bool Backint_Log_Backup_Handler::parse_pipe_name(const std::string& name, Log_Backup_Type& type) {
  const std::string base = base_name(name);
  if (boost::algorithm::starts_with(base, "log_backup"))
    type = TYPE_LOG;
  else if (base.find("databackup_incremental") != std::string::npos)
    type = TYPE_INCREMENTAL;
  else if (base.find("databackup_differential") != std::string::npos)
    type = TYPE_DIFFERENTIAL;
  else
    type = TYPE_LOG;
  return true;
}

void Backint_Log_Backup_Handler::parse_job_uuid(const std::string& tool_options, std::string& job_uuid) {
  static const std::string key = "job_uuid=";
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, tool_options, [](char c) { return c == ';'; });
  for (const std::string& piece : pieces)
    if (boost::algorithm::starts_with(piece, key)) job_uuid = piece.substr(key.size());
}

bool Backint_Log_Backup_Handler::is_active_state(Job_State state) {
  return state != JOB_STATE_NONE && state != JOB_STATE_DELETED && state != JOB_STATE_DISABLED;
}

bool Backint_Log_Backup_Handler::get_job_state(const std::string& job_uuid, Job_State& state) {
  Agent_Job_Activity_Handle handle;
  if (handle.open(job_uuid, 0x80000) != 0) {
    protocol_.write_debug("Failed to open job activity for '%s', errno=%d.\n", job_uuid.c_str(), errno);
    return false;
  }
  const bool valid = handle->magic == job_activity_magic;
  if (valid) state = handle->state;
  handle.close();
  return valid;
}

bool Backint_Log_Backup_Handler::job_is_active(const std::string& job_uuid) {
  Job_State state = JOB_STATE_NONE;
  return get_job_state(job_uuid, state) && is_active_state(state);
}

bool Backint_Log_Backup_Handler::execute_backup() {
  const std::string& in_file = info_.in_file;
  if (info_.level != LEVEL_LOG && info_.level != LEVEL_CATALOG) {
    protocol_.write_error(in_file, "Level %d is not supported in log backup handler\n", static_cast<int>(info_.level));
    return false;
  }
  if (!collect_system_info(sid_, mdc_, instance_name_)) {
    protocol_.write_error(in_file, "Failed to collect system info\n");
    return false;
  }
  if (!handle_input_file()) {
    protocol_.write_error(in_file, "Failed to handle input file\n");
    return false;
  }
  if (!load_conf()) {
    protocol_.write_error(in_file, "Failed to load configuration\n");
    return false;
  }
  if (!protocol_.write_out_file_version() || !handle_source_file()) return false;
  update_database_backup_id();
  return true;
}

bool Backint_Log_Backup_Handler::load_conf() {
  const std::string& first = source_files_.front().filename;
  parse_pipe_name(first, log_backup_type_);
  database_.clear();
  get_database_from_pipename(first, database_);
  if (database_.empty()) database_ = sid_;
  parse_job_uuid(tool_options_, job_uuid_);
  const bool loaded = log_backup_type_ == TYPE_LOG ? load_ondemand_conf() : load_job_options();
  return loaded || load_default_conf();
}

bool Backint_Log_Backup_Handler::load_ondemand_conf() {
  std::string path;
  if (!ondemand_conf_path(sid_, instance_name_, database_, path) || !is_regular_file(path.c_str())) {
    // The agent writes a database's own file only when that database has a
    // job of its own; otherwise the instance-wide file serves every database.
    path.clear();
    ondemand_conf_path(sid_, instance_name_, "", path);
  }
  if (path.empty() || !is_regular_file(path.c_str())) {
    protocol_.write_debug("Failed to load ondemand conf file %s, file does not exist\n", path.c_str());
    return false;
  }
  json_value conf;
  if (!load_json(path, conf) || !conf.is_object()) {
    protocol_.write_debug("Failed to parse ondemand config file\n");
    return false;
  }

  job_info_.clear();
  generate_uuid(job_info_.uuid);
  job_info_.job_act_id = job_info_.uuid;
  job_info_.database_backup_id = info_.database_backup_id;
  job_info_.database = database_;
  job_info_.type = "log";
  job_info_.landscape_id = landscape_id_;
  job_info_.sid = sid_;
  job_info_.extended_attrs["backup_time"] = get_hana_format_date(0);

  std::string job_definition_uuid;
  std::string uid;
  try {
    extract_or_throw(conf)("location", job_info_.location)("type", job_info_.type)("host_uuid", job_info_.host_uuid)(
        "job_definition_uuid", job_definition_uuid)("uid", uid)("pool_uuid", job_info_.pool_uuid);
    object_get(conf, "compression", job_info_.compression);
    object_get(conf, "compression_level", job_info_.compression_level);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to load ondemand conf, %s\n", e.what());
    return false;
  }

  dir_ = snprintf_t<256>("%s/%s/%s/%llu", job_info_.host_uuid.c_str(), job_info_.landscape_id.c_str(),
                         database_.c_str(), static_cast<unsigned long long>(info_.database_backup_id))
             .c_str();
  auto io_ctl = conf.find("io_ctl");
  if (io_ctl != conf.end() && io_ctl->is_object()) {
    job_info_.extended_attrs["io_ctl"] = *io_ctl;
    read_io_ctl(*io_ctl, false);
  }

  if (!job_is_active(job_definition_uuid)) {
    protocol_.write_debug("The job in backupd is not active\n");
    return false;
  }
  if (!backint_helper_.add_job(job_info_)) {
    protocol_.write_debug("Failed to add job info to database\n");
    return false;
  }
  Backupd_Job_Option option;
  option.method = "start";
  option.job_def_uuid = job_definition_uuid;
  option.job_uuid = job_info_.uuid;
  option.uid = uid;
  if (!backupd_job_ctl(option)) protocol_.write_debug("failed to submit job to backupd\n");

  protocol_.write_debug("Load ondemand conf for %s %s, conf is %s\n", instance_name_.c_str(), database_.c_str(),
                        path.c_str());
  protocol_.write_debug("Backup HANA log data to %s/%s\n", job_info_.location.c_str(), dir_.c_str());
  return true;
}

bool Backint_Log_Backup_Handler::update_database_backup_id() {
  if (log_backup_type_ != TYPE_INCREMENTAL && log_backup_type_ != TYPE_DIFFERENTIAL) return true;
  // A delta backup without an agent job went to hana.conf's location under
  // a job of its own, which already carries the backup id.
  if (job_uuid_.empty()) return true;
  if (!backint_helper_.update_job_database_backup_id(job_uuid_, info_.database_backup_id)) {
    protocol_.write_error(info_.in_file, "Failed to call backint helper to update backup id\n");
    return false;
  }
  return true;
}

bool Backint_Log_Backup_Handler::backupd_job_ctl(const Backupd_Job_Option& option) {
  if (!http_session_ || option.method.empty() || option.job_def_uuid.empty() || option.job_uuid.empty()) return false;
  json_value body = json_value::object();
  body["action"] = option.method;
  body["backint_job_uuid"] = option.job_uuid;
  body["backupd_job_uuid"] = option.job_def_uuid;
  body["uid"] = option.uid;
  body["host_uuid"] = Host_Manager::instance()->uuid();
  HTTP_Request request(HTTP_POST, kEnqueuePath, false);
  CGI_Response response;
  json_value result;
  if (http_session_.post(request, body, response, result) && response.status() == 200) return true;
  protocol_.write_debug("Failed to %s job %s, backint job is %s, status = %d\n", option.method.c_str(),
                        option.job_def_uuid.c_str(), option.job_uuid.c_str(), response.status());
  return false;
}

}  // namespace sap_hana
