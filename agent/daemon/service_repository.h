#ifndef AGENT_SERVICE_REPOSITORY_H
#define AGENT_SERVICE_REPOSITORY_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/instance/instance_handler.h"
#include "agent/job/job_creator.h"
#include "agent/job/job_parser_registry.h"
#include "agent/jsonrpc/json_rpc_handler.h"

class ACE_DLL;

/// The service objects of the agent, made from its service configuration
/// (svc.conf) by the factories of loaded modules, kept for the life of the
/// service and destroyed only through the destroy functions the factories
/// stored.
///
/// svc.conf: one directive per line, '#' starts a comment, in the dynamic
/// directive syntax of ACE's service configurator:
///
///   dynamic <name> <kind> * <module path>:<factory>() ["<arguments>"]
///
/// <kind> is "Instance_Handler", "JSON_RPC_Handler", "Job_Creator",
/// "Job_Parser_Creator" or "Object" (created and kept, opaque to the
/// agent). <factory> is a C function
///   void* <factory>(void (**destroy)(void*))
/// that stores its destroy function in the slot and returns the object as a
/// pointer to its kind's class (Instance_Handler*, JSON_RPC_Handler*,
/// Job_Creator*, Object_Creator_T<YAJL_Handler>*) turned into void*; a
/// factory that stores no destroy function leaves its object alive until
/// the process ends. In <arguments>, "--method <name>" (repeatable,
/// JSON_RPC_Handler only, at least one) routes a JSON-RPC method to the
/// handler; "--agent <kind of job>" (Job_Creator and Job_Parser_Creator,
/// required) names the job definitions' "agent" the object serves;
/// "--job-type <type>" ("backup", "restore", ...) and "--parses source" or
/// "--parses options" (Job_Parser_Creator, both required) say which
/// definitions' documents its parsers read. The other words go to
/// init(argc, argv) with argv[0] = <name>. Methods "agent.*" are the
/// agent's own.
///
/// Every object but a Job_Parser_Creator is fini()shed before its destroy
/// function runs; a parser creator's destroy function finishes it itself
/// (the factory convention of parser creators).
///
/// Thread safety: load() and unload() by one thread while no request is
/// served; lookups afterwards from any thread.
class Service_Repository {
 public:
  using Factory = void* (*)(void (**)(void*));
  using Destroy = void (*)(void*);

  enum Kind { KIND_INSTANCE_HANDLER, KIND_JSON_RPC_HANDLER, KIND_JOB_CREATOR, KIND_JOB_PARSER_CREATOR, KIND_OBJECT };

  struct Entry {
    std::string name;
    Kind kind = KIND_OBJECT;
    std::string module;
    std::string factory;
    std::vector<std::string> args;
    std::vector<std::string> methods;
    std::string job_agent;                               // --agent
    Job_Definition_Type job_type = JOB_DEFINITION_NONE;  // --job-type
    Job_Parser_Registry::Kind parses = Job_Parser_Registry::KIND_SOURCE;
    void* object = nullptr;
    Destroy destroy = nullptr;
    std::shared_ptr<ACE_DLL> dll;
  };

  Service_Repository();
  ~Service_Repository();  ///< unload()
  Service_Repository(const Service_Repository&) = delete;
  Service_Repository& operator=(const Service_Repository&) = delete;

  /// Reads `path`, loads each module and makes, then init()s, each object in
  /// file order. On any fault (syntax with its line number, a module or
  /// factory that cannot be found, a null object, a failed init, a method
  /// routed twice) unloads what it made and returns false with `error`.
  bool load(const std::string& path, std::string& error);
  /// Parses one directive into `entry` (no loading); false with `error`.
  static bool parse_line(const std::string& line, Entry& entry, std::string& error);

  /// Adds a handler the agent made itself (its own "agent.*" methods); not
  /// owned.
  void add_builtin(const std::string& method, JSON_RPC_Handler* handler);

  /// The handler routed for `method`, or null.
  JSON_RPC_Handler* handler(const std::string& method) const;
  /// Every instance handler, in configuration order.
  std::vector<Instance_Handler*> instance_handlers() const;
  /// The job creator for job definitions of `agent`, or null.
  Job_Creator* job_creator(const std::string& agent) const;
  /// Registers every parser creator in `registry`.
  void register_parsers(Job_Parser_Registry& registry) const;
  const std::vector<Entry>& entries() const { return entries_; }

  /// fini() and destroys every object in reverse order of creation through
  /// its destroy function, then releases the modules. Idempotent.
  void unload();
  /// Forgets every object and module without finishing or destroying them:
  /// they stay in memory until the process ends (for a stop while code of
  /// a module still runs on some thread).
  void abandon();

 private:
  bool make(Entry& entry, std::string& error);
  static void finish(Entry& entry);

  std::vector<Entry> entries_;
  std::map<std::string, JSON_RPC_Handler*> routes_;
};

#endif
