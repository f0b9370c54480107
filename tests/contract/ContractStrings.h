// The string table of the contract test program: compiled into its resources in the Windows
// build (ContractStrings.rc) and given to the simulated test process (BackendSim.cpp).
#pragma once

#define CORVANE_CONTRACT_STRING_ID 1100
#define CORVANE_CONTRACT_STRING "Corvane contract string"
// No string table block holds this id.
#define CORVANE_CONTRACT_MISSING_ID 2000
