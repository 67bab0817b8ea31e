#include "agent/jsonrpc/json_rpc_handler.h"

JSON_RPC_Handler::~JSON_RPC_Handler() = default;

int JSON_RPC_Handler::init(int, ACE_TCHAR*[]) { return 0; }

int JSON_RPC_Handler::fini() { return 0; }

int JSON_RPC_Handler::handle(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) {
  int rc = handle_object(sender, object);
  handle_object_post(sender, object);
  return rc;
}

int JSON_RPC_Handler::handle_object(std::weak_ptr<JSON_RPC_Channel>, JSON_RPC_Object_Ptr) { return -1; }

int JSON_RPC_Handler::handle_object_post(std::weak_ptr<JSON_RPC_Channel>, JSON_RPC_Object_Ptr) { return 0; }

JSON_RPC_Params_Handler* JSON_RPC_Handler::create_params_handler() { return nullptr; }
