#include "agent/daemon/job_manager.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <ace/Log_Msg.h>

#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_session.h"

Job_Manager::Job_Manager(const Service_Repository& services, int server_timeout)
    : services_(services), server_timeout_(server_timeout) {
  services_.register_parsers(registry_);
}

Job_Manager::~Job_Manager() = default;

int Job_Manager::make_job(const Job_Definition_var& def, Job_var& job, std::string& error) {
  Job_Creator* creator = services_.job_creator(def->agent());
  if (creator == nullptr) {
    error = "no job creator for \"" + def->agent() + "\" jobs";
    return E_REFUSED;
  }
  errno = 0;
  job = creator->create(def);
  if (!job) {
    error = std::string("the job creator of \"") + def->agent() + "\" makes no job of type " +
            job_def_type_to_string(def->type()) + ", subtype " + job_def_subtype_to_string(def->subtype());
    return E_REFUSED;
  }
  return 0;
}

int Job_Manager::add_definition(const json_value& value, std::string& error) {
  Job_Definition_var def = Job_Definition::from_json(value, registry_, error);
  if (!def) {
    std::string id = value.is_object() ? value.value("id", value.value("uuid", std::string("?"))) : "?";
    error = "job definition " + id + ": " + error;
    return E_REFUSED;
  }
  Job_var existing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = jobs_.find(def->id());
    if (it != jobs_.end()) existing = it->second;
  }
  if (existing && existing->definition().agent() == def->agent()) {
    if (existing->update(def) != 0) {
      error = "job " + def->id() + " keeps its definition: the job refused the update" +
              (existing->running() ? " (a run is open)" : "");
      return E_REFUSED;
    }
    return 0;
  }
  if (existing && existing->running()) {
    error = "job " + def->id() + " keeps its definition: a run is open";
    return E_REFUSED;
  }
  Job_var job;
  int rc = make_job(def, job, error);
  if (rc != 0) return rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_[def->id()] = job;
  }
  // A run the last agent left open is cleaned up before anything else: the
  // job only starts that work (on its own thread) and takes commands meanwhile.
  if (job->interrupted_run().found && job->reconcile() != 0)
    ACE_ERROR((LM_ERROR, ACE_TEXT("Job %C: the run it left open could not be reconciled\n"), def->id().c_str()));
  return 0;
}

int Job_Manager::fetch(const std::string& id, json_value& record, std::string& error) {
  auto channel = Global_JSON_RPC_Channel::instance();
  JSON_RPC_Object_Ptr answer;
  if (!channel ||
      JSON_RPC_Session(channel).request("job.def.list", json_value{{"uuid", id}}, answer, server_timeout_) != 0) {
    error = "the backup server did not answer job.def.list";
    return E_NO_SERVER;
  }
  if (answer->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    error = "job.def.list refused: " + answer->error_message();
    return E_NO_SERVER;
  }
  const json_value& list = answer->result();
  if (!list.is_array() || list.empty()) {
    error = "no job definition " + id;
    return E_NO_DEFINITION;
  }
  record = list[0];
  return 0;
}

int Job_Manager::load_definitions() {
  auto channel = Global_JSON_RPC_Channel::instance();
  JSON_RPC_Object_Ptr answer;
  if (!channel || JSON_RPC_Session(channel).request("job.def.list", json_value(), answer, server_timeout_) != 0 ||
      answer->type() != JSON_RPC_Object::TYPE_RESPONSE || !answer->result().is_array()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Job definitions not loaded: the backup server gave no list\n")));
    return -1;
  }
  std::set<std::string> listed;
  for (const json_value& record : answer->result()) {
    std::string error;
    if (add_definition(record, error) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%C\n"), error.c_str()));
      continue;
    }
    std::string id;
    if (!object_get(record, "id", id)) object_get(record, "uuid", id);
    listed.insert(id);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (!listed.count(it->first) && !it->second->running())
      it = jobs_.erase(it);
    else
      ++it;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("%d job(s) loaded\n"), static_cast<int>(jobs_.size())));
  return static_cast<int>(jobs_.size());
}

