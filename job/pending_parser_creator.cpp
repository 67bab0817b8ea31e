#include "job/pending_parser_creator.h"

#include <ace/Log_Msg.h>

#include <cerrno>

namespace sap_hana {

Pending_Parser_Creator::~Pending_Parser_Creator() = default;

void* Pending_Parser_Creator::create() {
  ACE_ERROR((LM_ERROR, "No parser of HANA %s in this plug-in version\n", what_.c_str()));
  errno = ENOTSUP;
  return nullptr;
}

}  // namespace sap_hana
