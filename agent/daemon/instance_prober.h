#ifndef AGENT_INSTANCE_PROBER_H
#define AGENT_INSTANCE_PROBER_H

#include <memory>
#include <mutex>
#include <vector>

#include "agent/config/instance_manager.h"
#include "agent/daemon/service_repository.h"

/// Asks every loaded instance handler for the instances of the host and
/// stores each in the registry (Instance_Manager): an instance already
/// registered keeps its uuid and accounts, a new one gets a fresh uuid.
/// Probes are serialised (start, "agent.probe", SIGHUP may overlap).
class Instance_Prober {
 public:
  explicit Instance_Prober(const Service_Repository& services) : services_(services) {}

  /// 0 when every handler answered, -1 when one failed (logged; what the
  /// others found is stored all the same). `found` lists what was stored.
  int probe(std::vector<std::shared_ptr<Instance>>& found);

 private:
  const Service_Repository& services_;
  std::mutex mutex_;
};

#endif
