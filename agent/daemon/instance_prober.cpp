#include "agent/daemon/instance_prober.h"

#include <cstdio>
#include <map>

#include <ace/Log_Msg.h>
#include <ace/UUID.h>

namespace {

std::string new_uuid() {
  ACE_Utils::UUID id;
  ACE_Utils::UUID_GENERATOR::instance()->generate_UUID(id);
  const ACE_Utils::UUID_Node::Node_ID& node = id.node().node_ID();
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", id.time_low(), id.time_mid(),
                id.time_hi_and_version(), id.clock_seq_hi_and_reserved(), id.clock_seq_low(), node[0], node[1], node[2],
                node[3], node[4], node[5]);
  return text;
}

}  // namespace

int Instance_Prober::probe(std::vector<std::shared_ptr<Instance>>& found) {
  std::lock_guard<std::mutex> lock(mutex_);
  found.clear();
  int rc = 0;
  Instance_Manager* registry = Instance_Manager::instance();
  for (Instance_Handler* handler : services_.instance_handlers()) {
    std::map<std::string, std::shared_ptr<Instance>> instances;
    if (handler->probe_instances(instances) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Probing %C instances failed\n"), handler->type().c_str()));
      rc = -1;
    }
    for (auto& item : instances) {
      std::shared_ptr<Instance> instance = item.second;
      if (!instance || instance->name().empty()) continue;
      if (instance->type().empty()) *instance = Instance(handler->type(), instance->name(), instance->options());
      auto known = registry->find(instance->type(), instance->name());
      instance->uuid(known && !known->uuid().empty() ? known->uuid() : new_uuid());
      if (known && instance->logon_options().empty()) instance->logon_options(known->logon_options());
      if (!registry->add(*instance)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Storing instance %C %C failed\n"), instance->type().c_str(),
                   instance->name().c_str()));
        rc = -1;
        continue;
      }
      found.push_back(instance);
    }
  }
  return rc;
}
