#ifndef SAP_HANA_RESOURCE_INFO_GETTER_H
#define SAP_HANA_RESOURCE_INFO_GETTER_H

#include <ace/Basic_Types.h>

#include <string>
#include <vector>

#include "agent/http/http_session.h"
#include "agent/json/json_access.h"

namespace sap_hana {

/// Reads backupd's record of one HANA resource ("/d2/r/v2/resources?uuid=<uuid>")
/// and hands out the base data of its first instance or the list of all its
/// instances. The record's "instances" array is required; elements that are
/// not objects are skipped. Each instance object holds "name" (the agent's
/// instance registry name), "uuid", "host_uuid" and "extended_attrs" with
/// "sid", "instance_name", "instance_number" (unsigned; the low 16 bits are
/// kept) and "multi_container" (boolean).
///
/// Contract:
/// - Every operation fetches the record anew (read_first_catalog with 10
///   retries and no overall time bound) and answers true on success or false
///   with error-level log lines; nothing is thrown.
/// - A missing or mistyped member fails with
///   "Failed to get HANA resource base info, <which member and why>".
/// - Outputs already written when a failure strikes keep their new values;
///   get_instances_info never clears `infos` and keeps what it appended,
///   including a partly filled last element.
/// - Holds no shared state; one object per thread.
class Resource_Info_Getter {
 public:
  struct Instance_Info {
    std::string host_uuid;  ///< agent host running the instance
    std::string sid;
    std::string uuid;               ///< instance record on the server
    std::string instance_name;      ///< e.g. HDB00
    std::string instance_mgr_name;  ///< name in the agent's instance registry
    ACE_UINT16 instance_number = 0;
    json_value ext_attrs = json_value::object();  ///< "extended_attrs" as received
    bool mdc = false;                             ///< multi-container system
  };
  using Instances_Info = std::vector<Instance_Info>;

  /// Talks to the agent's own backupd (Common_HTTP_Session_Factory).
  explicit Resource_Info_Getter(const std::string& resource_uuid);
  /// Talks over the given session instead (tests, callers holding one).
  Resource_Info_Getter(const std::string& resource_uuid, HTTP_Session_Ptr session);

  /// The resource record itself. False ("Failed to get HANA resource info")
  /// when it cannot be read or is not a JSON object.
  bool get_info(json_value& info);

  /// Base data of the first instance object. False when the record cannot be
  /// read, "instances" is missing or empty ("Lack of instance info"), holds
  /// no object, or a member is missing or mistyped.
  bool base_info(std::string& sid, std::string& instance_name, std::string& instance_mgr_name,
                 ACE_UINT16& instance_number);

  /// Appends one Instance_Info per instance object, in order. False when the
  /// record cannot be read, "instances" is missing or empty, or a member of
  /// an instance object is missing or mistyped. True, with nothing appended,
  /// when "instances" holds no object at all.
  bool get_instances_info(Instances_Info& infos);

 private:
  std::string resource_uuid_;
  HTTP_Session_Ptr session_;  // empty: a session to the agent's backupd per read
};

}  // namespace sap_hana

#endif
