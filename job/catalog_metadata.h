#ifndef SAP_HANA_CATALOG_METADATA_H
#define SAP_HANA_CATALOG_METADATA_H

#include <ace/Basic_Types.h>

#include <string>

#include "agent/json/json_access.h"

namespace sap_hana {

/// Typed access to the HANA part of a catalog entry's metadata object: the
/// databases of a HANA backup ("databases", an array of objects) and the
/// system they belong to ("sid", "instance_number", "instance_name",
/// "system_version", "extended_attrs", "incarnation", "lifeline").
///
/// Contract: every accessor first checks that the metadata is a JSON object;
/// if not, it logs an emergency line ("... metadata_ is not object!") and
/// returns false, changing nothing. A getter returns whether the key exists
/// with the expected kind (get_instance_number writes 0 when the key is
/// absent, and narrows the unsigned value to 16 bits). A scalar setter
/// replaces the key; set_backup_databases appends to "databases", replacing a
/// value there that is not an array. A value type; not synchronised.
class Catalog_Metadata {
 public:
  Catalog_Metadata() : metadata_(json_value::object()) {}
  explicit Catalog_Metadata(const json_value& metadata) : metadata_(metadata) {}

  const json_value& metadata() const { return metadata_; }

  bool get_backup_databases(json_value& databases) const;
  bool set_backup_databases(const json_value& database);
  bool get_sid(std::string& sid) const;
  bool set_sid(const std::string& sid);
  bool get_instance_number(ACE_UINT16& number) const;
  bool set_instance_number(ACE_UINT16 number);
  bool get_instance_name(std::string& name) const;
  bool set_instance_name(const std::string& name);
  bool get_system_version(std::string& version) const;
  bool set_system_version(const std::string& version);
  bool get_extended_attrs(std::string& attrs) const;
  bool set_extended_attrs(const std::string& attrs);
  bool get_incarnation(std::string& incarnation) const;
  bool set_incarnation(const std::string& incarnation);
  bool get_lifeline(std::string& lifeline) const;
  bool set_lifeline(const std::string& lifeline);

 private:
  bool is_object(int line) const;
  bool get_string(const char* key, std::string& value, int line) const;
  bool set_string(const char* key, const std::string& value, int line);

  json_value metadata_;
};

}  // namespace sap_hana

#endif
