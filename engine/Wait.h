// One way to wait for what another process holds or is about to let go: attempts on a schedule
// (pauses that double from the first up to the longest), a notice once the wait has gone on a
// while, and a budget, all timed on GetTickCount64, which neither wraps nor follows the clock.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

#include "platform/WinApi.h"

struct WaitSchedule {
  win::DWORD firstPause = 100;
  win::DWORD longestPause = 100;
  std::uint64_t budget = 0;  // from the start of the wait to the last attempt
  std::uint64_t noticeAfter = std::numeric_limits<std::uint64_t>::max();
};

// The list file held by another program (a scanner, a backup, an administrator's corvane list):
// the boot pass and every corvane wait for it alike, say so after 5 seconds and give up after 30.
inline constexpr WaitSchedule kListInUseWait{100, 100, 30'000, 5'000};

class Wait {
 public:
  // `started` lets two waits of one job share a budget.
  explicit Wait(const WaitSchedule& schedule, std::uint64_t started = win::GetTickCount64());

  // Called after an attempt that is to be made again: false once the budget is spent, otherwise
  // the notice (once, when it is due), the next pause, and true.
  bool Again(const std::function<void()>& notice = {});

  std::uint64_t Waited() const;

 private:
  WaitSchedule schedule_;
  std::uint64_t started_;
  win::DWORD pause_;
  bool noticed_ = false;
};
