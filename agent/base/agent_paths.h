#ifndef AGENT_AGENT_PATHS_H
#define AGENT_AGENT_PATHS_H

/// Where the agent keeps its files on the host. The production paths live
/// here and nowhere else; tests redirect them through the setters of the
/// classes that use them, never by editing these. "$COMPONENT" is filled in
/// by Path_Conf::fix (always "agent").
namespace agent_paths {

/// Configuration of a component: kConfigRoot + component.
constexpr const char* kConfigRoot = "/etc/opt/corvane/strovix3/";
constexpr const char* kComponentConfigDir = "/etc/opt/corvane/strovix3/$COMPONENT";
/// The agent's configuration directory (agent.conf, access_key).
constexpr const char* kAgentConfigDir = "/etc/opt/corvane/strovix3/agent";
/// The agent's work directory of a component.
constexpr const char* kComponentWorkDir = "/var/opt/corvane/strovix3/$COMPONENT";
/// The registry of instances known to the agent.
constexpr const char* kInstanceRegistry = "/var/opt/corvane/strovix3/agent/instances.json";
/// The memory-mapped job activity records.
constexpr const char* kActivityDir = "/var/opt/corvane/strovix3/agent/act";

}  // namespace agent_paths

#endif
