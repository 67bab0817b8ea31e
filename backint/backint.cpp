// hana-backint: the Backint program HANA starts for every backup, restore,
// inquiry and deletion.
#include <csignal>
#include <iostream>

#include "backint/backint_startup.h"

int main(int argc, char* argv[]) {
  // A restore pipe whose reader went away must fail that entry (EPIPE), not
  // end the process before HANA gets its answer.
  std::signal(SIGPIPE, SIG_IGN);
  return sap_hana::Backint_Startup::run(argc, argv, std::cout);
}
