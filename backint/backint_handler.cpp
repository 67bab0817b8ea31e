#include "backint/backint_handler.h"

#include <ace/Log_Msg.h>
#include <ace/UUID.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/regex.hpp>
#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <iostream>

#include "agent/http/http_headers.h"
#include "agent/http/http_query.h"
#include "agent/http/http_request.h"
#include "agent/http/http_session_factory.h"
#include "agent/json/json_file.h"
#include "agent/http/json_restful_client.h"
#include "agent/http/retrying_json_session.h"
#include "agent/base/natoi.h"
#include "agent/base/path_conf.h"
#include "agent/backupd/pool_utils.h"
#include "agent/base/string_sprintf.h"
#include "common/environ_getter.h"
#include "common/filename_parser.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

const boost::regex software_id_re("^#SOFTWAREID\\s*\"(.*)\"\\s*\"(.*)\"\\s*", boost::regex::perl);
const boost::regex tool_option_re("^#TOOLOPTION\\s*\"(.*)\"\\s*", boost::regex::perl);
const boost::regex source_re("^#(\\S+)\\s+(\\S+|\".+\")(\\s+(\\d+)\\s*)?$", boost::regex::perl);

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads the next token of a restore line starting at `pos` (see parse_restore_entry).
bool next_token(const std::string& line, std::size_t& pos, std::string& token) {
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  if (pos >= line.size()) return false;
  const std::size_t start = pos;
  const char quote = line[pos];
  std::size_t i = pos;
  if (quote == '"' || quote == '\'') {
    for (i = pos + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
        ++i;
        continue;
      }
      if (line[i] == quote) {
        ++i;
        break;
      }
    }
  } else {
    for (; i < line.size() && !is_blank(line[i]); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') ++i;
    }
  }
  if (i > line.size()) i = line.size();
  token = line.substr(start, i - start);
  pos = i;
  return true;
}

const char* const kSetsSelectPath = "/d2/r/v2/sets/select";
const char* const kLocalConfigDir = "/etc/opt/corvane/strovix3/$COMPONENT";

}  // namespace

Backint_Handler::Backint_Handler(const Backint_Info& info) : info_(info), http_session_(5, 300) {}

Backint_Handler::~Backint_Handler() {
  if (os_) os_->flush();
}

bool Backint_Handler::execute() {
  return open_in_file() && open_out_file() && handle_par_file() && init_session() && execute_i();
}

bool Backint_Handler::handle_par_file() { return true; }

bool Backint_Handler::open_in_file() {
  if (info_.in_file.empty()) {
    if (!std::cin.good()) {
      ACE_ERROR((LM_ERROR, "Failed to open stdin to read\n"));
      return false;
    }
    is_ = &std::cin;
    return true;
  }
  int fd = ::open(info_.in_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s' to read, errno=%d, %m\n", info_.in_file.c_str(), errno));
    return false;
  }
  in_buf_.reset(new __gnu_cxx::stdio_filebuf<char>(fd, std::ios::in, 1 << 16));
  owned_is_.reset(new std::istream(in_buf_.get()));
  is_ = owned_is_.get();
  return true;
}

bool Backint_Handler::open_out_file() {
  if (info_.out_file.empty()) {
    os_ = &std::cout;
    return true;
  }
  int fd = ::open(info_.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s' to write, errno=%d, %m\n", info_.out_file.c_str(), errno));
    return false;
  }
  out_buf_.reset(new __gnu_cxx::stdio_filebuf<char>(fd, std::ios::out, 1 << 16));
  owned_os_.reset(new std::ostream(out_buf_.get()));
  os_ = owned_os_.get();
  return true;
}

bool Backint_Handler::init_session() {
  if (info_.backupd_host.empty() || info_.backupd_port == 0) {
    write_error("NULL", "Failed to create session: failed to get backupd host info\n");
    return false;
  }
  http_session_.reset(HTTP_Session_Factory::create(info_.backupd_host, info_.backupd_port, info_.backupd_ssl,
                                                   nullptr, 3, nullptr, false, 120, 120, 120, 0));
  if (http_session_) {
    if (!info_.backupd_access_key.empty())
      http_session_.headers().put(HTTP_HEAD_X_ACCESS_KEY, info_.backupd_access_key, true);
    backint_helper_.init(http_session_);
    return true;
  }
  write_error("NULL", "Failed to create session, host = %s, port = %hu\n", info_.backupd_host.c_str(),
              info_.backupd_port);
  return false;
}

