#ifndef AGENT_INSTANCE_HANDLER_H
#define AGENT_INSTANCE_HANDLER_H

#include <map>
#include <memory>
#include <string>

#include <ace/ACE.h>

#include "agent/config/instance_manager.h"
#include "agent/json/json_access.h"

/// The base of an application's instance handler (one per instance type,
/// "hana", ...), made by a factory of a loaded module. The agent calls
/// probe_instances() at start and on request and stores what it returns
/// through Instance_Manager; the services call get_state() and logon().
///
/// Life cycle: init() after creation, fini() before destruction through the
/// module's destroy function. Operations may be called from several threads
/// at once; implementations keep no shared state or guard it. Nothing is
/// thrown; failures are result codes and log lines. Passwords are never
/// logged.
class Instance_Handler {
 public:
  enum { E_OK = 0, E_OTHER = -1, E_INVALID_USERNAME_OR_PASSWORD = -32000, E_PERMISSION_DENIED = -32001 };

  explicit Instance_Handler(const char* type);
  Instance_Handler(const Instance_Handler&) = delete;
  Instance_Handler& operator=(const Instance_Handler&) = delete;

  const std::string& type() const { return type_; }

  virtual ~Instance_Handler();
  /// Base: 0.
  virtual int init(int argc, ACE_TCHAR* argv[]);
  /// Base: 0.
  virtual int fini();
  /// Adds (or replaces, by name) the instances found on the host to
  /// `instances`: 0, or -1 when they cannot be listed. Base: 0, none found.
  virtual int probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances);
  /// "open" when instance `name` can be served, otherwise "error"; returns
  /// `state`. Base: "error".
  virtual std::string& get_state(const char* name, std::string& state);
  /// The state of every registered instance of this type, by name: 0, or -1
  /// when the registry cannot be read. Base: get_state() for each.
  virtual int get_states(std::map<std::string, std::string>& states);
  /// Checks the credentials: E_OK, E_INVALID_USERNAME_OR_PASSWORD,
  /// E_PERMISSION_DENIED or E_OTHER. `extended_attrs` may be null. Base:
  /// E_OTHER.
  virtual int logon(const char* instance_name, const char* username, const char* password,
                    const json_value* extended_attrs);
  /// Base: 0.
  virtual int logoff(const char* name);
  /// Replaces the options of registered instance `name`: 0, -1 when it is
  /// not registered or the registry cannot be written. Base: registry update.
  virtual int update_options(const std::string& name, const json_value& options);

 private:
  std::string type_;
};

#endif
