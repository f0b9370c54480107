// Object security in the simulated machine, as far as the programs meet it: the owner and the
// discretionary access control list of files and directories, the token of the calling process,
// the text form of a descriptor (SDDL) and its self-relative binary form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"

namespace sim {

// A SID in its binary form: revision, count, 6-byte authority, 32-bit sub-authorities.
using Sid = std::vector<std::uint8_t>;

// "S-1-5-18" or an SDDL alias (SY, BA, BU, WD, AU); empty when it is neither.
Sid ParseSid(std::u16string_view text);
// The alias where there is one, else the S-1-... form.
std::u16string SidText(const Sid& sid);
// The length of the SID at `sid` (8 bytes and four a sub-authority).
std::size_t SidLength(const void* sid);

struct Ace {
  win::BYTE type = win::ACCESS_ALLOWED_ACE_TYPE;
  win::BYTE flags = 0;
  win::DWORD mask = 0;
  Sid sid;
};

struct FileSecurity {
  Sid owner;
  // A list set on the object itself (at its creation or by a test). Without one the object has
  // what it inherits from its folder, which the simulation reports as kInheritedDacl and does not
  // enforce, so that the programs may do anywhere what they could before security was modelled.
  bool explicitDacl = false;
  bool protectedDacl = false;
  std::vector<Ace> dacl;
};

// What a file or folder below Program Files inherits: SYSTEM and Administrators full control,
// Users read and execute.
inline constexpr char16_t kInheritedDacl[] =
    u"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)";

// Parses O:, G: (ignored) and D: with the flags P and AI and entries (A or D;flags;rights;;;sid)
// whose rights are FA, FR, FW, FX, GA, GR, GW, GX, SD, RC, WD, WO or 0x... Parts not given stay
// as they are in `out`; false when the text is malformed.
bool ParseSddl(std::u16string_view text, FileSecurity& out, bool& hasOwner, bool& hasDacl);
// The owner and the list in SDDL, rights in hex: O:BAD:P(A;;0x1f01ff;;;SY)...
std::u16string SddlText(const FileSecurity& security);

// The self-relative binary form, owner and list included as asked.
std::vector<std::uint8_t> SelfRelative(const FileSecurity& security, bool owner, bool dacl);
// Reads a self-relative descriptor as ConvertStringSecurityDescriptorToSecurityDescriptorW makes
// it; false when it is not one.
bool ReadSelfRelative(const void* descriptor, FileSecurity& out, bool& hasOwner, bool& hasDacl);

// Who the calling thread's process runs as.
struct Token {
  Sid user;
  std::vector<Sid> groups;
  Sid defaultOwner;
  bool Has(const Sid& sid) const;
};
// A service's process runs as LocalSystem; any other as the machine's interactive user, an
// elevated administrator (default owner Administrators) unless the machine says otherwise.
Token CurrentToken();

// The logon session whose MS-DOS device names the calling process sees and defines: 0 for
// LocalSystem, which works in the global set alone; an administrator's elevated token and any
// other interactive token are two sessions, as Windows gives the two tokens of one logon.
inline constexpr int kLocalSystemSession = 0;
int CallerLogonSession();
// Whether the caller is LocalSystem or an elevated administrator.
bool CallerIsAdministrator();

// Whether `security` grants `desired` (generic rights mapped as for files) to `token`.
bool AccessAllowed(const FileSecurity& security, const Token& token, win::DWORD desired);

// The security a new object gets: the descriptor of the SECURITY_ATTRIBUTES given (0, or
// ERROR_INVALID_OWNER / ERROR_INVALID_SECURITY_DESCR), else the creator's default owner.
win::DWORD SecurityForNewObject(const void* securityAttributes, FileSecurity& out);

}  // namespace sim
