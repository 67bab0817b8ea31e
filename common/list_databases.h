#ifndef SAP_HANA_LIST_DATABASES_H
#define SAP_HANA_LIST_DATABASES_H

#include <boost/regex.hpp>

#include <string>
#include <vector>

#include "agent/base/secure_string.h"
#include "agent/process/text_process_handler.h"
#include "common/hana_basic_type.h"
#include "common/hdbsql_executor.h"

namespace sap_hana {

/// hdbsql output rows of three quoted values: name, description, and
/// "YES" when active.
extern const boost::regex LIST_DATABASES_PARSE_RE;

/// Appends a Database_Info (name, description, active) to the caller's list
/// for every output line that LIST_DATABASES_PARSE_RE finds a match in;
/// other lines are ignored. Always returns 0.
class List_Databases_Line_Handler : public Text_Process_Handler {
 public:
  explicit List_Databases_Line_Handler(std::vector<Database_Info>& infos);
  ~List_Databases_Line_Handler() override;
  int handle_stdout_line(const char* line, size_t len) override;

 private:
  std::vector<Database_Info>& infos_;
};

/// The databases of one HANA system, from M_DATABASES through hdbsql.
///
/// Contract:
/// - list() appends the databases the statement returns (all, or only the
///   one named); a name that is not a HANA identifier (letter first, then
///   letters, digits, underscores) is refused with "Invalid database name
///   '%s'" and never reaches SQL text.
/// - When the statement returns no database and the system is not
///   multi-container, the list is completed with one active database named
///   after the system ID. The system ID is the one the lister was built with,
///   or the executor's: a lister without a system ID never completes the
///   list, so an unknown name is reported as not found.
/// - A failed statement may leave a partial list. Each call queries anew;
///   an hdbsql that has not ended after TERM_TIMEOUT seconds is ended and the
///   call fails.
class Database_Lister {
 public:
  /// Builds its executor from the instance registry ("<sid>_<instance_name>",
  /// no database); a failed init makes every list() fail.
  Database_Lister(const std::string& sid, const std::string& instance_name, const std::string& user,
                  const secure_string& password);
  /// Works through a copy of an initialised executor; the system ID is the
  /// executor's.
  explicit Database_Lister(const HDBSQL_Executor& executor);

  /// All databases, or only `name` when it is not empty. True also when
  /// nothing was found.
  bool list(std::vector<Database_Info>& infos, const std::string& name = std::string());
  /// The one database `name`; false when the statement fails or finds none.
  bool list(Database_Info& info, const std::string& name);

 private:
  std::string sid_;
  HDBSQL_Executor executor_;
};

}  // namespace sap_hana

#endif