// ---- input ----

bool Backint_Handler::read_input_lines(std::vector<std::string>& lines) {
  if (is_ == nullptr) return false;
  std::string line;
  while (std::getline(*is_, line)) {
    if (handle_version_text(line)) continue;
    lines.push_back(line);
  }
  return !is_->bad();
}

bool Backint_Handler::parse_version_text(const std::string& line, std::string& backint_version,
                                         std::string& software_version) {
  boost::smatch m;
  if (!boost::regex_match(line, m, software_id_re)) return false;
  backint_version = m[1];
  software_version = m[2];
  return true;
}

bool Backint_Handler::version_is_v150(const std::string& backint_version) {
  std::size_t dot = backint_version.find('.');
  if (dot == std::string::npos) return false;
  unsigned minor = natoi<unsigned>(backint_version.c_str() + dot + 1);
  return errno == 0 || errno == ERANGE ? minor >= 50 : false;
}

bool Backint_Handler::handle_version_text(const std::string& line) {
  if (!parse_version_text(line, backint_version_, software_version_)) return false;
  is_v150_ = version_is_v150(backint_version_);
  return true;
}

bool Backint_Handler::parse_tool_option(const std::string& line, std::string& option) {
  boost::smatch m;
  if (!boost::regex_match(line, m, tool_option_re)) return false;
  option = m[1];
  return true;
}

bool Backint_Handler::parse_source(const std::string& line, Source& source) {
  boost::smatch m;
  if (!boost::regex_match(line, m, source_re)) return false;
  if (m[1] == "PIPE")
    source.type = "pipe";
  else if (m[1] == "FILE")
    source.type = "file";
  else
    return false;
  source.name = m[2];
  unescape_input_string(source.name);
  trim_string_quotation(source.name);
  source.has_size = m[4].matched;
  source.size = source.has_size ? natoi<std::uint64_t>(m[4].str().c_str()) : 0;
  return true;
}

bool Backint_Handler::parse_restore_entry(const std::string& line, Restore_Entry& entry) {
  const bool with_ebid = boost::algorithm::starts_with(line, "#EBID");
  if (!with_ebid && !boost::algorithm::starts_with(line, "#NULL")) return false;
  std::size_t pos = 5;
  Restore_Entry e;
  if (with_ebid) {
    if (!next_token(line, pos, e.ebid)) return false;
    trim_ebid_quotation(e.ebid);
  }
  if (!next_token(line, pos, e.name)) return false;
  if (!next_token(line, pos, e.destination)) e.destination = e.name;
  unescape_input_string(e.name);
  trim_string_quotation(e.name);
  unescape_input_string(e.destination);
  trim_string_quotation(e.destination);
  entry = e;
  return true;
}

bool Backint_Handler::split_entry(const std::string& line, std::string& keyword, std::string& ebid,
                                  std::string& name) {
  std::string text = line;
  unescape_input_string(text);
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, text, is_blank, boost::algorithm::token_compress_on);
  pieces.erase(std::remove(pieces.begin(), pieces.end(), std::string()), pieces.end());
  if (pieces.empty()) return false;
  keyword = pieces[0];
  ebid.clear();
  name.clear();
  std::size_t first_name = 1;
  if (keyword == "#EBID") {
    if (pieces.size() < 3) return false;
    ebid = pieces[1];
    trim_ebid_quotation(ebid);
    first_name = 2;
  }
  if (pieces.size() > first_name)
    name = boost::algorithm::join(std::vector<std::string>(pieces.begin() + first_name, pieces.end()), " ");
  trim_string_quotation(name);
  return true;
}

void Backint_Handler::escape_input_string(std::string& text) { boost::algorithm::replace_all(text, "\"", "\\\""); }

std::string Backint_Handler::escape_input_string_copy(const std::string& text) {
  std::string copy = text;
  escape_input_string(copy);
  return copy;
}

void Backint_Handler::unescape_input_string(std::string& text) { boost::algorithm::replace_all(text, "\\\"", "\""); }

void Backint_Handler::trim_string_quotation(std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
}

void Backint_Handler::trim_ebid_quotation(std::string& ebid) {
  // EBIDs are 32 hexadecimal characters and never hold a quote; HANA may
  // still write them in double quotes.
  trim_string_quotation(ebid);
}

// ---- output ----

