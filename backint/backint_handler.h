#ifndef SAP_HANA_BACKINT_HANDLER_H
#define SAP_HANA_BACKINT_HANDLER_H

#include "backint/backint_info.h"

namespace sap_hana {

/// Common base of the hana-backint function handlers. A handler lives for
/// one process run: constructed from the command line, execute() once.
class Backint_Handler {
 public:
  explicit Backint_Handler(const Backint_Info& info);
  virtual ~Backint_Handler();
  Backint_Handler(const Backint_Handler&) = delete;
  Backint_Handler& operator=(const Backint_Handler&) = delete;

  /// Runs the handler; true when it succeeded as a whole.
  bool execute();

 protected:
  /// The handler's own work.
  virtual bool execute_i() = 0;
  /// Accepts every call without reading the parameter file.
  virtual bool handle_par_file();

  Backint_Info info_;
};

}  // namespace sap_hana

#endif
