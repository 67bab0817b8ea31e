#ifndef AGENT_MINOR_RESOURCE_ID_H
#define AGENT_MINOR_RESOURCE_ID_H

#include <string>

/// The id of one item (a database) of a resource in the set catalog: a
/// name-based UUID (version 5, SHA-1) of the resource UUID and the item's
/// name, in lower case with "-" (36 characters). The same pair always gives
/// the same id, on every host; different pairs give different ids. The
/// resource UUID is taken case-insensitively; the name as it is. Empty
/// (logged) only when no SHA-1 digest can be computed.
std::string compute_minor_resource_id(const std::string& resource_uuid, const std::string& database);

#endif
