#include "frontend/Messages.h"

#include <string>

#include "engine/SystemMessage.h"

namespace frontend {
std::u16string DecimalText(long long value) {
  std::u16string text;
  for (char digit : std::to_string(value)) text.push_back(static_cast<char16_t>(digit));
  return text;
}

std::u16string OutcomeText(win::DWORD code) {
  // Some system texts run to several paragraphs; a sentence of corvane's is one line.
  std::u16string text = SystemMessage(code);
  for (std::size_t at = 0; (at = text.find_first_of(u"\r\n", at)) != std::u16string::npos;) {
    const std::size_t end = text.find_first_not_of(u"\r\n", at);
    text.replace(at, (end == std::u16string::npos ? text.size() : end) - at, u" ");
    ++at;
  }
  return text + u" (code " + DecimalText(code) + u")";
}

Lines StartFailureText(win::DWORD code) {
  std::u16string advice;
  switch (code) {
    case win::ERROR_SERVICE_DOES_NOT_EXIST:
      advice = u"The CorvaneService service is not installed. Install Corvane with its package "
               u"(msiexec /i corvane-VERSION-x64.msi), or from an elevated command prompt "
               u"with: CorvaneService.exe -Service";
      break;
    case win::ERROR_ACCESS_DENIED:
      advice = u"Only administrators may start CorvaneService. Run corvane from an elevated "
               u"command prompt (Run as administrator).";
      break;
    case win::ERROR_SERVICE_DISABLED:
      advice = u"The CorvaneService service is disabled. Set it to start automatically with "
               u"CorvaneAutoStart.exe (or in services.msc) and try again.";
      break;
    case win::ERROR_SERVICE_ALREADY_RUNNING:
      advice = u"CorvaneService is still busy with another request. Try again in a moment.";
      break;
    case win::ERROR_FILENAME_EXCED_RANGE:
      advice = u"A link or target of 1024 characters or more cannot be passed to CorvaneService: "
               u"a start argument holds at most 1023 characters. Nothing was changed.";
      break;
    case win::ERROR_SERVICE_REQUEST_TIMEOUT:
      advice = u"The machine was too busy to start CorvaneService: for a minute the service "
               u"control manager gave up waiting for it to start, time after time. Nothing was "
               u"changed; try again when the machine is less busy.";
      break;
    case win::ERROR_TIMEOUT:
      advice = u"Other corvane requests kept CorvaneService busy for 30 seconds, so this one was "
               u"not made. Try again when they have finished.";
      break;
    default:
      advice = u"CorvaneService could not be started.";
  }
  return {advice, OutcomeText(code)};
}

}  // namespace frontend
