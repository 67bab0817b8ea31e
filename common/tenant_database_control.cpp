#include "common/tenant_database_control.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <map>

#include "agent/base/snprintf_t.h"
#include "common/list_databases.h"

namespace sap_hana {

namespace {

// A tenant start or stop waits for the tenant's services; large tenants
// take minutes, far beyond the executor's default limit of short statements.
constexpr unsigned kChangeTimeLimit = 3600;

// ACTIVE_STATUS (YES, NO, STARTING, STOPPING) of every row, by name.
class Status_Handler : public Text_Process_Handler {
 public:
  explicit Status_Handler(std::map<std::string, std::string>& found)
      : Text_Process_Handler(TPHF_LOG_NONE, 60), found_(found) {}
  int handle_stdout_line(const char* line, size_t len) override {
    boost::cmatch m;
    if (line != nullptr && boost::regex_search(line, line + len, m, LIST_DATABASES_PARSE_RE))
      found_[m[1].str()] = m[3].str();
    return 0;
  }

 private:
  std::map<std::string, std::string>& found_;
};

bool valid_name(const std::string& name) {
  if (is_hana_identifier(name)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid database name '%s'\n"), name.c_str()));
  return false;
}

}  // namespace

Tenant_Database_Controller::Tenant_Database_Controller(const std::string& sid, const std::string& instance_name,
                                                       const std::string& user, const secure_string& password) {
  executor_.init(sid, instance_name, "", user, password);
}

int Tenant_Database_Controller::status(const std::string& name, std::string& active_status) {
  std::map<std::string, std::string> found;
  Status_Handler handler(found);
  handler.time_limit(Text_Process_Handler::TERM_TIMEOUT);
  const std::string sql =
      "select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES where DATABASE_NAME = '" + name + "'";
  if (!executor_.execute(sql, &handler, ACE_Log_Msg_Callback_var())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list HANA database\n")));
    return -1;
  }
  auto row = found.find(name);
  if (row == found.end()) return 0;
  active_status = row->second;
  return 1;
}

bool Tenant_Database_Controller::change(const std::string& name, bool start) {
  if (!valid_name(name)) return false;
  // HANA folds unquoted names to upper case: "t01" in a statement is T01,
  // and so is the lookup.
  const std::string folded = boost::to_upper_copy(name);
  std::string active_status;
  const int found = status(folded, active_status);
  if (found == 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Database '%s' does not exist\n"), folded.c_str()));
    return false;
  }
  if (found < 0 && !start) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get the state of database '%s'\n"), folded.c_str()));
    return false;
  }
  // Only a settled state makes the statement needless: a tenant that is
  // STARTING is not stopped yet, one that is STOPPING not started.
  if (found > 0 && active_status == (start ? "YES" : "NO")) return true;
  snprintf_t<256> sql(start ? "ALTER SYSTEM START DATABASE %s" : "ALTER SYSTEM STOP DATABASE %s", folded.c_str());
  Text_Process_Handler discard(Text_Process_Handler::TPHF_LOG_NONE, 60);
  discard.time_limit(kChangeTimeLimit);
  return executor_.execute(sql.c_str(), &discard, ACE_Log_Msg_Callback_var());
}

bool Tenant_Database_Controller::start(const std::string& name) { return change(name, true); }

bool Tenant_Database_Controller::stop(const std::string& name) { return change(name, false); }

}  // namespace sap_hana
