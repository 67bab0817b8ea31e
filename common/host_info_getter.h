#ifndef SAP_HANA_HOST_INFO_GETTER_H
#define SAP_HANA_HOST_INFO_GETTER_H

#include <string>

namespace sap_hana {

/// Finds the host name of a HANA system from the SAP service list
/// /usr/sap/sapservices: the text after "<SID>_HDB<nn>_" in the instance
/// profile ("pf=...") of the first active line that names the system.
///
/// Contract: hostname() reads the file anew on every call and answers true
/// with the name, or false with one error-level log line (file missing, no
/// matching line; an empty SID is refused as a precondition). `name` is
/// written only on success. Holds nothing but the
/// SID given at construction; may be used from any thread.
class Host_Info_Getter {
 public:
  explicit Host_Info_Getter(const std::string& sid) : sid_(sid) {}

  bool hostname(std::string& name) const;

 private:
  std::string sid_;
};

}  // namespace sap_hana

#endif
