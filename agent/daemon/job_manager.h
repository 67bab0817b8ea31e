#ifndef AGENT_JOB_MANAGER_H
#define AGENT_JOB_MANAGER_H

#include <map>
#include <mutex>
#include <string>

#include "agent/daemon/service_repository.h"
#include "agent/job/job.h"
#include "agent/job/job_parser_registry.h"
#include "agent/json/json_access.h"

/// The agent's jobs: one job object per job definition of the server that
/// a loaded job creator takes, made by the creator of the definition's
/// "agent" with the parsers the service configuration registered.
///
/// Definitions come from the server's "job.def.list" (all of them at
/// load_definitions(), one when a command names a definition not known yet
/// or asks for an update). Commands (start, stop, pause, resume, abort,
/// remove, update, setup_ondemand) go to the job of a definition ID.
///
/// Thread-safe. REQUIRES: `services` outlives the manager, and shutdown()
/// runs before the services are unloaded (a job's code lives in its
/// plug-in).
class Job_Manager {
 public:
  /// JSON-RPC error codes of refused commands.
  enum { E_NO_DEFINITION = -32004, E_REFUSED = -32005, E_NO_SERVER = -32006 };

  /// `server_timeout`: seconds to wait for the server's answers.
  explicit Job_Manager(const Service_Repository& services, int server_timeout = 30);
  ~Job_Manager();
  Job_Manager(const Job_Manager&) = delete;
  Job_Manager& operator=(const Job_Manager&) = delete;

  /// Replaces the known definitions by the server's whole list: new
  /// definitions get jobs, changed ones are updated (when their job allows
  /// it now), vanished ones are dropped unless running. Definitions that
  /// cannot be built or that no creator takes are logged and skipped. The
  /// number of jobs, or -1 (logged) when the server gave no list.
  int load_definitions();
  /// Adds or replaces one definition from its JSON form. 0, or an error
  /// code above with `error`. A new job whose activity record shows a run
  /// that the last agent left open is asked to reconcile it
  /// (Job::reconcile()).
  int add_definition(const json_value& value, std::string& error);

  /// Runs command `name` on the job of definition `id` (fetched from the
  /// server first when unknown, or for "update"). 0 when the job took it;
  /// otherwise an error code above, with `error`.
  int command(const std::string& name, const std::string& id, const Action_Options* options, std::string& error);

  /// {"id", "name", "agent", "type", "subtype", "state", "state_code",
  ///  "running", "progress", "job_act_id", "outcome", "start_time",
  ///  "end_time", "log"} of one job; null when unknown.
  json_value status(const std::string& id) const;
  /// status() of every job, by definition ID order.
  json_value status_all() const;

  /// Asks every running job to stop, waits up to `wait_seconds` for every
  /// run to end and every job thread to let go of its job, then drops all
  /// jobs. False (logged) when some job was still busy at the limit: its
  /// plug-in must then stay loaded.
  bool shutdown(int wait_seconds);

 private:
  int make_job(const Job_Definition_var& def, Job_var& job, std::string& error);
  int fetch(const std::string& id, json_value& record, std::string& error);

  const Service_Repository& services_;
  int server_timeout_;
  Job_Parser_Registry registry_;
  mutable std::mutex mutex_;
  std::map<std::string, Job_var> jobs_;
  bool closed_ = false;
};

#endif
