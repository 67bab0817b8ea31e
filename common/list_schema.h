#ifndef SAP_HANA_LIST_SCHEMA_H
#define SAP_HANA_LIST_SCHEMA_H

#include <boost/regex.hpp>

#include <string>
#include <vector>

#include "agent/base/secure_string.h"
#include "agent/process/text_process_handler.h"

namespace sap_hana {

/// One schema of a database.
struct Database_Scheme_Base_Info {
  std::string name;
  std::string owner;
  bool has_privileges = false;
};

/// hdbsql output rows of three quoted values: schema, owner, privileges.
extern const boost::regex LIST_SCHEMA_PARSE_RE;

/// Appends a record for every output line that LIST_SCHEMA_PARSE_RE finds a
/// match in; has_privileges when the third value begins with "T". Always
/// returns 0.
class List_Schema_Line_Handler : public Text_Process_Handler {
 public:
  explicit List_Schema_Line_Handler(std::vector<Database_Scheme_Base_Info>& infos);
  ~List_Schema_Line_Handler() override;
  int handle_stdout_line(const char* line, size_t len) override;

 private:
  std::vector<Database_Scheme_Base_Info>& infos_;
};

/// The schemas of a database, from SCHEMAS through hdbsql, connecting with
/// the instance registered as "<sid>_<instance_name>". Each call queries
/// anew; a failed statement may leave a partial list.
class Schema_Lister {
 public:
  Schema_Lister(const std::string& sid, const std::string& instance_name, const std::string& user,
                const secure_string& password)
      : sid_(sid), instance_name_(instance_name), user_(user), password_(password) {}

  /// Appends the schemas of `database` (empty: the system database).
  bool list_schema(const std::string& database, std::vector<Database_Scheme_Base_Info>& infos);

 private:
  std::string sid_;
  std::string instance_name_;
  std::string user_;
  secure_string password_;
};

}  // namespace sap_hana

#endif
