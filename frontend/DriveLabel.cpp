#include "frontend/DriveLabel.h"

namespace frontend {

void TellShell(std::u16string_view letter, bool added) {
  const std::u16string root = std::u16string(letter) + u"\\";
  win::SHChangeNotify(added ? win::SHCNE_DRIVEADD : win::SHCNE_DRIVEREMOVED, win::SHCNF_PATHW,
                      root.c_str(), nullptr);
}

}  // namespace frontend