bool Backint_Handler::write_line(const std::string& line) {
  if (os_ == nullptr || !os_->good()) return false;
  *os_ << line << '\n';
  os_->flush();
  return os_->good();
}

bool Backint_Handler::write_out_file_version() {
  return write_line("#SOFTWAREID \"" + backint_version_ + "\" \"" + software_version_ + "\"");
}

bool Backint_Handler::write_formatted(const std::string& prefix, const char* format, va_list ap,
                                      const std::string& suffix) {
  if (os_ == nullptr || !os_->good()) return false;
  *os_ << prefix << string_vsprintf(format, ap) << suffix;
  os_->flush();
  return os_->good();
}

bool Backint_Handler::write_error(const std::string& file, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = write_formatted("#DEBUG ", format, ap, "#ERROR \"" + escape_input_string_copy(file) + "\"\n");
  va_end(ap);
  return ok;
}

bool Backint_Handler::write_debug(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = write_formatted("#DEBUG ", format, ap, "");
  va_end(ap);
  return ok;
}

bool Backint_Handler::write_saved(const std::string& ebid, const std::string& file, std::uint64_t size) {
  return write_line("#SAVED \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\" " + std::to_string(size));
}

bool Backint_Handler::write_restored(const std::string& ebid, const std::string& file) {
  return write_line("#RESTORED \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"");
}

bool Backint_Handler::write_restore_notfound(const std::string& file) {
  return write_line("#NOTFOUND \"" + escape_input_string_copy(file) + "\"");
}

bool Backint_Handler::write_backup(const std::string& ebid, const std::string& file, const std::string& date) {
  std::string line = "#BACKUP \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"";
  if (is_v150_) line += " \"" + date + "\"";
  return write_line(line);
}

bool Backint_Handler::write_inquire_notfound(const std::string& ebid, const std::string& file) {
  std::string line = "#NOTFOUND";
  if (!ebid.empty()) line += " \"" + ebid + "\"";
  if (!file.empty()) line += " \"" + escape_input_string_copy(file) + "\"";
  return write_line(line);
}

bool Backint_Handler::write_deleted(const std::string& ebid, const std::string& file) {
  return write_line("#DELETED \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"");
}

bool Backint_Handler::write_delete_notfound(const std::string& ebid, const std::string& file) {
  return write_line("#NOTFOUND \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"");
}

// ---- environment and helpers ----

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
  ACE_Utils::UUID id;
  ACE_Utils::UUID_GENERATOR::instance()->generate_UUID(id, 0x0001, 0xC0);
  // Built from the fields: to_string() would append thread and process ids.
  const ACE_Utils::UUID_Node::Node_ID& node = id.node().node_ID();
  char text[33];
  std::snprintf(text, sizeof text, "%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", id.time_low(), id.time_mid(),
                id.time_hi_and_version(), id.clock_seq_hi_and_reserved(), id.clock_seq_low(), node[0], node[1],
                node[2], node[3], node[4], node[5]);
  uuid = text;
  return !uuid.empty();
}

// ---- catalog lookups ----

void Backint_Handler::parse_backint_catalog_info(const Backup_File_Info& record, Catalog_Backup_File_Info& info) {
  info.path = record.location;
  info.size = record.size;
  info.ebid = record.extern_backup_id;
  info.filename = record.storage_path;
  info.source_type = record.source_type;
  info.origin_path = record.origin_path;
  info.storage_path = record.storage_path;
  info.database_backup_id = record.database_backup_id;
  info.pool_uuid = record.pool_uuid;
  info.backup_time = iso8601_to_hana_format_date(record.backup_time.c_str());
}

bool Backint_Handler::get_backup_file_from_local(const std::string& ebid, Catalog_Backup_File_Info& info) {
  if (ebid.empty()) {
    write_error("NULL", "Missing ebid to get catalog backup file from local.\n");
    return false;
  }
  // The same request as get_file_by_ebid, but a failed request is told
  // apart from an unknown EBID.
  std::uint64_t total = 0;
  Backup_File_Infos rows;
  if (!backint_helper_.get_file_req(HTTP_Query().add("extern_backup_id", ebid).str(), total, rows)) {
    catalog_request_failed_ = true;
    return false;
  }
  if (rows.empty()) return false;
  parse_backint_catalog_info(rows.back(), info);
  return true;
}

bool Backint_Handler::get_backup_file_from_backupd(const std::string& ebid, const std::string& pool_uuid,
                                                   Catalog_Backup_File_Info& info) {
  if (ebid.empty()) {
    write_error("NULL", "Missing ebid to get catalog backup file from backupd.\n");
    return false;
  }
  HTTP_Query query;
  query.add("extern_backup_id", ebid);
  if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
  std::uint64_t total = 0;
  Catalog_Backup_File_Infos list;
  if (!get_backup_files_req(query.str(), total, list) || list.empty()) return false;
  info = list.front();
  return true;
}

bool Backint_Handler::get_backup_file(const std::string& ebid, const std::string& pool_uuid,
                                      Catalog_Backup_File_Info& info) {
  return get_backup_file_from_local(ebid, info) || get_backup_file_from_backupd(ebid, pool_uuid, info);
}

bool Backint_Handler::get_backup_file(const std::string& database, const std::string& filename,
                                      const std::string& pool_uuid, Catalog_Backup_File_Info& info) {
  Catalog_Backup_File_Info from_sets;
  if (filename.empty()) {
    write_error("NULL", "Missing filename to get catalog backup file from backupd.\n");
  } else {
    HTTP_Query query;
    query.add("filename", filename).add("limit", "1");
    if (!database.empty()) query.add("database", database);
    if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
    std::uint64_t total = 0;
    Catalog_Backup_File_Infos list;
    if (get_backup_files_req(query.str(), total, list) && !list.empty()) from_sets = list.front();
  }

  Catalog_Backup_File_Info from_local;
  if (filename.empty()) {
    write_error("NULL", "Missing filename to get catalog backup file from local.\n");
  } else {
    std::uint64_t total = 0;
    Backup_File_Infos records;
    if (!backint_helper_.get_files("", database, filename, total, records, 1, 0))
      catalog_request_failed_ = true;
    else if (total > 0 && !records.empty())
      parse_backint_catalog_info(records.back(), from_local);
  }

  const bool sets_found = !from_sets.ebid.empty();
  const bool local_found = !from_local.ebid.empty();
  if (!sets_found && !local_found) return false;
  if (sets_found && local_found)
    info = from_local.database_backup_id > from_sets.database_backup_id ? from_local : from_sets;
  else
    info = sets_found ? from_sets : from_local;
  return true;
}

bool Backint_Handler::get_backup_files_from_backupd(const std::string& database, const std::string& filename,
                                                    const std::string& pool_uuid, std::uint64_t& total,
                                                    Catalog_Backup_File_Infos& list, std::uint64_t offset,
                                                    std::uint64_t limit) {
  list.clear();
  HTTP_Query query;
  if (!database.empty()) query.add("database", database);
  if (!filename.empty()) query.add("filename", filename);
  if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
  query.add("limit", limit).add("offset", offset);
  return get_backup_files_req(query.str(), total, list);
}

bool Backint_Handler::get_backup_files_from_local(const std::string& database, const std::string& filename,
                                                  std::uint64_t& total, Catalog_Backup_File_Infos& list,
                                                  std::uint64_t offset, std::uint64_t limit) {
  list.clear();
  Backup_File_Infos records;
  if (!backint_helper_.get_files("", database, filename, total, records, limit, offset)) {
    catalog_request_failed_ = true;
    write_error(filename, "Failed to inquire null file in local\n");
    return false;
  }
  for (const Backup_File_Info& record : records) {
    Catalog_Backup_File_Info info;
    parse_backint_catalog_info(record, info);
    list.push_back(info);
  }
  return true;
}

bool Backint_Handler::get_backup_files_req(const std::string& query, std::uint64_t& total,
                                           Catalog_Backup_File_Infos& list) {
  if (!http_session_) {
    catalog_request_failed_ = true;
    write_error("NULL", "Failed to get catalog backup file: init http session first\n");
    return false;
  }
  HTTP_Query full(query);
  full.add("module", "hana").add("view", "backupfile").add("resource_uuid", zero_uuid());
  HTTP_Request request(HTTP_GET, kSetsSelectPath, false);
  request.query_string(full);
  if (!info_.backupd_access_key.empty())
    request.headers().put(HTTP_HEAD_X_ACCESS_KEY, info_.backupd_access_key, true);

  Retry_Policy policy;
  policy.want_object = true;
  policy.file = __FILE__;
  policy.line = __LINE__;
  CGI_Response response;
  json_value body;
  if (!Retrying_JSON_Session(http_session_, policy).exchange(HTTP_GET, request, nullptr, response, body)) {
    catalog_request_failed_ = true;
    write_debug("Failed to get catalog backup files, status = %d\n", response.status());
    return false;
  }

  Catalog_Backup_File_Infos rows;
  try {
    total = object_get_uint64_or_throw(body, "total");
    for (const json_value& row : object_get_array_or_throw(body, "rows")) {
      Catalog_Backup_File_Info info;
      std::string location;
      extract_or_throw(row)("size", info.size)("location", location)("database", info.database)(
          "extern_backup_id", info.ebid)("pool_uuid", info.pool_uuid)("origin_path", info.origin_path)(
          "storage_path", info.storage_path)("backup_start_time", info.backup_time)("database_backup_id",
                                                                                      info.database_backup_id);
      std::size_t slash = location.rfind('/');
      if (slash == std::string::npos) {
        catalog_request_failed_ = true;
        write_debug("Failed to get catalog backup files: failed to get '%s' directory", location.c_str());
        return false;
      }
      info.filename = location.substr(slash + 1);
      info.path = slash == 0 ? std::string("/") : location.substr(0, slash);
      rows.push_back(info);
    }
  } catch (const Json_Member_Error& e) {
    catalog_request_failed_ = true;
    write_debug("Failed to get catalog backup files, %s\n", e.what());
    return false;
  }
  list.insert(list.end(), rows.begin(), rows.end());
  return true;
}

// ---- storage ----

void Backint_Handler::set_options_by_conf(Client_IO_Base::Options& options) {
  if (!info_.backupd_access_key.empty())
    options.set_extra_option(http_head_string(HTTP_HEAD_X_ACCESS_KEY), info_.backupd_access_key);
}

bool Backint_Handler::backup_file_exist(const std::string& location, const std::string& storage_path) {
  Client_IO_Ex io;
  Client_IO_Base::Options options;
  set_options_by_conf(options);
  return io.connect(location, options) && io.size(storage_path) >= 0;
}

bool Backint_Handler::get_pool_info_from_backupd(const std::string& pool_uuid, Pool_Info& info, bool to_restore,
                                                 std::size_t timeout) {
  if (pool_uuid.empty() || is_zero_uuid(pool_uuid)) return false;
  auto cached = pools_info_.find(pool_uuid);
  if (cached != pools_info_.end()) {
    info = cached->second;
    return true;
  }
  HTTP_Session_Ptr session = HTTP_Session_Factory::create(info_.backupd_host, info_.backupd_port, info_.backupd_ssl,
                                                          nullptr, 3, nullptr, false, 120, 120, 120, 0);
  if (session) {
    JSON_HTTP_Session json_session(session, 5, 300);
    if (!info_.backupd_access_key.empty())
      json_session.headers().put(HTTP_HEAD_X_ACCESS_KEY, info_.backupd_access_key, true);
    JSON_RESTful_Client client(json_session);
    if (get_pool_info(client, pool_uuid, nullptr, info, to_restore, nullptr, timeout, -1, true, nullptr, nullptr,
                      false) == 1) {
      pools_info_[pool_uuid] = info;
      return true;
    }
  }
  write_debug("Failed to get pool %s info\n", pool_uuid.c_str());
  return false;
}

// ---- local configuration ----

bool Backint_Handler::get_local_config(json_value& object) {
  const std::string path = Path_Conf(kLocalConfigDir, false, "hana.conf").fix("agent").str();
  json_value value;
  if (!load_json(path, value) || !value.is_object()) {
    write_debug("Failed to load config file '%s'\n", path.c_str());
    return false;
  }
  object = std::move(value);
  return true;
}

bool Backint_Handler::get_local_backup_location(std::string& location) {
  json_value conf;
  if (!get_local_config(conf)) return false;
  try {
    location = object_get_str_or_throw(object_get_obj_or_throw(conf, "local_backup"), "location");
  } catch (const Json_Member_Error& e) {
    write_debug("Failed to parse config file, %s", e.what());
    return false;
  }
  return !location.empty();
}

bool Backint_Handler::restore_catalog_from_config() {
  json_value conf;
  bool from_conf = true;
  if (!get_local_config(conf)) return from_conf;
  auto it = conf.find("certification");
  if (it == conf.end() || !it->is_object()) return from_conf;
  try {
    object_get(*it, "restore_catalog_from_conf", from_conf);
  } catch (const Json_Member_Error& e) {
    write_debug("Failed to parse config file, %s", e.what());
  }
  return from_conf;
}

}  // namespace sap_hana
