#include "agent/job/job_parser_registry.h"

#include "agent/json/yajl_parser.h"

namespace {

template <typename T>
std::shared_ptr<T> parse_with(Job_Parser_Registry::Creator* creator, const std::string& what, const json_value& value,
                              std::string& error) {
  if (creator == nullptr) {
    error = "no parser of " + what;
    return nullptr;
  }
  if (!value.is_object() && !value.is_string()) {
    error = "neither an object nor JSON text";
    return nullptr;
  }
  std::string text = value.is_string() ? value.get<std::string>() : value.dump();
  YAJL_Handler* handler = creator->create();
  auto* parser = dynamic_cast<YAJL_Parser<T>*>(handler);
  if (parser == nullptr) {
    error = handler == nullptr ? "the parser of " + what + " could not be made"
                               : "the parser of " + what + " makes something else";
    creator->destroy(handler);
    return nullptr;
  }
  std::shared_ptr<T> result;
  if (parser->parse(text.data(), text.size(), error) == 0) {
    result = parser->result();
    if (!result) error = "the parser of " + what + " gave no result";
  }
  creator->destroy(handler);
  return result;
}

std::string describe(const std::string& agent, Job_Definition_Type type, const char* kind) {
  return std::string(job_def_type_to_string(type)) + " job " + kind + " for \"" + agent + "\"";
}

}  // namespace

void Job_Parser_Registry::add(const std::string& agent, Job_Definition_Type type, Kind kind, Creator* creator) {
  std::lock_guard<std::mutex> lock(mutex_);
  creators_[Key(agent, type, kind)] = creator;
}

void Job_Parser_Registry::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  creators_.clear();
}

Job_Parser_Registry::Creator* Job_Parser_Registry::find(const std::string& agent, Job_Definition_Type type,
                                                        Kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = creators_.find(Key(agent, type, kind));
  return it == creators_.end() ? nullptr : it->second;
}

Job_Source_var Job_Parser_Registry::parse_source(const std::string& agent, Job_Definition_Type type,
                                                 const json_value& value, std::string& error) const {
  return parse_with<Job_Source>(find(agent, type, KIND_SOURCE), describe(agent, type, "sources"), value, error);
}

Job_Options_var Job_Parser_Registry::parse_options(const std::string& agent, Job_Definition_Type type,
                                                   const json_value& value, std::string& error) const {
  return parse_with<Job_Options>(find(agent, type, KIND_OPTIONS), describe(agent, type, "options"), value, error);
}
