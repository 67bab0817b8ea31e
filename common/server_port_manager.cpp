#include "common/server_port_manager.h"

#include <ace/Log_Msg.h>

#include "agent/process/port_listening.h"

namespace sap_hana {

Server_Port_Manager::Server_Port_Manager(const std::string& instance_name) : instance_number_(0) {
  if (instance_name.size() == 5) {
    const char a = instance_name[3];
    const char b = instance_name[4];
    if (a >= '0' && a <= '9' && b >= '0' && b <= '9')
      instance_number_ = static_cast<ACE_UINT16>((a - '0') * 10 + (b - '0'));
  }
}

ACE_UINT16 Server_Port_Manager::generate_port(ACE_UINT16 offset) const {
  return static_cast<ACE_UINT16>(30000 + 100 * instance_number_ + offset);
}

ACE_UINT16 Server_Port_Manager::get_port(int type) const {
  switch (type) {
    case TYPE_INDEXSERVER:
      return generate_port(15);
    case TYPE_MDC_INDEXSERVER:
      return generate_port(13);
    case TYPE_STATISTICSSERVER:
      return generate_port(17);
    case TYPE_DAEMON:
      return generate_port(0);
    case TYPE_NAMESERVER:
      return generate_port(1);
    case TYPE_PREPROCESSOR:
      return generate_port(2);
    case TYPE_COMPILESERVER:
      return generate_port(10);
    default:
      return 0;
  }
}

bool Server_Port_Manager::is_listening(int type) const {
  ACE_UINT16 port = get_port(type);
  if (port == 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Missing port to check it is listening\n")));
    return false;
  }
  return check_port_listening(port);
}

}  // namespace sap_hana
