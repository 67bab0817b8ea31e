#include "agent/daemon/service_repository.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <ace/DLL.h>
#include <ace/Log_Msg.h>

namespace {

// Splits a directive into words; a word in double quotes keeps its blanks.
bool split_words(const std::string& line, std::vector<std::string>& words, std::string& error) {
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    if (line[i] == '"') {
      std::size_t end = line.find('"', i + 1);
      if (end == std::string::npos) {
        error = "unterminated quoted arguments";
        return false;
      }
      words.push_back(line.substr(i, end + 1 - i));
      i = end + 1;
      continue;
    }
    std::size_t end = line.find_first_of(" \t\r\"", i);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(i, end - i));
    i = end;
  }
  return true;
}

}  // namespace

Service_Repository::Service_Repository() = default;

Service_Repository::~Service_Repository() { unload(); }

bool Service_Repository::parse_line(const std::string& line, Entry& entry, std::string& error) {
  std::vector<std::string> w;
  if (!split_words(line, w, error)) return false;
  if (w.size() < 5 || w.size() > 6 || w[0] != "dynamic" || w[3] != "*") {
    error = "expected: dynamic <name> <kind> * <module>:<factory>() [\"<arguments>\"]";
    return false;
  }
  entry = Entry();
  entry.name = w[1];
  if (w[2] == "Instance_Handler") {
    entry.kind = KIND_INSTANCE_HANDLER;
  } else if (w[2] == "JSON_RPC_Handler") {
    entry.kind = KIND_JSON_RPC_HANDLER;
  } else if (w[2] == "Job_Creator") {
    entry.kind = KIND_JOB_CREATOR;
  } else if (w[2] == "Job_Parser_Creator") {
    entry.kind = KIND_JOB_PARSER_CREATOR;
  } else if (w[2] == "Object") {
    entry.kind = KIND_OBJECT;
  } else {
    error =
        "unknown kind \"" + w[2] + "\" (Instance_Handler, JSON_RPC_Handler, Job_Creator, Job_Parser_Creator or Object)";
    return false;
  }
  bool parser_complete = false;
  const std::string& target = w[4];
  std::size_t colon = target.rfind(':');
  if (colon == std::string::npos || colon == 0 || target.size() < colon + 4 ||
      target.compare(target.size() - 2, 2, "()") != 0) {
    error = "expected <module>:<factory>() instead of \"" + target + "\"";
    return false;
  }
  entry.module = target.substr(0, colon);
  entry.factory = target.substr(colon + 1, target.size() - colon - 3);
  if (w.size() == 6) {
    if (w[5].size() < 2 || w[5].front() != '"') {
      error = "arguments must be in double quotes";
      return false;
    }
    std::istringstream args(w[5].substr(1, w[5].size() - 2));
    std::string word;
    const bool job_kind = entry.kind == KIND_JOB_CREATOR || entry.kind == KIND_JOB_PARSER_CREATOR;
    bool have_type = false;
    bool have_parses = false;
    while (args >> word) {
      if (word == "--method") {
        if (!(args >> word)) {
          error = "--method needs a method name";
          return false;
        }
        entry.methods.push_back(word);
      } else if (job_kind && word == "--agent") {
        if (!(args >> word)) {
          error = "--agent needs the kind of job";
          return false;
        }
        entry.job_agent = word;
      } else if (entry.kind == KIND_JOB_PARSER_CREATOR && word == "--job-type") {
        if (!(args >> word) || job_def_type_from_string(word) == JOB_DEFINITION_TYPE_MAX) {
          error = "--job-type needs a job type (backup, restore, standby, storage)";
          return false;
        }
        entry.job_type = job_def_type_from_string(word);
        have_type = true;
      } else if (entry.kind == KIND_JOB_PARSER_CREATOR && word == "--parses") {
        if (!(args >> word) || (word != "source" && word != "options")) {
          error = "--parses needs \"source\" or \"options\"";
          return false;
        }
        entry.parses = word == "source" ? Job_Parser_Registry::KIND_SOURCE : Job_Parser_Registry::KIND_OPTIONS;
        have_parses = true;
      } else {
        entry.args.push_back(word);
      }
    }
    parser_complete = have_type && have_parses;
  }
  if ((entry.kind == KIND_JOB_CREATOR || entry.kind == KIND_JOB_PARSER_CREATOR) && entry.job_agent.empty()) {
    error = "a " + w[2] + " needs --agent <kind of job>";
    return false;
  }
  if (entry.kind == KIND_JOB_PARSER_CREATOR && !parser_complete) {
    error = "a Job_Parser_Creator needs --job-type <type> and --parses source|options";
    return false;
  }
  if (entry.kind == KIND_JSON_RPC_HANDLER && entry.methods.empty()) {
    error = "a JSON_RPC_Handler needs at least one --method";
    return false;
  }
  if (entry.kind != KIND_JSON_RPC_HANDLER && !entry.methods.empty()) {
    error = "--method is only for a JSON_RPC_Handler";
    return false;
  }
  for (const auto& m : entry.methods) {
    if (m.compare(0, 6, "agent.") == 0) {
      error = "method \"" + m + "\" is reserved for the agent";
      return false;
    }
  }
  return true;
}

bool Service_Repository::load(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Entry entry;
    std::string why;
    if (!parse_line(line, entry, why) || !make(entry, why)) {
      error = path + ":" + std::to_string(number) + ": " + why;
      unload();
      return false;
    }
    entries_.push_back(std::move(entry));
    for (const auto& m : entries_.back().methods) routes_[m] = static_cast<JSON_RPC_Handler*>(entries_.back().object);
  }
  return true;
}

