#ifndef SAP_HANA_SERVER_PORT_MANAGER_H
#define SAP_HANA_SERVER_PORT_MANAGER_H

#include <ace/Basic_Types.h>

#include <string>

namespace sap_hana {

/// The TCP ports of one HANA instance's services: 30000 + 100 * instance
/// number + the service's offset. Stateless apart from the instance number;
/// safe to use from any thread.
class Server_Port_Manager {
 public:
  enum Port_Type {
    TYPE_UNKNOWN = 0,
    TYPE_INDEXSERVER = 1,       ///< + 15, SQL port of a single-container system
    TYPE_MDC_INDEXSERVER = 2,   ///< + 13, SQL port of a multi-container system's system database
    TYPE_STATISTICSSERVER = 3,  ///< + 17
    TYPE_DAEMON = 4,            ///< + 0
    TYPE_NAMESERVER = 5,        ///< + 1
    TYPE_PREPROCESSOR = 6,      ///< + 2
    TYPE_COMPILESERVER = 7      ///< + 10
  };

  explicit Server_Port_Manager(ACE_UINT16 instance_number) : instance_number_(instance_number) {}
  /// "HDB" and two digits give their number; any other name gives 0.
  explicit Server_Port_Manager(const std::string& instance_name);

  /// The service's port; 0 for TYPE_UNKNOWN or an unknown type.
  ACE_UINT16 get_port(int type) const;
  /// True when a local TCP listener is bound to the service's port. A port
  /// of 0 logs "Missing port to check it is listening" and gives false.
  bool is_listening(int type) const;

  ACE_UINT16 instance_number() const { return instance_number_; }

 private:
  ACE_UINT16 generate_port(ACE_UINT16 offset) const;

  ACE_UINT16 instance_number_;
};

}  // namespace sap_hana

#endif
