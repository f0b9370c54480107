#include "frontend/MachineLock.h"

#include "frontend/Messages.h"

namespace frontend {

Lines LockFailureText(const MachineLock& lock, win::DWORD error) {
  std::u16string text = u"The lock file " + lock.Path();
  if (error == win::ERROR_ACCESS_DENIED) {
    text +=
        u" does not let administrators open it, so nothing was changed. corvane makes it for "
        u"SYSTEM and Administrators only; delete it, and the next corvane makes it again.";
  } else {
    text += u" cannot be opened, so nothing was changed.";
  }
  return {text, OutcomeText(error)};
}

}  // namespace frontend
