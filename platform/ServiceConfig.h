// A service's record as QueryServiceConfigW returns it, held in storage of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/WinApi.h"

namespace win {

class ServiceConfigRecord {
 public:
  // Reads the record of `service` (opened with SERVICE_QUERY_CONFIG). On failure Get() is null
  // and the thread's last-error code says why.
  explicit ServiceConfigRecord(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    // Whole 64-bit words, so that the record's pointers are aligned.
    storage_.resize(needed / sizeof(std::uint64_t) + 1);
    read_ = QueryServiceConfigW(service, Record(),
                                static_cast<DWORD>(storage_.size() * sizeof(std::uint64_t)),
                                &needed) != FALSE;
  }

  const QUERY_SERVICE_CONFIGW* Get() { return read_ ? Record() : nullptr; }

 private:
  QUERY_SERVICE_CONFIGW* Record() {
    return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(storage_.data());
  }

  std::vector<std::uint64_t> storage_;
  bool read_ = false;
};

}  // namespace win
