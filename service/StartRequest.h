// What one start of the service asks for, read from its start arguments, and carrying it out for
// the exit code the service stops with.
#pragma once

#include <new>
#include <stdexcept>

#include "engine/LinkRequest.h"
#include "platform/WinApi.h"

class RestorePass;

// Runs `work` for an exit code; running out of memory on the way ends it with
// ERROR_OUTOFMEMORY instead of an exception leaving the program.
template <typename Work>
win::DWORD ExitCodeOf(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return win::ERROR_OUTOFMEMORY;
  } catch (const std::length_error&) {
    return win::ERROR_OUTOFMEMORY;
  }
}

class StartRequest {
 public:
  // The service main's arguments, argv[0] the service's name: kind, action, target and link
  // make a link request; none, or the manager's trigger argument alone, the restore pass;
  // anything else is invalid. A program started directly reads none: its request is the default
  // record's, a Drive Delete of no name, which is refused as an invalid name.
  void ReadStartArguments(win::DWORD argc, win::LPWSTR* argv);

  // Executes the request, or `restorePass` when the start asks for it, and returns the exit
  // code; an exception that escapes is turned into one too.
  win::DWORD RunGuarded(const RestorePass& restorePass) const;

 private:
  win::DWORD Run(const RestorePass& restorePass) const;

  LinkRequest request_;
  bool requestInvalid_ = false;
  bool restoreMode_ = false;
  bool argumentsLost_ = false;  // the start arguments could not be held (no memory)
};
