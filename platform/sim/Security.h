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

// The interactive user of the simulated machine.
inline constexpr char16_t kInteractiveUserSid[] = u"S-1-5-21-1000-2000-3000-1001";

// "S-1-5-18" or an SDDL alias (SY, BA, BU, WD, AU, CO); empty when it is neither.
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
  // The list was given (at the object's creation or by a test) rather than inherited. A list
  // that is only inherited follows its folder when a test changes the folder's, as Windows'
  // SetNamedSecurityInfoW propagates a change to the children that inherit.
  bool explicitDacl = false;
  bool protectedDacl = false;
  // The entries in force, inherited ones (INHERITED_ACE) included, in order.
  std::vector<Ace> dacl;
};

inline constexpr win::BYTE kInheritedAce = 0x10;  // INHERITED_ACE

// What a volume's root has unless a test gives it another list: SYSTEM and Administrators full
// control, Users read and execute, all of it inherited by every file and folder below, so that a
// file there has D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU).
inline constexpr char16_t kVolumeRootSecurity[] =
    u"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The entries a new file (`directory` false) or folder below `folder` inherits from its list, as
// Windows' inheritance rules give them: object-inherit entries reach files, container-inherit
// ones folders (an object-inherit one only as inherit-only, to pass it on to the folder's files),
// no-propagate ones go one level, an inherit-only entry does not apply to the folder that holds
// it. An entry that applies and passes on but names CREATOR OWNER or generic rights is split in
// two: one that applies, for `owner` and with the rights mapped, and one that only passes on.
std::vector<Ace> InheritedEntries(const FileSecurity& folder, bool directory, const Sid& owner);

// Parses O:, G: (ignored) and D: with the flags P and AI and entries (A or D;flags;rights;;;sid),
// flags of OI, CI, NP, IO and ID, rights of FA, FR, FW, FX, KA, KR, KW, GA, GR, GW, GX, SD, RC, WD, WO or
// 0x... Parts not given stay as they are in `out`; false when the text is malformed.
bool ParseSddl(std::u16string_view text, FileSecurity& out, bool& hasOwner, bool& hasDacl);
// The owner and the list in SDDL, rights in hex, entry flags as given: O:BAD:P(A;;0x1f01ff;;;SY),
// O:BAD:AI(A;OICIID;0x1f01ff;;;SY)... ("AI" when an entry is inherited).
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
  // Whether the token's user is LocalSystem or an elevated administrator: Administrators is then
  // a group it may make an object's owner.
  bool administrator = false;
  bool Has(const Sid& sid) const;
  // Whether an object it makes may be given `sid` as its owner: its user, or a group it holds
  // with SE_GROUP_OWNER (Administrators, for LocalSystem and an elevated administrator).
  bool MayOwn(const Sid& sid) const;
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

// Whether `security` grants `desired` (generic rights mapped as for files) to `token`. The owner
// has READ_CONTROL and WRITE_DAC whatever the list says; an administrator has nothing more than
// the list gives (backup and restore privileges are not modelled: no program enables them, and a
// disabled privilege grants nothing, FILE_FLAG_BACKUP_SEMANTICS or not).
bool AccessAllowed(const FileSecurity& security, const Token& token, win::DWORD desired);
// The same for an object in `folder` (null for a volume root): DELETE is also granted by the
// folder's FILE_DELETE_CHILD, as the file system grants it.
bool AccessAllowed(const FileSecurity& security, const FileSecurity* folder, const Token& token,
                   win::DWORD desired);

// The security a new file or folder (`directory`) below `folder` gets: the owner of the
// descriptor of the SECURITY_ATTRIBUTES given, else the creator's default owner; the list of that
// descriptor as given, else what it inherits from `folder`. 0, or ERROR_INVALID_OWNER (an owner
// the creator may not give, see Token::MayOwn) or ERROR_INVALID_SECURITY_DESCR.
win::DWORD SecurityForNewObject(const void* securityAttributes, const FileSecurity& folder,
                                bool directory, FileSecurity& out);

}  // namespace sim
