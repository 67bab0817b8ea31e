// hana-access-key: writes (or refreshes) the access key file that hands
// hana-backint the backupd address and the encrypted access key, from the
// agent's configuration. Run as root, as the agent's jobs do before HANA is
// asked to start hana-backint. Exit 0 when the file is current.
#include <ace/Log_Msg.h>

#include <cstring>

#include "common/utils.h"

int main(int argc, char* argv[]) {
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    ACE_DEBUG((LM_INFO, "usage: %s\nWrites %s from the agent configuration.\n", argv[0],
               sap_hana::access_key_file().c_str()));
    return 0;
  }
  if (!sap_hana::generate_access_key_file()) return 1;
  // hana-backint runs as <sid>adm: let it reach the file (group sapsys).
  sap_hana::change_directory_permission(sap_hana::access_key_file().substr(0, sap_hana::access_key_file().rfind('/')),
                                        0755);
  return 0;
}
