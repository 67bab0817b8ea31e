#include "backint/handler_factory.h"

#include <ace/Log_Msg.h>

#include "backint/backup_handler.h"
#include "backint/delete_handler.h"
#include "backint/inquire_handler.h"
#include "backint/log_backup_handler.h"
#include "backint/restore_handler.h"

namespace sap_hana {

std::unique_ptr<Backint_Handler> Backint_Handler_Factory::create(const Backint_Info& info) {
  switch (info.function) {
    case FUNCTION_BACKUP:
      if (info.level == LEVEL_LOG || info.level == LEVEL_CATALOG)
        return std::unique_ptr<Backint_Handler>(new Backint_Log_Backup_Handler(info));
      return std::unique_ptr<Backint_Handler>(new Backint_Backup_Handler(info));
    case FUNCTION_RESTORE:
      return std::unique_ptr<Backint_Handler>(new Backint_Restore_Handler(info));
    case FUNCTION_INQUIRE:
      return std::unique_ptr<Backint_Handler>(new Backint_Inquire_Handler(info));
    case FUNCTION_DELETE:
      return std::unique_ptr<Backint_Handler>(new Backint_Delete_Handler(info));
    case FUNCTION_UNKNOWN:
      break;
  }
  ACE_ERROR((LM_ERROR, "Invalid function function\n"));
  return nullptr;
}

}  // namespace sap_hana
