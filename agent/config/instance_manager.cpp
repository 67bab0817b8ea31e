#include "agent/config/instance_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iomanip>
#include <ostream>
#include <streambuf>

#include <ace/Log_Msg.h>

#include "agent/base/file_utils.h"
#include "agent/json/json_file.h"
#include "agent/base/agent_paths.h"

namespace {

constexpr const char* kDefaultRegistry = agent_paths::kInstanceRegistry;

// Overwrites every stored password of a parsed registry, so that the
// plain-text copies the JSON parser made do not outlive their use.
void wipe_passwords(json_value& registry) {
  if (!registry.is_object()) return;
  for (auto& type : registry.items()) {
    if (!type.value().is_object()) continue;
    for (auto& entry : type.value().items()) {
      auto accounts = entry.value().find("accounts");
      if (accounts == entry.value().end() || !accounts->is_object()) continue;
      for (auto& account : accounts->items()) {
        auto password = account.value().find("password");
        if (password != account.value().end() && password->is_string()) {
          std::string& text = password->get_ref<std::string&>();
          explicit_bzero(&text[0], text.size());
        }
      }
    }
  }
}

// Collects a JSON text in storage that is wiped when released, however
// often it grows.
class Secure_Text_Buffer : public std::streambuf {
 public:
  secure_string text;

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) text.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize n) override {
    text.append(data, static_cast<std::size_t>(n));
    return n;
  }
};

// Reads a whole file into wiped storage, in one piece when its size holds.
bool read_secure(const std::string& path, secure_string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size) + 1);
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "read error";
      break;
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  explicit_bzero(chunk, sizeof chunk);
  ::close(fd);
  return n == 0;
}

class Wiping_Registry {
 public:
  Wiping_Registry() : value(json_value::object()) {}
  ~Wiping_Registry() { wipe_passwords(value); }
  Wiping_Registry(const Wiping_Registry&) = delete;
  Wiping_Registry& operator=(const Wiping_Registry&) = delete;
  json_value value;
};

// Serialises changes of several processes: held from reading the registry
// until its replacement is in place.
class File_Lock {
 public:
  explicit File_Lock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~File_Lock() {
    if (fd_ >= 0) ::close(fd_);
  }
  File_Lock(const File_Lock&) = delete;
  File_Lock& operator=(const File_Lock&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace

Instance_Manager::Instance_Manager() : path_(kDefaultRegistry) {}

Instance_Manager* Instance_Manager::instance() {
  static Instance_Manager manager;
  return &manager;
}

void Instance_Manager::registry_path(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  path_ = path;
}

std::string Instance_Manager::registry_path() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return path_;
}

bool Instance_Manager::load(json_value& registry) const {
  if (!is_regular_file(path_.c_str())) {
    if (access(path_.c_str(), F_OK) == 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Instance registry '%s' is not a regular file\n"), path_.c_str()));
      return false;
    }
    registry = json_value::object();
    return true;
  }
  secure_string text;
  std::string error;
  if (!read_secure(path_, text, error)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read instance registry '%s', %s\n"), path_.c_str(), error.c_str()));
    return false;
  }
  try {
    registry = json_value::parse(text.begin(), text.end());
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read instance registry '%s', %s\n"), path_.c_str(), e.what()));
    return false;
  }
  if (!registry.is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read instance registry '%s', it is not a JSON object\n"), path_.c_str()));
    return false;
  }
  return true;
}

bool Instance_Manager::store(const json_value& registry) const {
  std::string dir = dirname_string(path_);
  if (mkdir_p(dir.c_str(), 0755) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create directory '%s', %m\n"), dir.c_str()));
    return false;
  }
  // The text holds every password: it is built in wiped storage and its one
  // plain copy, made at its final size, is wiped once written.
  Secure_Text_Buffer buffer;
  bool ok = true;
  try {
    std::ostream out(&buffer);
    out << std::setw(2) << registry << '\n';
    ok = out.good();
  } catch (const std::exception&) {
    ok = false;  // invalid UTF-8 in a string
  }
  if (ok) {
    std::string text(buffer.text.data(), buffer.text.size());
    ok = write_file_atomic(path_, text, 0600);
    if (!text.empty()) explicit_bzero(&text[0], text.size());
  }
  if (!ok) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write instance registry '%s'\n"), path_.c_str()));
    return false;
  }
  return true;
}

template <typename Change>
bool Instance_Manager::modify(Change change) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string dir = dirname_string(path_);
  if (mkdir_p(dir.c_str(), 0755) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create directory '%s', %m\n"), dir.c_str()));
    return false;
  }
  File_Lock lock(path_ + ".lock");
  if (!lock.locked()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to lock instance registry '%s', %m\n"), path_.c_str()));
    return false;
  }
  Wiping_Registry registry;
  if (!load(registry.value)) return false;
  try {
    if (!change(registry.value)) return false;
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to change instance registry '%s', %s\n"), path_.c_str(), e.what()));
    return false;
  }
  return store(registry.value);
}