bool Service_Repository::make(Entry& entry, std::string& error) {
  for (const auto& m : entry.methods) {
    if (routes_.count(m)) {
      error = "method \"" + m + "\" is routed twice";
      return false;
    }
  }
  for (const auto& e : entries_) {
    if (e.name == entry.name) {
      error = "service \"" + entry.name + "\" is defined twice";
      return false;
    }
    if (entry.kind == KIND_JOB_CREATOR && e.kind == KIND_JOB_CREATOR && e.job_agent == entry.job_agent) {
      error = "a second job creator for \"" + entry.job_agent + "\"";
      return false;
    }
    if (entry.kind == KIND_JOB_PARSER_CREATOR && e.kind == KIND_JOB_PARSER_CREATOR && e.job_agent == entry.job_agent &&
        e.job_type == entry.job_type && e.parses == entry.parses) {
      error = "a second parser creator for the same agent, job type and document";
      return false;
    }
  }
  entry.dll = std::make_shared<ACE_DLL>();
  if (entry.dll->open(entry.module.c_str(), RTLD_NOW | RTLD_LOCAL, true) != 0) {
    const ACE_TCHAR* why = entry.dll->error();
    error = "cannot load " + entry.module + ": " + (why ? why : "unknown error");
    return false;
  }
  auto factory = reinterpret_cast<Factory>(entry.dll->symbol(entry.factory.c_str()));
  if (!factory) {
    error = "no factory " + entry.factory + " in " + entry.module;
    return false;
  }
  errno = 0;
  entry.object = factory(&entry.destroy);
  if (!entry.object) {
    error = "factory " + entry.factory + " made no object" + (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
  }
  if (!entry.destroy) {
    ACE_ERROR((LM_WARNING,
               ACE_TEXT("Service %C: factory %C stored no destroy function; the object is kept until "
                        "the agent exits\n"),
               entry.name.c_str(), entry.factory.c_str()));
  }
  std::vector<std::string> words;
  words.push_back(entry.name);
  words.insert(words.end(), entry.args.begin(), entry.args.end());
  std::vector<ACE_TCHAR*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int rc = 0;
  if (entry.kind == KIND_INSTANCE_HANDLER)
    rc = static_cast<Instance_Handler*>(entry.object)->init(static_cast<int>(words.size()), argv.data());
  else if (entry.kind == KIND_JSON_RPC_HANDLER)
    rc = static_cast<JSON_RPC_Handler*>(entry.object)->init(static_cast<int>(words.size()), argv.data());
  else if (entry.kind == KIND_JOB_CREATOR)
    rc = static_cast<Job_Creator*>(entry.object)->init(static_cast<int>(words.size()), argv.data());
  else if (entry.kind == KIND_JOB_PARSER_CREATOR)
    rc = static_cast<Job_Parser_Registry::Creator*>(entry.object)->init(static_cast<int>(words.size()), argv.data());
  if (rc != 0) {
    error = "service " + entry.name + ": init failed";
    // Not initialised, so no fini(); only destroyed.
    if (entry.destroy) entry.destroy(entry.object);
    entry.object = nullptr;
    return false;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("Service %C loaded from %C\n"), entry.name.c_str(), entry.module.c_str()));
  return true;
}

void Service_Repository::add_builtin(const std::string& method, JSON_RPC_Handler* handler) {
  routes_[method] = handler;
}

JSON_RPC_Handler* Service_Repository::handler(const std::string& method) const {
  auto it = routes_.find(method);
  return it == routes_.end() ? nullptr : it->second;
}

Job_Creator* Service_Repository::job_creator(const std::string& agent) const {
  for (const auto& e : entries_)
    if (e.kind == KIND_JOB_CREATOR && e.job_agent == agent) return static_cast<Job_Creator*>(e.object);
  return nullptr;
}

void Service_Repository::register_parsers(Job_Parser_Registry& registry) const {
  for (const auto& e : entries_)
    if (e.kind == KIND_JOB_PARSER_CREATOR)
      registry.add(e.job_agent, e.job_type, e.parses, static_cast<Job_Parser_Registry::Creator*>(e.object));
}

std::vector<Instance_Handler*> Service_Repository::instance_handlers() const {
  std::vector<Instance_Handler*> out;
  for (const auto& e : entries_)
    if (e.kind == KIND_INSTANCE_HANDLER) out.push_back(static_cast<Instance_Handler*>(e.object));
  return out;
}

void Service_Repository::finish(Entry& entry) {
  if (!entry.object || !entry.dll) return;
  if (entry.kind == KIND_INSTANCE_HANDLER)
    static_cast<Instance_Handler*>(entry.object)->fini();
  else if (entry.kind == KIND_JSON_RPC_HANDLER)
    static_cast<JSON_RPC_Handler*>(entry.object)->fini();
  else if (entry.kind == KIND_JOB_CREATOR)
    static_cast<Job_Creator*>(entry.object)->fini();
  if (entry.destroy) {
    entry.destroy(entry.object);
    entry.object = nullptr;
    ACE_DEBUG((LM_INFO, ACE_TEXT("Service %C destroyed\n"), entry.name.c_str()));
  }
}

void Service_Repository::abandon() {
  routes_.clear();
  static auto* abandoned = new std::vector<Entry>;
  for (auto& e : entries_) abandoned->push_back(std::move(e));
  entries_.clear();
}

void Service_Repository::unload() {
  routes_.clear();
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) finish(*it);
  // An object without a destroy function still lives in its module: both
  // stay until the process ends (kept reachable, so they are no leak).
  static auto* kept = new std::vector<std::pair<void*, std::shared_ptr<ACE_DLL>>>;
  for (auto& e : entries_)
    if (!e.destroy && e.object) kept->emplace_back(e.object, e.dll);
  entries_.clear();
}
