// The factories through which the agent creates the plug-in's objects. The
// agent resolves each `_make_<Class>` by name in the loaded module, calls it
// once per service object, keeps the object for the life of the service and
// destroys it only through the function the factory stored in its slot
// (the factory convention of ACE's service configurator; the slot may be
// null). An object is handed out as a pointer to the framework class the
// agent uses it as, and destroyed through that class's virtual destructor.

#include <cerrno>
#include <new>

#include "agent/base/object_creator.h"
#include "agent/instance/instance_handler.h"
#include "agent/job/default_backup_job_source_parser.h"
#include "agent/job/job_creator.h"
#include "agent/json/yajl_handler.h"
#include "agent/jsonrpc/json_rpc_handler.h"
#include "instance/hana_instance_handler.h"
#include "job/backup_job_options_parser.h"
#include "job/hana_job_creator.h"
#include "job/restore_job_options_parser.h"
#include "job/restore_job_source_parser.h"
#include "websvcs_agent/json_rpc_hana_file_download_handler.h"
#include "websvcs_agent/json_rpc_hana_instance_control_handler.h"
#include "websvcs_agent/json_rpc_hana_list_handler.h"

using namespace sap_hana;

#define HANA_PLUGIN_FACTORY(NAME, TYPE, BASE, ...)                                                \
  namespace {                                                                                     \
  void _gobble_##NAME(void* object) { delete static_cast<BASE*>(object); }                        \
  }                                                                                               \
  extern "C" __attribute__((visibility("default"))) void* _make_##NAME(void (**gobbler)(void*)) { \
    if (gobbler != nullptr) *gobbler = _gobble_##NAME;                                            \
    BASE* object = new (std::nothrow) TYPE(__VA_ARGS__);                                          \
    if (object == nullptr) errno = ENOMEM;                                                        \
    return object;                                                                                \
  }

HANA_PLUGIN_FACTORY(HANA_Instance_Handler, HANA_Instance_Handler, Instance_Handler)
HANA_PLUGIN_FACTORY(JSON_RPC_HANA_List_Handler, JSON_RPC_HANA_List_Handler, JSON_RPC_Handler)
HANA_PLUGIN_FACTORY(JSON_RPC_HANA_Instance_Control_Handler, JSON_RPC_HANA_Instance_Control_Handler, JSON_RPC_Handler)
HANA_PLUGIN_FACTORY(JSON_RPC_HANA_File_Download_Handler, JSON_RPC_HANA_File_Download_Handler, JSON_RPC_Handler)
HANA_PLUGIN_FACTORY(HANA_Job_Creator, HANA_Job_Creator, Job_Creator)

// Parser creators are finished (fini) before they are deleted.
#define HANA_PARSER_CREATOR_FACTORY(NAME, PARSER)                                                 \
  namespace {                                                                                     \
  using NAME##_Type = Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, PARSER>;              \
  void _gobble_##NAME(void* object) {                                                             \
    auto* creator = static_cast<Object_Creator_T<YAJL_Handler>*>(object);                         \
    if (creator == nullptr) return;                                                               \
    creator->fini();                                                                              \
    delete creator;                                                                               \
  }                                                                                               \
  }                                                                                               \
  extern "C" __attribute__((visibility("default"))) void* _make_##NAME(void (**gobbler)(void*)) { \
    if (gobbler != nullptr) *gobbler = _gobble_##NAME;                                            \
    Object_Creator_T<YAJL_Handler>* object = new (std::nothrow) NAME##_Type;                      \
    if (object == nullptr) errno = ENOMEM;                                                        \
    return object;                                                                                \
  }

HANA_PARSER_CREATOR_FACTORY(HANA_Backup_Job_Options_Parser_Creator, Backup_Job_Options_Parser)
HANA_PARSER_CREATOR_FACTORY(HANA_Backup_Job_Source_Parser_Creator, Default_Backup_Job_Source_Parser)
HANA_PARSER_CREATOR_FACTORY(HANA_Restore_Job_Options_Parser_Creator, Restore_Job_Options_Parser)
HANA_PARSER_CREATOR_FACTORY(HANA_Restore_Job_Source_Parser_Creator, Restore_Job_Source_Parser)
