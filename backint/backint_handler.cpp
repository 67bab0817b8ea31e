#include "backint/backint_handler.h"

namespace sap_hana {

Backint_Handler::Backint_Handler(const Backint_Info& info) : info_(info) {}

Backint_Handler::~Backint_Handler() = default;

bool Backint_Handler::execute() { return handle_par_file() && execute_i(); }

bool Backint_Handler::handle_par_file() { return true; }

}  // namespace sap_hana
