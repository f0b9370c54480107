// The resources of the contract test program: compiled into it in the Windows build
// (ContractStrings.rc) and given to the simulated test process (BackendSim.cpp).
#pragma once

#define CORVANE_CONTRACT_STRING_ID 1100
#define CORVANE_CONTRACT_STRING "Corvane contract string"
// No string table block holds this id.
#define CORVANE_CONTRACT_MISSING_ID 2000

// A resource of the named type "REGISTRY", as the service carries its registry script. The
// bytes are the text's characters, without a terminating NUL.
#define CORVANE_CONTRACT_RESOURCE_ID 101
#define CORVANE_CONTRACT_RESOURCE "HKCR\r\n{\r\n\tNoRemove Corvane\r\n}\r\n"
