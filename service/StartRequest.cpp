#include "service/StartRequest.h"

#include <string>
#include <string_view>

#include "service/RestorePass.h"

namespace {

// Whole-word comparison that ignores the case of ASCII letters only; a null word is empty.
bool IsWord(const char16_t* text, std::u16string_view word) {
  const std::u16string_view given = text != nullptr ? std::u16string_view(text) : u"";
  if (given.size() != word.size()) return false;
  for (std::size_t i = 0; i < given.size(); ++i) {
    auto fold = [](char16_t c) {
      return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    };
    if (fold(given[i]) != fold(word[i])) return false;
  }
  return true;
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
    if (IsWord(argv[1], u"Drive")) {
      request_.kind = LinkKind::Drive;
    } else if (IsWord(argv[1], u"Folder")) {
      request_.kind = LinkKind::Folder;
    } else if (IsWord(argv[1], u"File")) {
      request_.kind = LinkKind::File;
    } else {
      requestInvalid_ = true;
    }
    if (IsWord(argv[2], u"Create")) {
      request_.action = LinkAction::Create;
    } else if (IsWord(argv[2], u"Delete")) {
      request_.action = LinkAction::Delete;
    } else {
      requestInvalid_ = true;
    }
    // Paths that cannot be held are reported as out of memory once the service can report.
    argumentsLost_ = ExitCodeOf([&] {
                       request_.target = Argument(argv[3]);
                       request_.link = Argument(argv[4]);
                       return win::DWORD{0};
                     }) != 0;
  } else if (argc == 1 || (argc == 2 && IsWord(argv[1], win::SERVICE_TRIGGER_STARTED_ARGUMENT))) {
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
