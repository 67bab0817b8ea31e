#include "agent/process/port_listening.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The kernel's TCP_LISTEN state as printed in the "st" column.
constexpr unsigned kTcpListen = 0x0A;

bool table_has_listener(const char* path, unsigned short port) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    // "  sl  local_address rem_address   st ..." with addresses as HEX:PORT.
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    std::string::size_type colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    unsigned long local_port = std::stoul(local.substr(colon + 1), nullptr, 16);
    unsigned long st = std::stoul(state, nullptr, 16);
    if (local_port == port && st == kTcpListen) return true;
  }
  return false;
}

}  // namespace

bool check_port_listening(unsigned short port) {
  if (port == 0) return false;
  try {
    return table_has_listener("/proc/net/tcp", port) || table_has_listener("/proc/net/tcp6", port);
  } catch (const std::exception&) {
    // A line the kernel would never write; treat the table as unreadable.
    return false;
  }
}
