#include "common/hdbsql_general_text_handler.h"

#include <boost/algorithm/string.hpp>

namespace sap_hana {

HDBSQL_General_Text_Handler::HDBSQL_General_Text_Handler() : Text_Process_Handler(TPHF_LOG_NONE, 60) {}

HDBSQL_General_Text_Handler::~HDBSQL_General_Text_Handler() {}

void HDBSQL_General_Text_Handler::reset() {
  keys_.clear();
  keys_size_ = 0;
  values_.clear();
}

int HDBSQL_General_Text_Handler::handle_stdout_line(const char* line, size_t len) {
  if (line == nullptr || len == 0) return -1;
  std::string text(line, len);
  if (text.find("row selected") != std::string::npos || text.find("rows selected") != std::string::npos) return 0;

  std::vector<std::string> fields;
  boost::split(fields, text, boost::is_any_of(","), boost::token_compress_off);

  if (keys_size_ == 0) {
    for (size_t i = 0; i < fields.size(); ++i) keys_[fields[i]] = static_cast<int>(i);
    keys_size_ = static_cast<ACE_UINT16>(fields.size());
    return 0;
  }
  if (fields.size() != keys_size_) return -1;
  for (auto& field : fields) {
    if (field == "\"\"")
      field.clear();
    else
      boost::trim_if(field, boost::is_any_of("\"\n"));
  }
  values_.push_back(std::move(fields));
  return 0;
}

}  // namespace sap_hana
