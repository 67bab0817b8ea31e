#include "job/hdbsql_error_msg_handler.h"

#include <string>

namespace sap_hana {

HDBSQL_Error_Msg_Handler::HDBSQL_Error_Msg_Handler() : Text_Process_Handler(TPHF_LOG_NONE, 60) {
  time_limit(kTimeLimit);
}

HDBSQL_Error_Msg_Handler::~HDBSQL_Error_Msg_Handler() = default;

int HDBSQL_Error_Msg_Handler::handle_stdout_line(const char* line, size_t len) {
  if (line == nullptr || len == 0) return -1;
  static const std::string canceled = "Backup was canceled by user";
  const std::string text(line, len);
  if (text.find(canceled) != std::string::npos) is_canceled_ = true;
  if (text.compare(0, 2, "* ") == 0 && errors_.size() < 4096) errors_ += (errors_.empty() ? "" : "; ") + text;
  return 0;
}

}  // namespace sap_hana
