#ifndef AGENT_UUID_STRING_H
#define AGENT_UUID_STRING_H

#include <string>

/// A new random (version 4) UUID in its 36-character lower-case text form
/// ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"), from the system's random
/// source. Thread-safe. Never fails: should the random source fail, it
/// aborts rather than hand out a predictable identifier.
std::string uuid_string();

#endif
