#include "agent/instance/instance_handler.h"

#include <vector>

Instance_Handler::Instance_Handler(const char* type) : type_(type ? type : "") {}

Instance_Handler::~Instance_Handler() = default;

int Instance_Handler::init(int, ACE_TCHAR*[]) { return 0; }

int Instance_Handler::fini() { return 0; }

int Instance_Handler::probe_instances(std::map<std::string, std::shared_ptr<Instance>>&) { return 0; }

std::string& Instance_Handler::get_state(const char*, std::string& state) {
  state = "error";
  return state;
}

int Instance_Handler::get_states(std::map<std::string, std::string>& states) {
  std::vector<std::shared_ptr<Instance>> instances;
  if (!Instance_Manager::instance()->list(type_, instances)) return -1;
  for (const auto& instance : instances) {
    std::string state;
    states[instance->name()] = get_state(instance->name().c_str(), state);
  }
  return 0;
}

int Instance_Handler::logon(const char*, const char*, const char*, const json_value*) { return E_OTHER; }

int Instance_Handler::logoff(const char*) { return 0; }

int Instance_Handler::update_options(const std::string& name, const json_value& options) {
  auto instance = Instance_Manager::instance()->find(type_, name);
  if (!instance) return -1;
  instance->options(options);
  return Instance_Manager::instance()->add(*instance) ? 0 : -1;
}
