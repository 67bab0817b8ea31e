#ifndef SAP_HANA_HANDLER_FACTORY_H
#define SAP_HANA_HANDLER_FACTORY_H

#include <memory>

#include "backint/backint_handler.h"

namespace sap_hana {

/// Chooses the handler for a command line's function and level.
class Backint_Handler_Factory {
 public:
  /// The handler, or an empty pointer when the function is unknown (logged)
  /// or has no handler.
  static std::unique_ptr<Backint_Handler> create(const Backint_Info& info);
};

}  // namespace sap_hana

#endif
