// Owns one initialisation of COM on the constructing thread, like the handle owners own a
// handle: CoInitialize on construction, CoUninitialize on destruction, and that only when the
// initialisation succeeded, since an unbalanced call would undo someone else's.
#pragma once

#include "platform/WinApi.h"

namespace win {

class ComInitialization {
 public:
  ComInitialization() : result_(CoInitialize(nullptr)) {}
  ~ComInitialization() {
    if (Succeeded()) CoUninitialize();
  }
  ComInitialization(const ComInitialization&) = delete;
  ComInitialization& operator=(const ComInitialization&) = delete;

  bool Succeeded() const { return result_ >= 0; }

 private:
  HRESULT result_;
};

}  // namespace win
