// hana-backint: the Backint program HANA starts for every backup, restore,
// inquiry and deletion.
#include <iostream>

#include "backint/backint_startup.h"

int main(int argc, char* argv[]) { return sap_hana::Backint_Startup::run(argc, argv, std::cout); }
