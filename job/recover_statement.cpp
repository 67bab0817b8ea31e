#include "job/recover_statement.h"

#include <ace/Log_Msg.h>

#include <cctype>

#include "common/hana_basic_type.h"

namespace sap_hana {

namespace {

bool digits(const std::string& text, size_t at, size_t n, int low, int high) {
  int value = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return value >= low && value <= high;
}

bool is_uuid_text(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  return true;
}

bool check_name(const char* what, const std::string& name) {
  if (is_hana_identifier(name)) return true;
  ACE_ERROR((LM_ERROR, "Invalid %s '%s' for the recover statement\n", what, name.c_str()));
  return false;
}

}  // namespace

Recover_Statement::Recover_Statement(const std::string& target_sid, bool mdc, bool ancient_version, bool ignore_delta)
    : sid_(target_sid), mdc_(mdc), ancient_version_(ancient_version), ignore_delta_(ignore_delta) {}

bool Recover_Statement::is_timestamp(const std::string& t) {
  return t.size() == 19 && t[4] == '-' && t[7] == '-' && t[10] == ' ' && t[13] == ':' && t[16] == ':' &&
         digits(t, 0, 4, 0, 9999) && digits(t, 5, 2, 1, 12) && digits(t, 8, 2, 1, 31) && digits(t, 11, 2, 0, 23) &&
         digits(t, 14, 2, 0, 59) && digits(t, 17, 2, 0, 59);
}

bool Recover_Statement::generate(const Restore_Source_Collector::Backup_Set_Info& set, bool with_catalog, bool tenant,
                                 std::string& statement) const {
  statement.clear();
  const bool ok =
      set.is_full_backup ? full(set, with_catalog, tenant, statement) : point_in_time(set, tenant, statement);
  return ok && !statement.empty();
}

bool Recover_Statement::names(const Restore_Source_Collector::Backup_Set_Info& set, bool tenant, std::string& prefix,
                              std::string& source) const {
  if (!check_name("origin database", set.origin_dbname) || !check_name("origin SID", set.origin_sid)) return false;
  if (tenant && !check_name("target database", set.target_dbname)) return false;
  prefix = tenant ? "FOR " + set.target_dbname + " " : std::string();
  source.clear();
  if (set.origin_sid != sid_ || set.origin_dbname != set.target_dbname)
    source = mdc_ ? "USING SOURCE '" + set.origin_dbname + "@" + set.origin_sid + "' "
                  : "USING SOURCE '" + set.origin_dbname + "' ";
  return true;
}

bool Recover_Statement::full(const Restore_Source_Collector::Backup_Set_Info& set, bool with_catalog, bool tenant,
                             std::string& statement) const {
  std::string prefix, source;
  if (!names(set, tenant, prefix, source)) return false;
  std::string using_clause;
  if (with_catalog) {
    using_clause = "USING BACKUP_ID " + std::to_string(set.database_backup_id);
    if (!ancient_version_) using_clause += " USING CATALOG BACKINT";
  } else {
    if (!is_uuid_text(set.catalog_uuid)) {
      ACE_ERROR((LM_ERROR, "Invalid backup set uuid '%s' for the recover statement\n", set.catalog_uuid.c_str()));
      return false;
    }
    using_clause = "USING BACKINT ('" + set.catalog_uuid + "')";
  }
  statement = "RECOVER DATA " + prefix + source + using_clause + " CLEAR LOG;";
  return true;
}

bool Recover_Statement::point_in_time(const Restore_Source_Collector::Backup_Set_Info& set, bool tenant,
                                      std::string& statement) const {
  std::string prefix, source;
  if (!names(set, tenant, prefix, source)) return false;
  if (!is_timestamp(set.target_time)) {
    ACE_ERROR((LM_ERROR, "Invalid point in time '%s', expected YYYY-MM-DD HH:MM:SS\n", set.target_time.c_str()));
    return false;
  }
  statement = "RECOVER DATABASE " + prefix + "UNTIL TIMESTAMP '" + set.target_time + "' CLEAR LOG " + source +
              (ancient_version_ ? "" : " USING CATALOG BACKINT") + " USING BACKUP_ID " +
              std::to_string(set.database_backup_id) + " CHECK ACCESS ALL" +
              (ignore_delta_ ? " IGNORE DELTA DATA BACKUPS" : "");
  return true;
}

}  // namespace sap_hana
