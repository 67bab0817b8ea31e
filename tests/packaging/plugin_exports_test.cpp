// The module's exported factories, resolved by name as the agent resolves
// them.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "agent/instance/instance_handler.h"
#include "agent/jsonrpc/json_rpc_handler.h"
#include "log_capture.h"

namespace {

using Gobbler = void (*)(void*);
using Factory = void* (*)(Gobbler*);

void* plugin() {
  static void* handle =
      ::dlopen((std::string(HANA_BINARY_DIR) + "/hana-agent-plugin.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle;
}

Factory factory(const char* name) {
  return reinterpret_cast<Factory>(::dlsym(plugin(), (std::string("_make_") + name).c_str()));
}

}  // namespace

TEST(Plugin_Exports, EveryFactoryCreatesWithOrWithoutDestroySlot) {
  ASSERT_NE(nullptr, plugin()) << ::dlerror();
  for (const char* name :
       {"HANA_Instance_Handler", "JSON_RPC_HANA_List_Handler", "JSON_RPC_HANA_Instance_Control_Handler",
        "JSON_RPC_HANA_File_Download_Handler", "HANA_Job_Creator", "HANA_Backup_Job_Options_Parser_Creator",
        "HANA_Backup_Job_Source_Parser_Creator", "HANA_Restore_Job_Options_Parser_Creator",
        "HANA_Restore_Job_Source_Parser_Creator"}) {
    SCOPED_TRACE(name);
    Factory make = factory(name);
    ASSERT_NE(nullptr, make) << "C linkage, exported";
    EXPECT_EQ(nullptr, ::dlsym(plugin(), (std::string("_gobble_") + name).c_str())) << "not exported";

    void* without_slot = make(nullptr);
    ASSERT_NE(nullptr, without_slot);
    Gobbler gobble = nullptr;
    void* with_slot = make(&gobble);
    ASSERT_NE(nullptr, with_slot);
    ASSERT_NE(nullptr, gobble);
    EXPECT_NE(without_slot, with_slot);
    gobble(with_slot);
    gobble(without_slot);  // leak detection proves both were destroyed
    gobble(nullptr);
  }
}

TEST(Plugin_Exports, ObjectsAreHandedOutAsTheirFrameworkClass) {
  ASSERT_NE(nullptr, plugin()) << ::dlerror();
  Gobbler gobble = nullptr;
  auto* handler = static_cast<Instance_Handler*>(factory("HANA_Instance_Handler")(&gobble));
  ASSERT_NE(nullptr, handler);
  EXPECT_EQ("hana", handler->type());
  std::string state;
  EXPECT_EQ("error", handler->get_state("", state));
  gobble(handler);

  auto* service = static_cast<JSON_RPC_Handler*>(factory("JSON_RPC_HANA_Instance_Control_Handler")(&gobble));
  ASSERT_NE(nullptr, service);
  Log_Capture log;
  EXPECT_EQ(-1, service->handle_object(std::weak_ptr<JSON_RPC_Channel>(), nullptr)) << "no object, nothing sent";
  EXPECT_NE(std::string::npos, log.text().find("obj is neither JSON-RPC request nor notify!\n"));
  gobble(service);
}
