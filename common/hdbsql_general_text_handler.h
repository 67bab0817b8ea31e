#ifndef SAP_HANA_HDBSQL_GENERAL_TEXT_HANDLER_H
#define SAP_HANA_HDBSQL_GENERAL_TEXT_HANDLER_H

#include <ace/Basic_Types.h>

#include <map>
#include <string>
#include <vector>

#include "agent/process/text_process_handler.h"

namespace sap_hana {

/// Collects hdbsql's default result output: the first accepted line gives
/// the column names (split at commas, names kept exactly as printed), every
/// later line with as many fields becomes a row. Fields lose surrounding
/// double quotes and newlines; a field of exactly two double quotes becomes
/// empty. Lines holding "row selected"/"rows selected" are skipped; empty
/// lines and rows of another width are rejected (-1) and not stored. Commas
/// are not interpreted inside quotes, so a value containing one makes its row
/// the wrong width and it is dropped.
///
/// Results accumulate across statements until reset(). Not thread-safe.
class HDBSQL_General_Text_Handler : public Text_Process_Handler {
 public:
  typedef std::map<std::string, int> Keys;
  typedef std::vector<std::vector<std::string>> Values;

  HDBSQL_General_Text_Handler();
  ~HDBSQL_General_Text_Handler() override;

  const Keys& get_key() const { return keys_; }
  const Values& get_values() const { return values_; }
  void reset();

  int handle_stdout_line(const char* line, size_t len) override;

 private:
  Keys keys_;
  ACE_UINT16 keys_size_ = 0;
  Values values_;
};

}  // namespace sap_hana

#endif
