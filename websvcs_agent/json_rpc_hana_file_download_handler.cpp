#include "websvcs_agent/json_rpc_hana_file_download_handler.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "agent/base/file_utils.h"
#include "agent/base/path_conf.h"
#include "agent/json/json_file.h"
#include "common/utils.h"
#include "websvcs_agent/request_checks.h"

namespace sap_hana {

namespace {

const mode_t kDirMode = 0755;
const mode_t kFileMode = 0640;

// The names of an absolute path with "." and empty names dropped and each
// ".." taking the name before it away (at the root it stays at the root), as
// the kernel would resolve them if no name were a symbolic link. False for a
// relative path.
bool normal_names(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  // A NUL byte would end the name where the system calls see it, so that
  // they act on another path than the one checked here.
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
  std::string::size_type begin = 1;
  while (begin <= path.size()) {
    std::string::size_type end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(begin, end - begin);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    begin = end + 1;
  }
  return true;
}

std::string join(const std::vector<std::string>& names, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) path += "/" + names[i];
  return path.empty() ? "/" : path;
}

bool real_path(const std::string& path, std::string& real) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return false;
  real = buffer;
  return true;
}

bool is_below(const std::string& path, const std::string& dir) {
  return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

// True when every directory of `names` from the catalog directory (which has
// `root_count` names) down to the file's directory that exists already
// resolves to a place inside the catalog directory; the first one that does
// not exist ends the test, since what is created below it is ours.
bool stays_inside(const std::vector<std::string>& names, std::size_t root_count) {
  std::string root = join(names, root_count);
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0) return errno == ENOENT;
  std::string real_root;
  if (!real_path(root, real_root)) return false;
  for (std::size_t count = root_count + 1; count < names.size(); ++count) {
    std::string dir = join(names, count);
    if (::lstat(dir.c_str(), &st) != 0) return errno == ENOENT;
    std::string real;
    if (!real_path(dir, real) || !is_below(real, real_root)) return false;
  }
  return true;
}

}  // namespace

JSON_RPC_HANA_File_Download_Handler::~JSON_RPC_HANA_File_Download_Handler() = default;

std::string JSON_RPC_HANA_File_Download_Handler::catalog_dir() {
  return Path_Conf(kHanaWorkDir, true, "catalog").fix("agent").str();
}

int JSON_RPC_HANA_File_Download_Handler::handle_object(std::weak_ptr<JSON_RPC_Channel> sender,
                                                       JSON_RPC_Object_Ptr object) {
  std::shared_ptr<JSON_RPC_Channel> channel = accept_request(sender, object);
  if (!channel) return -1;
  const json_value null_data;
  const json_value& id = object->id();

  std::string destination;
  json_value data;
  try {
    destination = object_get_str_or_throw(object->params(), "destination");
    data = object_get_obj_or_throw(object->params(), "data");
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Invalid params: %s\n", e.what()));
    return channel->send_error(-32602, id, "Failed to initialize params\n", null_data);
  }

  // The service runs as root for any peer that holds the access key: it
  // writes only where this system keeps the files it sends, so a caller can
  // neither place a file elsewhere nor change modes outside that directory.
  const std::string root = catalog_dir();
  std::vector<std::string> root_names, names;
  normal_names(root, root_names);
  bool inside = normal_names(destination, names) && names.size() > root_names.size() &&
                std::equal(root_names.begin(), root_names.end(), names.begin()) &&
                stays_inside(names, root_names.size());
  if (!inside) {
    ACE_ERROR((LM_ERROR, "Refused to write '%s', it is not a file below %s\n", destination.c_str(), root.c_str()));
    return channel->send_error(-32602, id, "destination must be a file below " + root + "\n", null_data);
  }
  const std::string path = join(names, names.size());
  const std::string dir = join(names, names.size() - 1);

  if (mkdir_p(dir.c_str(), kDirMode) != 0) {
    ACE_ERROR((LM_ERROR, "Failed to create directory '%s', errno=%d, %m\n", dir.c_str(), errno));
    return channel->send_error(-32603, id, "failed to create catalog_conf dir", null_data);
  }
  // Checked again now that the directories exist: what was created is ours,
  // but a link may have been put in place meanwhile.
  std::string real_dir, real_root;
  if (!real_path(dir, real_dir) || !real_path(root, real_root) || !is_below(real_dir, real_root)) {
    ACE_ERROR((LM_ERROR, "Refused to write '%s', it is not a file below %s\n", destination.c_str(), root.c_str()));
    return channel->send_error(-32603, id, "failed to create catalog_conf dir", null_data);
  }
  for (std::size_t count = root_names.size(); count < names.size(); ++count) {
    std::string step = join(names, count);
    // As along the whole path before: a mode that cannot be set only makes
    // the file harder to reach for HANA, so it is logged, not fatal.
    if (::chmod(step.c_str(), kDirMode) != 0)
      ACE_ERROR((LM_ERROR, "Failed to change mode of '%s', errno=%d, %m\n", step.c_str(), errno));
  }

  if (!dump_json(path, data, kFileMode))
    return channel->send_error(-32603, id, "failed to save catalog config file\n", null_data);
  if (!change_file_group_to_sap(path.c_str(), nullptr))
    return channel->send_error(-32603, id, "failed to change file group\n", null_data);

  return send_result(*channel, *object, json_value{{"error", 0}});
}

}  // namespace sap_hana
