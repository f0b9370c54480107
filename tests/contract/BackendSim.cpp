#include "platform/sim/Machine.h"
#include "tests/contract/ContractStrings.h"
#include "tests/contract/ContractTest.h"

namespace contract {

Backend CurrentBackend() {
  return Backend::Simulation;
}

namespace {

// The one machine alive, while a case runs.
std::weak_ptr<sim::Machine> current;

}  // namespace

std::shared_ptr<void> MakeBackendState() {
  auto machine = std::make_shared<sim::Machine>();
  current = machine;
  // The same resources the Windows build compiles into the test program.
  machine->SetOwnStrings({{CORVANE_CONTRACT_STRING_ID, u"" CORVANE_CONTRACT_STRING}});
  machine->SetOwnResources(
      {{{u"REGISTRY", CORVANE_CONTRACT_RESOURCE_ID}, CORVANE_CONTRACT_RESOURCE}});
  return machine;
}

// MakeBackendState's machine keeps the simulation's own, that of an English Windows.
win::UINT AnsiCodePage() {
  return 1252;
}

bool ChangeCurrentDirectory(const std::u16string& path) {
  const auto machine = current.lock();
  if (!machine || !machine->IsDirectory(path)) return false;
  machine->SetCurrentDirectory(path);
  return true;
}

bool ChooseDeleteSemantics(bool posix) {
  const auto machine = current.lock();
  if (!machine) return false;
  machine->SetDeleteSemantics(u'C',
                              posix ? sim::DeleteSemantics::Posix : sim::DeleteSemantics::Classic);
  return true;
}

}  // namespace contract
