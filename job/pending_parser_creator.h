#ifndef SAP_HANA_PENDING_PARSER_CREATOR_H
#define SAP_HANA_PENDING_PARSER_CREATOR_H

#include <string>

namespace sap_hana {

/// Creator of one of the job parsers (backup or restore job options or
/// sources) whose parser this version of the plug-in does not have yet: the
/// agent can load it, and every parser it is asked for is refused.
class Pending_Parser_Creator {
 public:
  /// `what`: the parser's subject, e.g. "backup job options".
  explicit Pending_Parser_Creator(const char* what) : what_(what) {}
  virtual ~Pending_Parser_Creator();
  Pending_Parser_Creator(const Pending_Parser_Creator&) = delete;
  Pending_Parser_Creator& operator=(const Pending_Parser_Creator&) = delete;

  const std::string& what() const { return what_; }
  /// A new parser: none yet. Logs "No parser of HANA <what> in this plug-in
  /// version" and returns null with errno ENOTSUP.
  virtual void* create();

 private:
  std::string what_;
};

}  // namespace sap_hana

#endif