std::shared_ptr<Instance> Instance_Manager::find(const std::string& type, const std::string& name) {
  std::vector<std::shared_ptr<Instance>> all;
  if (!list(type, all)) return nullptr;
  for (auto& i : all) {
    if (i->name() == name) return i;
  }
  return nullptr;
}

bool Instance_Manager::list(const std::string& type, std::vector<std::shared_ptr<Instance>>& instances) {
  std::lock_guard<std::mutex> guard(mutex_);
  Wiping_Registry registry;
  if (!load(registry.value)) return false;
  auto entries = registry.value.find(type);
  if (entries == registry.value.end()) return true;
  if (!entries->is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Instance registry '%s' is malformed, \"%s\" is not an object\n"), path_.c_str(),
               type.c_str()));
    return false;
  }
  for (auto& entry : entries->items()) {
    const json_value& e = entry.value();
    if (!e.is_object()) continue;
    auto instance = std::make_shared<Instance>(type, entry.key());
    try {
      std::string uuid;
      if (object_get(e, "uuid", uuid)) instance->uuid(uuid);
      json_value options;
      if (object_get(e, "options", options) && options.is_object()) instance->options(options);
      json_value logon;
      if (object_get(e, "logon_options", logon) && logon.is_object()) instance->logon_options(logon);
    } catch (const Json_Member_Error& error) {
      ACE_ERROR(
          (LM_ERROR, ACE_TEXT("Instance registry entry '%s' is malformed, %s\n"), entry.key().c_str(), error.what()));
      continue;
    }
    instances.push_back(instance);
  }
  return true;
}

int Instance_Manager::get_account(const std::string& type, const std::string& name, const std::string& uid,
                                  std::string& user, secure_string& password, json_value* extra) {
  std::lock_guard<std::mutex> guard(mutex_);
  Wiping_Registry registry;
  if (!load(registry.value)) return -1;
  try {
    const json_value& account = object_get_obj_or_throw(
        object_get_obj_or_throw(
            object_get_obj_or_throw(object_get_obj_or_throw(registry.value, type.c_str()), name.c_str()), "accounts"),
        uid.c_str());
    std::string read_user = object_get_str_or_throw(account, "user");
    secure_string read_password;
    extract_or_throw(account)("password", read_password);
    user = read_user;
    password = read_password;
    if (extra != nullptr) object_get(account, "extra", *extra);
    return 0;
  } catch (const Json_Member_Error&) {
    return -1;
  }
}

bool Instance_Manager::add(const Instance& instance) {
  if (instance.type().empty() || instance.name().empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Cannot register an instance without type or name\n")));
    return false;
  }
  return modify([&](json_value& registry) {
    json_value& entries = registry[instance.type()];
    if (!entries.is_object()) entries = json_value::object();
    json_value accounts = json_value::object();
    auto old = entries.find(instance.name());
    if (old != entries.end() && old->is_object() && old->contains("accounts")) accounts = std::move((*old)["accounts"]);
    json_value entry = json_value::object();
    entry["uuid"] = instance.uuid();
    entry["options"] = instance.options();
    entry["logon_options"] = instance.logon_options();
    entry["accounts"] = std::move(accounts);
    entries[instance.name()] = std::move(entry);
    return true;
  });
}

bool Instance_Manager::set_account(const std::string& type, const std::string& name, const std::string& uid,
                                   const std::string& user, const secure_string& password, const json_value& extra) {
  return modify([&](json_value& registry) {
    auto entries = registry.find(type);
    if (entries == registry.end() || !entries->is_object() || !entries->contains(name)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Instance '%s' of type '%s' is not registered\n"), name.c_str(), type.c_str()));
      return false;
    }
    json_value& entry = (*entries)[name];
    if (!entry["accounts"].is_object()) entry["accounts"] = json_value::object();
    json_value account = json_value::object();
    account["user"] = user;
    account["password"] = std::string(password.data(), password.size());
    if (!extra.is_null()) account["extra"] = extra;
    json_value& slot = entry["accounts"][uid];
    if (slot.is_object() && slot.contains("password") && slot["password"].is_string()) {
      std::string& old = slot["password"].get_ref<std::string&>();
      explicit_bzero(&old[0], old.size());
    }
    slot = std::move(account);
    return true;
  });
}

bool Instance_Manager::remove(const std::string& type, const std::string& name) {
  return modify([&](json_value& registry) {
    auto entries = registry.find(type);
    if (entries != registry.end() && entries->is_object()) entries->erase(name);
    return true;
  });
}
