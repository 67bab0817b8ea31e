#ifndef AGENT_JOB_PARSER_REGISTRY_H
#define AGENT_JOB_PARSER_REGISTRY_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "agent/base/object_creator.h"
#include "agent/job/job_definition.h"
#include "agent/json/json_access.h"
#include "agent/json/yajl_handler.h"

/// The parser creators that plug-ins registered, by agent ("hana"), job
/// type and what they parse (a definition's source or its options). The
/// creators are not owned: whoever registered one keeps it alive while the
/// registry may use it. Thread-safe.
class Job_Parser_Registry {
 public:
  enum Kind { KIND_SOURCE, KIND_OPTIONS };
  using Creator = Object_Creator_T<YAJL_Handler>;

  /// Registers `creator` (replacing an earlier one for the same key).
  void add(const std::string& agent, Job_Definition_Type type, Kind kind, Creator* creator);
  /// Forgets every creator.
  void clear();
  /// The creator for the key, or null.
  Creator* find(const std::string& agent, Job_Definition_Type type, Kind kind) const;

  /// Parses `value` (an object, or a string holding JSON text) with a
  /// parser from the creator for the key. Null with `error` when there is
  /// no creator, the creator makes no parser or one of another kind, or the
  /// parse fails ("<message> (code <n>)"). The parser is given back to its
  /// creator in every case.
  Job_Source_var parse_source(const std::string& agent, Job_Definition_Type type, const json_value& value,
                              std::string& error) const;
  Job_Options_var parse_options(const std::string& agent, Job_Definition_Type type, const json_value& value,
                                std::string& error) const;

 private:
  using Key = std::tuple<std::string, int, int>;
  mutable std::mutex mutex_;
  std::map<Key, Creator*> creators_;
};

#endif
