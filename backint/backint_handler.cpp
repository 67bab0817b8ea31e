#include "backint/backint_handler.h"

#include <ace/Log_Msg.h>
#include <ace/UUID.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <mutex>

#include "agent/http/http_headers.h"
#include "agent/http/http_session_factory.h"
#include "common/environ_getter.h"
#include "common/filename_parser.h"

namespace sap_hana {

Backint_Handler::Backint_Handler(const Backint_Info& info)
    : info_(info),
      http_session_(5, 300),
      catalog_(protocol_, backint_helper_, http_session_, info_.backupd_access_key),
      config_(protocol_),
      pools_(info_, protocol_) {}

Backint_Handler::~Backint_Handler() = default;

bool Backint_Handler::execute() {
  bool ok = false;
  // Streams of a call make EBIDs at once: the generator must exist before.
  prepare_uuid_generator();
  protocol_.hold_until_version();
  try {
    ok = protocol_.open_input(info_.in_file) && protocol_.open_output(info_.out_file) && handle_par_file() &&
         init_session() && execute_i();
  } catch (const std::exception& e) {
    // Nothing may end the run without an answer HANA can read.
    ACE_ERROR((LM_ERROR, "Unexpected failure: %s\n", e.what()));
    protocol_.write_error("NULL", "Unexpected failure: %s\n", e.what());
  }
  protocol_.release_held();
  return ok && !protocol_.error_written();
}

void Backint_Handler::prepare_uuid_generator() {
  static std::once_flag once;
  std::call_once(once, [] { ACE_Utils::UUID_GENERATOR::instance()->init(); });
}

bool Backint_Handler::handle_par_file() { return true; }

bool Backint_Handler::object_failed(const std::string& name, const std::exception& e) {
  ACE_ERROR((LM_ERROR, "Unexpected failure with %s: %s\n", name.c_str(), e.what()));
  protocol_.write_error(name, "Unexpected failure: %s\n", e.what());
  return false;
}

bool Backint_Handler::init_session() {
  if (info_.backupd_host.empty() || info_.backupd_port == 0) {
    protocol_.write_error("NULL", "Failed to create session: failed to get backupd host info\n");
    return false;
  }
  HTTP_Session_Settings settings;
  settings.host = info_.backupd_host;
  settings.port = info_.backupd_port;
  settings.ssl = info_.backupd_ssl;
  http_session_.reset(HTTP_Session_Factory::create(settings));
  if (http_session_) {
    if (!info_.backupd_access_key.empty())
      http_session_.headers().put(HTTP_HEAD_X_ACCESS_KEY, info_.backupd_access_key, true);
    backint_helper_.init(http_session_);
    return true;
  }
  protocol_.write_error("NULL", "Failed to create session, host = %s, port = %hu\n", info_.backupd_host.c_str(),
                        info_.backupd_port);
  return false;
}

bool Backint_Handler::get_system_env() {
  if (sid_.empty()) {
    HANA_Env_Value value;
    if (!Environ_Getter::instance()->get(::getpid(), value) || value.sid.empty()) {
      ACE_ERROR((LM_ERROR, "Failed to get backint system env\n"));
      return false;
    }
    sid_ = value.sid;
  }
  if (!Environ_Getter::get_landscape_id(sid_.c_str(), landscape_id_)) {
    ACE_ERROR((LM_ERROR, "Failed to get %s landscape_id\n", sid_.c_str()));
    return false;
  }
  return true;
}

bool Backint_Handler::scope_for(const std::string& file, System_Scope& scope) const {
  std::string database, own = sid_;
  if (own.empty()) parse_userid(database, own);
  const std::string named = Backint_Catalog_Lookup::sid_of_path(file);
  if (named.empty() || named == own) {
    scope.landscape_id = landscape_id_;
    scope.sid = own;
    return true;
  }
  if (named != origin_sid_) return false;
  // The origin's landscape id is not known here: its SID alone.
  scope.landscape_id.clear();
  scope.sid = named;
  return true;
}

void Backint_Handler::parse_userid(const std::string& user_id, std::string& database, std::string& sid) {
  std::size_t at = user_id.find('@');
  if (at == std::string::npos) {
    sid = user_id;
    return;
  }
  database = user_id.substr(0, at);
  sid = user_id.substr(at + 1);
}

std::string Backint_Handler::base_name(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Backint_Handler::is_catalog(const std::string& name) {
  return Filename_Parser::type(name) == Filename_Parser::TYPE_CATALOG;
}

bool Backint_Handler::is_log(const std::string& name) {
  Filename_Parser::File_Type type = Filename_Parser::type(name);
  return type == Filename_Parser::TYPE_LOG || type == Filename_Parser::TYPE_CATALOG;
}

bool Backint_Handler::generate_uuid(std::string& uuid) {
  prepare_uuid_generator();
  ACE_Utils::UUID id;
  ACE_Utils::UUID_GENERATOR::instance()->generate_UUID(id, 0x0001, 0xC0);
  // Built from the fields: to_string() would append thread and process ids.
  const ACE_Utils::UUID_Node::Node_ID& node = id.node().node_ID();
  char text[33];
  std::snprintf(text, sizeof text, "%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", id.time_low(), id.time_mid(),
                id.time_hi_and_version(), id.clock_seq_hi_and_reserved(), id.clock_seq_low(), node[0], node[1], node[2],
                node[3], node[4], node[5]);
  uuid = text;
  return !uuid.empty();
}

}  // namespace sap_hana
