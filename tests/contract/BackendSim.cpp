#include "platform/sim/Machine.h"
#include "tests/contract/ContractTest.h"

namespace contract {

Backend CurrentBackend() {
  return Backend::Simulation;
}

std::shared_ptr<void> MakeBackendState() {
  return std::make_shared<sim::Machine>();
}

}  // namespace contract
