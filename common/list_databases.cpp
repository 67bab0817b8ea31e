#include "common/list_databases.h"

#include <ace/Log_Msg.h>

#include "common/system_control.h"

namespace sap_hana {

const boost::regex LIST_DATABASES_PARSE_RE("\\s*\"(.*)\",\"(.*)\",\"(.*)\"", boost::regex::perl);

List_Databases_Line_Handler::List_Databases_Line_Handler(std::vector<Database_Info>& infos)
    : Text_Process_Handler(TPHF_LOG_NONE, 60), infos_(infos) {}

List_Databases_Line_Handler::~List_Databases_Line_Handler() {}

int List_Databases_Line_Handler::handle_stdout_line(const char* line, size_t len) {
  if (line == nullptr || len == 0) return 0;
  boost::cmatch m;
  if (!boost::regex_search(line, line + len, m, LIST_DATABASES_PARSE_RE)) return 0;
  Database_Info info;
  info.name = m[1].str();
  info.description = m[2].str();
  info.active = m[3].str() == "YES";
  infos_.push_back(info);
  return 0;
}

Database_Lister::Database_Lister(const std::string& sid, const std::string& instance_name, const std::string& user,
                                 const secure_string& password)
    : sid_(sid) {
  executor_.init(sid, instance_name, "", user, password);
}

Database_Lister::Database_Lister(const HDBSQL_Executor& executor) : sid_(executor.sid()), executor_(executor) {}

bool Database_Lister::list(std::vector<Database_Info>& infos, const std::string& name) {
  std::string sql = "select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES";
  if (!name.empty()) {
    if (!is_hana_identifier(name)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid database name '%s'\n"), name.c_str()));
      return false;
    }
    sql += " where DATABASE_NAME = '" + name + "'";
  }
  const size_t before = infos.size();
  List_Databases_Line_Handler handler(infos);
  // A catalog query; a client that hangs must not hold the caller for ever.
  handler.time_limit(Text_Process_Handler::TERM_TIMEOUT);
  if (!executor_.execute(sql, &handler, ACE_Log_Msg_Callback_var())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list HANA database\n")));
    return false;
  }
  // A single-container system has one database, named like the system.
  if (infos.size() == before && !sid_.empty() && !System_Controller(sid_).is_multi_container()) {
    Database_Info info;
    info.active = true;
    info.name = sid_;
    infos.push_back(info);
  }
  return true;
}

bool Database_Lister::list(Database_Info& info, const std::string& name) {
  std::vector<Database_Info> infos;
  if (!list(infos, name) || infos.empty()) return false;
  info = infos.front();
  return true;
}

}  // namespace sap_hana
