#include "service/StartRequest.h"

#include <string>
#include <string_view>

#include "engine/AsciiText.h"
#include "engine/LinkWords.h"
#include "service/RestorePass.h"

namespace {

// A start argument; a null one is empty.
std::u16string_view Word(const char16_t* text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

std::u16string Argument(const char16_t* text) {
  return text != nullptr ? text : u"";
}

}  // namespace

void StartRequest::ReadStartArguments(win::DWORD argc, win::LPWSTR* argv) {
  requestInvalid_ = false;
  restoreMode_ = false;
  argumentsLost_ = false;
  if (argc == 5) {
    const auto kind = KindOfWord(Word(argv[1]));
    const auto action = ActionOfWord(Word(argv[2]));
    if (kind) request_.kind = *kind;
    if (action) request_.action = *action;
    requestInvalid_ = !kind || !action;
    // Paths that cannot be held are reported as out of memory once the service can report.
    argumentsLost_ = ExitCodeOf([&] {
                       request_.target = Argument(argv[3]);
                       request_.link = Argument(argv[4]);
                       return win::DWORD{0};
                     }) != 0;
  } else if (argc == 1 || (argc == 2 && SameAsciiText(Word(argv[1]), win::SERVICE_TRIGGER_STARTED_ARGUMENT))) {
    // A trigger start (machine policy applied) runs the boot's pass again.
    restoreMode_ = true;
  } else {
    requestInvalid_ = true;
  }
}

win::DWORD StartRequest::RunGuarded(const RestorePass& restorePass) const {
  return ExitCodeOf([&] { return Run(restorePass); });
}

win::DWORD StartRequest::Run(const RestorePass& restorePass) const {
  // Where Windows offers it, the system itself then refuses, for every path this process opens,
  // a junction that a non-administrator made; the walk below checks each link on the way anyway.
  // Best effort: older Windows does not know the policy.
  const win::DWORD enforce = win::kEnforceRedirectionTrust;
  const win::DWORD before = win::GetLastError();
  win::SetProcessMitigationPolicy(win::ProcessRedirectionTrustPolicy, &enforce, sizeof enforce);
  win::SetLastError(before);
  if (requestInvalid_) return win::ERROR_INVALID_PARAMETER;
  if (argumentsLost_) return win::ERROR_OUTOFMEMORY;
  if (!restoreMode_) {
    if (request_.Execute()) return 0;
    // A failure that left no reason must still never read as success.
    const win::DWORD error = win::GetLastError();
    return error != win::ERROR_SUCCESS ? error : win::ERROR_GEN_FAILURE;
  }
  return restorePass.RestoreDriveMappings();
}
