#include "engine/Wait.h"

#include <algorithm>

Wait::Wait(const WaitSchedule& schedule, std::uint64_t started)
    : schedule_(schedule), started_(started), pause_(schedule.firstPause) {}

bool Wait::Again(const std::function<void()>& notice) {
  const std::uint64_t waited = Waited();
  if (waited >= schedule_.budget) return false;
  if (!noticed_ && waited >= schedule_.noticeAfter) {
    noticed_ = true;
    if (notice) notice();
  }
  win::Sleep(pause_);
  pause_ = std::min(pause_ * 2, schedule_.longestPause);
  return true;
}

std::uint64_t Wait::Waited() const {
  return win::GetTickCount64() - started_;
}
