// One owner for every handle: a move-only holder closed on every path. Closing keeps the
// thread's last-error code, so a failure reported just before the owner goes out of scope
// still reads as the failing call left it.
#pragma once

#include <utility>

#include "platform/WinApi.h"

namespace win {

template <typename Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueHandle(Value value) noexcept : value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  bool IsValid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }
  Value Get() const noexcept { return value_; }

  // For out-parameters: closes what is held and hands out the slot.
  Value* Put() noexcept {
    Reset();
    return &value_;
  }

  Value Release() noexcept { return std::exchange(value_, Traits::Invalid()); }

  void Reset(Value value = Traits::Invalid()) noexcept {
    if (IsValid()) {
      const DWORD saved = GetLastError();
      Traits::Close(value_);
      SetLastError(saved);
    }
    value_ = value;
  }

 private:
  Value value_;
};

struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Value h) noexcept { CloseHandle(h); }
};

// Kernel objects other than files (access tokens): null is the invalid value.
struct KernelObjectTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { CloseHandle(h); }
};

struct FindHandleTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Value h) noexcept { FindClose(h); }
};

struct RegKeyTraits {
  using Value = HKEY;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { RegCloseKey(h); }
};

struct ModuleTraits {
  using Value = HMODULE;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { FreeLibrary(h); }
};

struct EventSourceTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { DeregisterEventSource(h); }
};

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { CloseServiceHandle(h); }
};

struct ServiceLockTraits {
  using Value = SC_LOCK;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { UnlockServiceDatabase(h); }
};

struct LocalMemoryTraits {
  using Value = HLOCAL;
  static Value Invalid() noexcept { return nullptr; }
  static void Close(Value h) noexcept { LocalFree(h); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueObject = UniqueHandle<KernelObjectTraits>;
using UniqueKey = UniqueHandle<RegKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueEventSource = UniqueHandle<EventSourceTraits>;
using UniqueService = UniqueHandle<ServiceHandleTraits>;  // a manager or a service handle
using UniqueServiceLock = UniqueHandle<ServiceLockTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

}  // namespace win
