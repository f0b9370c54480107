// Message boxes as a recorder: nobody is there to press a button, so each box is answered at
// once with its default button, as an unattended session would need it to be.
#include <iterator>

#include "platform/sim/MachineState.h"

namespace win {

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  if (sim::Intercept("MessageBoxW")) return 0;
  // The buttons of each documented box type, left to right (IDOK, IDCANCEL, IDABORT, IDRETRY,
  // IDIGNORE, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE).
  static constexpr int kButtons[][3] = {{1, 0, 0}, {1, 2, 0}, {3, 4, 5},  {6, 7, 2},
                                        {6, 7, 0}, {4, 2, 0}, {2, 10, 11}};
  const UINT kind = type & 0xF;
  const UINT defaultButton = (type >> 8) & 0xF;  // MB_DEFBUTTON1..3
  if (kind >= std::size(kButtons) || defaultButton > 2) {
    SetLastError(ERROR_INVALID_MSGBOX_STYLE);
    return 0;
  }
  sim::MessageBoxRecord record;
  record.owner = owner;
  record.text = text != nullptr ? text : u"";
  record.caption = caption != nullptr ? caption : u"Error";  // Windows' caption when none given
  record.type = type;
  {
    sim::Guard guard(sim::Lock());
    sim::State().messageBoxes.push_back(std::move(record));
  }
  const int pressed = kButtons[kind][defaultButton];
  return pressed != 0 ? pressed : kButtons[kind][0];
}

}  // namespace win
