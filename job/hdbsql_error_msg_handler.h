#ifndef SAP_HANA_HDBSQL_ERROR_MSG_HANDLER_H
#define SAP_HANA_HDBSQL_ERROR_MSG_HANDLER_H

#include <string>

#include "agent/process/text_process_handler.h"

namespace sap_hana {

/// Watches a BACKUP statement's output for HANA's answer to a user's
/// cancellation ("Backup was canceled by user"), so that a cancelled backup
/// can end its run as cancelled rather than failed. Logs nothing itself; a
/// statement it runs is ended after kTimeLimit seconds (a day): a data
/// backup that runs longer is taken to hang.
class HDBSQL_Error_Msg_Handler : public Text_Process_Handler {
 public:
  static constexpr unsigned kTimeLimit = 86400;

  HDBSQL_Error_Msg_Handler();
  ~HDBSQL_Error_Msg_Handler() override;

  /// -1 for a null or empty line; 0 otherwise.
  int handle_stdout_line(const char* line, size_t len) override;
  bool is_canceled() const { return is_canceled_; }
  /// HANA's error lines ("* <code>: <text>"), joined with "; ".
  const std::string& errors() const { return errors_; }

 private:
  bool is_canceled_ = false;
  std::string errors_;
};

}  // namespace sap_hana

#endif
