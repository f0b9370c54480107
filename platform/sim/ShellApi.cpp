// shell32 in the simulation: what the programs tell the shell, recorded.
#include "platform/sim/MachineState.h"

namespace win {

void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID /*item2*/) {
  sim::Intercept("SHChangeNotify");
  sim::Guard guard(sim::Lock());
  sim::ShellNotification notification{eventId, flags, {}};
  // Only paths are recorded: the programs name drives by their root path.
  if ((flags & 0xFF) == SHCNF_PATHW && item1 != nullptr) {
    notification.path = static_cast<LPCWSTR>(item1);
  }
  sim::State().shellNotifications.push_back(std::move(notification));
}

}  // namespace win
