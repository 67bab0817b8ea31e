#ifndef SAP_HANA_JSON_RPC_HANA_FILE_DOWNLOAD_HANDLER_H
#define SAP_HANA_JSON_RPC_HANA_FILE_DOWNLOAD_HANDLER_H

#include <memory>
#include <string>

#include "agent/jsonrpc/json_rpc_handler.h"

namespace sap_hana {

/// The service "hana.file.download": writes a JSON document that a peer
/// agent of the same scale-out system sends (the catalog and restore
/// extension configurations of a restore) into a file of this host, for
/// hana-backint to read.
///
/// Params: {"destination": path, "data": object}. Result: {"error": 0}.
///
/// Contract:
/// - Only files below the agent's catalog directory
///   (/var/opt/corvane/strovix3/agent/hana/catalog, catalog_dir()) are
///   written. The destination must be absolute; it is taken with "." and
///   ".." resolved by name, and no symbolic link on the way may lead out of
///   the catalog directory. Any other destination is refused with -32602
///   "destination must be a file below <catalog dir>\n" and nothing is
///   created, written or changed.
/// - Missing directories are created; the catalog directory and every
///   directory between it and the file get mode 0755 (nothing above the
///   catalog directory is changed); the file is replaced atomically with
///   mode 0640 and group sapsys, its owner unchanged.
/// - Other errors: -32602 "Failed to initialize params\n" (params not an
///   object, destination not a string, data not an object); -32603 "failed
///   to create catalog_conf dir" (no newline), "failed to save catalog
///   config file\n", "failed to change file group\n" (the file then stays with
///   the agent's group).
/// - Runs on the receiving thread; a notification is handled like a request.
///   Stateless.
class JSON_RPC_HANA_File_Download_Handler : public JSON_RPC_Handler {
 public:
  ~JSON_RPC_HANA_File_Download_Handler() override;
  /// 0 when a response or an error was sent, -1 otherwise.
  int handle_object(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) override;

  /// The directory below which files are written.
  static std::string catalog_dir();
};

}  // namespace sap_hana

#endif
