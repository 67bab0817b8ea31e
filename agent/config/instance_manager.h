#ifndef AGENT_INSTANCE_MANAGER_H
#define AGENT_INSTANCE_MANAGER_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/json/json_access.h"
#include "agent/base/secure_string.h"

/// One entry of the agent's instance registry: an application instance of
/// some `type` ("hana", ...) known under a unique `name`. Plain value.
class Instance {
 public:
  Instance() = default;
  Instance(const std::string& type, const std::string& name, const json_value& options = json_value::object())
      : type_(type), name_(name), options_(options) {}

  const std::string& type() const { return type_; }
  const std::string& name() const { return name_; }
  const std::string& uuid() const { return uuid_; }
  const json_value& options() const { return options_; }
  const json_value& logon_options() const { return logon_options_; }
  void uuid(const std::string& uuid) { uuid_ = uuid; }
  void options(const json_value& options) { options_ = options; }
  void logon_options(const json_value& options) { logon_options_ = options; }

  /// Reads option `key` into `value`. False, `value` unchanged, when the
  /// option is missing or not of the wanted kind (a string for strings, an
  /// unsigned integer in range for unsigned types, ...).
  template <typename T>
  bool get_option(const char* key, T& value) const {
    try {
      T read{};
      if (!object_get(options_, key, read)) return false;
      value = read;
      return true;
    } catch (const Json_Member_Error&) {
      return false;
    }
  }

 private:
  std::string type_;
  std::string name_;
  std::string uuid_;
  json_value options_ = json_value::object();
  json_value logon_options_ = json_value::object();
};

/// The agent's instance registry, kept in one JSON file (by default
/// /var/opt/corvane/strovix3/agent/instances.json):
///   { "<type>": { "<name>": { "uuid": ..., "options": {...}, "logon_options": {...},
///                             "accounts": { "<uid>": { "user": ..., "password": ... } } } } }
///
/// Contract:
/// - instance() is the process-wide registry; every call reads the file
///   anew, so entries written by another process are seen at once. A missing
///   file is an empty registry; a file that is not such a JSON object makes
///   every read fail (logged) and every change refused, so nothing is lost.
/// - Changes are read-modify-write under a lock (threads and, through an
///   advisory lock file next to the registry, processes) and replace the file
///   atomically with mode 0600: only its owner (root) may read it, since it
///   holds passwords. Passwords are handed out only as secure_string; the
///   file's text, as read and as written, and the parsed copies are wiped
///   before they are released.
/// - Operations return bool (true on success) or int (0 / -1); nothing is
///   thrown. Passwords are never logged.
/// Thread-safe.
class Instance_Manager {
 public:
  static Instance_Manager* instance();

  /// The registry file; tests point it into a temporary directory.
  void registry_path(const std::string& path);
  std::string registry_path() const;

  /// The entry `name` of `type`; null when it is not registered (or the
  /// registry cannot be read).
  std::shared_ptr<Instance> find(const std::string& type, const std::string& name);
  /// Every entry of `type`, in registration order. False when the registry
  /// cannot be read.
  bool list(const std::string& type, std::vector<std::shared_ptr<Instance>>& instances);

  /// The account that user `uid` stored for the instance: 0 with `user` and
  /// `password` (and `extra`, when not null and the account has extra data)
  /// filled, -1 when the instance or the account is not registered.
  int get_account(const std::string& type, const std::string& name, const std::string& uid, std::string& user,
                  secure_string& password, json_value* extra);

  /// Registers `instance` (type and name non-empty), replacing an entry of
  /// the same type and name but keeping its accounts.
  bool add(const Instance& instance);
  /// Stores the account of user `uid` for a registered instance.
  bool set_account(const std::string& type, const std::string& name, const std::string& uid, const std::string& user,
                   const secure_string& password, const json_value& extra = json_value());
  /// Removes the entry and its accounts; true also when it was not registered.
  bool remove(const std::string& type, const std::string& name);

  Instance_Manager(const Instance_Manager&) = delete;
  Instance_Manager& operator=(const Instance_Manager&) = delete;

 private:
  Instance_Manager();

  bool load(json_value& registry) const;
  bool store(const json_value& registry) const;
  template <typename Change>
  bool modify(Change change);

  mutable std::mutex mutex_;
  std::string path_;
};

#endif
