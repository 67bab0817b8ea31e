#ifndef AGENT_BACKUPD_ADDRESS_H
#define AGENT_BACKUPD_ADDRESS_H

#include <cstdint>
#include <string>

#include "agent/base/secure_string.h"

/// Fills host, port, SSL flag and access key from the configuration of
/// `component` (agent.conf and access_key). Fields the files do not give are
/// left unchanged. False when agent.conf cannot be read; the error is logged
/// with the file's name (never the key).
bool get_backupd_address(std::string& host, std::uint16_t& port, bool& ssl, secure_string& access_key,
                         const char* component = "agent");

#endif
