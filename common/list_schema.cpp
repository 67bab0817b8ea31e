#include "common/list_schema.h"

#include <ace/Log_Msg.h>

#include "common/hdbsql_executor.h"

namespace sap_hana {

const boost::regex LIST_SCHEMA_PARSE_RE("\\s*\"(.*)\",\"(.*)\",\"(.*)\"\\s*", boost::regex::perl);

List_Schema_Line_Handler::List_Schema_Line_Handler(std::vector<Database_Scheme_Base_Info>& infos)
    : Text_Process_Handler(TPHF_LOG_NONE, 60), infos_(infos) {}

List_Schema_Line_Handler::~List_Schema_Line_Handler() {}

int List_Schema_Line_Handler::handle_stdout_line(const char* line, size_t len) {
  if (line == nullptr || len == 0) return 0;
  boost::cmatch m;
  if (!boost::regex_search(line, line + len, m, LIST_SCHEMA_PARSE_RE)) return 0;
  Database_Scheme_Base_Info info;
  info.name = m[1].str();
  info.owner = m[2].str();
  info.has_privileges = m[3].length() > 0 && *m[3].first == 'T';
  infos_.push_back(info);
  return 0;
}

bool Schema_Lister::list_schema(const std::string& database, std::vector<Database_Scheme_Base_Info>& infos) {
  HDBSQL_Executor executor("");
  if (!executor.init(sid_, instance_name_, database, user_, password_)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to initialize hdbsql to list %s schema,\n"), instance_name_.c_str()));
    return false;
  }
  List_Schema_Line_Handler handler(infos);
  // A catalog query; a client that hangs must not hold the caller for ever.
  handler.time_limit(Text_Process_Handler::TERM_TIMEOUT);
  if (!executor.execute("SELECT SCHEMA_NAME, SCHEMA_OWNER, HAS_PRIVILEGES FROM SCHEMAS", &handler,
                        ACE_Log_Msg_Callback_var())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list %s schema\n"), instance_name_.c_str()));
    return false;
  }
  return true;
}

}  // namespace sap_hana