int Job_Manager::command(const std::string& name, const std::string& id, const Action_Options* options,
                         std::string& error) {
  static const std::set<std::string> kCommands = {"start", "stop",   "pause",  "resume",
                                                  "abort", "remove", "update", "setup_ondemand"};
  if (!kCommands.count(name)) {
    error = "unknown job command \"" + name + "\"";
    return E_REFUSED;
  }
  Job_var job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      error = "Agent stopping";
      return E_REFUSED;
    }
    auto it = jobs_.find(id);
    if (it != jobs_.end()) job = it->second;
  }
  if (!job || name == "update") {
    json_value record;
    int rc = fetch(id, record, error);
    if (rc == 0) rc = add_definition(record, error);
    if (rc != 0 || name == "update") return rc;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = jobs_.find(id);
    if (it != jobs_.end()) job = it->second;
  }
  if (!job) {
    error = "no job definition " + id;
    return E_NO_DEFINITION;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C: %C\n"), id.c_str(), name.c_str()));
  int rc = -1;
  if (name == "start")
    rc = job->start(options);
  else if (name == "stop")
    rc = job->stop(options);
  else if (name == "pause")
    rc = job->pause(options);
  else if (name == "resume")
    rc = job->resume(options);
  else if (name == "abort")
    rc = job->abort(options);
  else if (name == "setup_ondemand")
    rc = job->setup_ondemand();
  else if (name == "remove") {
    rc = job->remove(0, options);
    // A run still open keeps the job (its thread holds a reference) until
    // it ends; the agent forgets it now either way.
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.erase(id);
  }
  if (rc == 0) return 0;
  error = "job " + id + " refused " + name + " while " + job_state_to_string(job->activity().state);
  return E_REFUSED;
}

json_value Job_Manager::status(const std::string& id) const {
  Job_var job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = jobs_.find(id);
    if (it == jobs_.end()) return json_value();
    job = it->second;
  }
  Job_Definition_var def = job->definition_var();
  const Job_Activity& act = job->activity();
  return json_value{{"id", def->id()},
                    {"name", def->name()},
                    {"agent", def->agent()},
                    {"type", job_def_type_to_string(def->type())},
                    {"subtype", job_def_subtype_to_string(def->subtype())},
                    {"state", job_state_to_string(act.state)},
                    {"state_code", static_cast<int>(act.state)},
                    {"running", job->running()},
                    {"progress", job->progress()},
                    {"job_act_id", job->job_act_id()},
                    {"outcome", job_outcome_to_string(job->outcome())},
                    {"start_time", act.start_time},
                    {"end_time", act.end_time},
                    {"log", job->log_path()}};
}

json_value Job_Manager::status_all() const {
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& j : jobs_) ids.push_back(j.first);
  }
  json_value all = json_value::array();
  for (const auto& id : ids) {
    json_value one = status(id);
    if (!one.is_null()) all.push_back(one);
  }
  return all;
}

bool Job_Manager::shutdown(int wait_seconds) {
  std::map<std::string, Job_var> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    jobs.swap(jobs_);
  }
  for (auto& j : jobs) {
    if (!j.second->running()) continue;
    ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C: stopping its run\n"), j.first.c_str()));
    j.second->stop(nullptr);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
  for (;;) {
    bool busy = false;
    for (auto& j : jobs)
      if (j.second->running() || j.second->reference_count() > 1) busy = true;
    if (!busy) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      for (auto& j : jobs)
        if (j.second->running() || j.second->reference_count() > 1)
          ACE_ERROR((LM_ERROR, ACE_TEXT("Job %C still busy after %d second(s)\n"), j.first.c_str(), wait_seconds));
      // Our references go; the busy jobs' threads keep theirs, so the
      // jobs (and their plug-ins, which the caller keeps loaded) live on.
      jobs.clear();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  jobs.clear();
  return true;
}
