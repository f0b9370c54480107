#include "platform/sim/Security.h"

#include <cstring>
#include <utility>

#include "platform/sim/MachineState.h"
#include "platform/sim/Registry.h"

namespace sim {
namespace {

constexpr win::WORD kSelfRelative = 0x8000;
constexpr win::WORD kDaclPresent = 0x0004;
constexpr win::WORD kDaclAutoInherited = 0x0400;
constexpr win::WORD kDaclProtected = 0x1000;
constexpr win::BYTE kAclRevision = 2;

constexpr const char16_t* kUserSid = kInteractiveUserSid;

struct Alias {
  std::u16string_view name;
  std::u16string_view sid;
};
constexpr Alias kAliases[] = {{u"SY", u"S-1-5-18"},
                              {u"BA", u"S-1-5-32-544"},
                              {u"BU", u"S-1-5-32-545"},
                              {u"WD", u"S-1-1-0"},
                              {u"AU", u"S-1-5-11"},
                              {u"CO", u"S-1-3-0"}};  // CREATOR OWNER

struct Right {
  std::u16string_view name;
  win::DWORD mask;
};
constexpr Right kRights[] = {{u"FA", win::FILE_ALL_ACCESS},
                             {u"FR", 0x120089},
                             {u"FW", 0x120116},
                             {u"FX", 0x1200a0},
                             {u"KA", win::KEY_ALL_ACCESS},
                             {u"KR", win::KEY_READ},
                             {u"KW", win::KEY_WRITE},
                             {u"GA", win::GENERIC_ALL},
                             {u"GR", win::GENERIC_READ},
                             {u"GW", win::GENERIC_WRITE},
                             {u"GX", win::GENERIC_EXECUTE},
                             {u"SD", win::DELETE},
                             {u"RC", win::READ_CONTROL},
                             {u"WD", win::WRITE_DAC},
                             {u"WO", win::WRITE_OWNER}};

void Put16(std::vector<std::uint8_t>& out, std::size_t at, win::WORD value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void Put32(std::vector<std::uint8_t>& out, std::size_t at, win::DWORD value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
// Byte by byte: GCC 12 at -O3 reads a range insert into the fixed header as out of bounds.
void Append(std::vector<std::uint8_t>& out, const Sid& sid) {
  for (const std::uint8_t byte : sid) out.push_back(byte);
}
win::DWORD Get32(const std::uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<win::DWORD>(at[3]) << 24);
}
win::WORD Get16(const std::uint8_t* at) {
  return static_cast<win::WORD>(at[0] | (at[1] << 8));
}

bool ParseNumber(std::u16string_view text, int base, std::uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (char16_t c : text) {
    int digit = -1;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    if (base == 16 && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    if (base == 16 && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    if (digit < 0) return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFFFFFull) return false;
  }
  return true;
}

bool ParseRights(std::u16string_view text, win::DWORD& mask) {
  mask = 0;
  if (text.starts_with(u"0x") || text.starts_with(u"0X")) {
    std::uint64_t value = 0;
    if (!ParseNumber(text.substr(2), 16, value) || value > 0xFFFFFFFF) return false;
    mask = static_cast<win::DWORD>(value);
    return true;
  }
  if (text.empty() || text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bool known = false;
    for (const Right& right : kRights) {
      if (text.substr(i, 2) == right.name) {
        mask |= right.mask;
        known = true;
      }
    }
    if (!known) return false;
  }
  return true;
}

bool ParseAceFlags(std::u16string_view text, win::BYTE& flags) {
  flags = 0;
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::u16string_view flag = text.substr(i, 2);
    if (flag == u"OI")
      flags |= 0x01;
    else if (flag == u"CI")
      flags |= 0x02;
    else if (flag == u"NP")
      flags |= 0x04;
    else if (flag == u"IO")
      flags |= win::INHERIT_ONLY_ACE;
    else if (flag == u"ID")
      flags |= kInheritedAce;
    else
      return false;
  }
  return true;
}

// "(type;flags;rights;;;sid)" without its parentheses.
bool ParseAce(std::u16string_view text, Ace& ace) {
  std::vector<std::u16string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(u';', start);
    fields.push_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return false;
  if (fields[0] == u"A")
    ace.type = win::ACCESS_ALLOWED_ACE_TYPE;
  else if (fields[0] == u"D")
    ace.type = win::ACCESS_DENIED_ACE_TYPE;
  else
    return false;
  ace.sid = ParseSid(fields[5]);
  return ParseAceFlags(fields[1], ace.flags) && ParseRights(fields[2], ace.mask) &&
         !ace.sid.empty();
}

win::DWORD MapGeneric(win::DWORD mask) {
  if (mask & win::GENERIC_READ) mask |= 0x120089;
  if (mask & win::GENERIC_WRITE) mask |= 0x120116;
  if (mask & win::GENERIC_EXECUTE) mask |= 0x1200a0;
  if (mask & win::GENERIC_ALL) mask |= win::FILE_ALL_ACCESS;
  return mask & ~(win::GENERIC_READ | win::GENERIC_WRITE | win::GENERIC_EXECUTE | win::GENERIC_ALL);
}

bool AnyInherited(const FileSecurity& security) {
  for (const Ace& ace : security.dacl) {
    if ((ace.flags & kInheritedAce) != 0) return true;
  }
  return false;
}

}  // namespace

std::vector<Ace> InheritedEntries(const FileSecurity& folder, bool directory, const Sid& owner) {
  const Sid creatorOwner = ParseSid(u"CO");
  std::vector<Ace> out;
  for (const Ace& ace : folder.dacl) {
    const bool objectInherit = (ace.flags & win::OBJECT_INHERIT_ACE) != 0;
    const bool containerInherit = (ace.flags & win::CONTAINER_INHERIT_ACE) != 0;
    const bool noPropagate = (ace.flags & win::NO_PROPAGATE_INHERIT_ACE) != 0;
    const bool applies = directory ? containerInherit : objectInherit;
    // What the new object passes on: a folder keeps the inheritance of an entry it takes on, and
    // an object-inherit entry for the files it will hold.
    const bool passesOn = directory && !noPropagate && (containerInherit || objectInherit);
    const win::BYTE inheritance =
        ace.flags & (win::OBJECT_INHERIT_ACE | win::CONTAINER_INHERIT_ACE);
    if (!applies && !passesOn) continue;
    const bool changes = ace.sid == creatorOwner || MapGeneric(ace.mask) != ace.mask;
    if (applies && (!passesOn || changes)) {
      out.push_back(Ace{ace.type, kInheritedAce, MapGeneric(ace.mask),
                        ace.sid == creatorOwner ? owner : ace.sid});
    }
    if (passesOn) {
      if (applies && !changes) {
        out.push_back(
            Ace{ace.type, static_cast<win::BYTE>(inheritance | kInheritedAce), ace.mask, ace.sid});
      } else {
        out.push_back(Ace{
            ace.type, static_cast<win::BYTE>(inheritance | win::INHERIT_ONLY_ACE | kInheritedAce),
            ace.mask, ace.sid});
      }
    }
  }
  return out;
}

Sid ParseSid(std::u16string_view text) {
  for (const Alias& alias : kAliases) {
    if (text == alias.name) text = alias.sid;
  }
  if (!text.starts_with(u"S-1-")) return {};
  std::vector<std::uint64_t> parts;
  for (std::size_t start = 4;;) {
    const std::size_t end = text.find(u'-', start);
    std::uint64_t value = 0;
    if (!ParseNumber(text.substr(start, end == std::u16string_view::npos ? end : end - start), 10,
                     value)) {
      return {};
    }
    parts.push_back(value);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  if (parts.size() < 2 || parts.size() > 16 || parts[0] > 0xFFFFFFFFFFFFull) return {};
  Sid sid(8 + 4 * (parts.size() - 1));
  sid[0] = 1;
  sid[1] = static_cast<std::uint8_t>(parts.size() - 1);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<std::uint8_t>(parts[0] >> (8 * (5 - i)));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] > 0xFFFFFFFF) return {};
    Put32(sid, 8 + 4 * (i - 1), static_cast<win::DWORD>(parts[i]));
  }
  return sid;
}

std::u16string SidText(const Sid& sid) {
  if (sid.size() < 8) return u"?";
  std::uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
  std::string text = "S-1-" + std::to_string(authority);
  for (std::size_t i = 8; i + 4 <= sid.size(); i += 4) text += "-" + std::to_string(Get32(&sid[i]));
  const std::u16string full = ToU16(text);
  for (const Alias& alias : kAliases) {
    if (full == alias.sid) return std::u16string(alias.name);
  }
  return full;
}

std::size_t SidLength(const void* sid) {
  return 8 + 4 * static_cast<const std::uint8_t*>(sid)[1];
}

bool ParseSddl(std::u16string_view text, FileSecurity& out, bool& hasOwner, bool& hasDacl) {
  hasOwner = false;
  hasDacl = false;
  while (!text.empty()) {
    if (text.size() < 2 || text[1] != u':') return false;
    const char16_t part = text[0];
    text.remove_prefix(2);
    // A part runs to the next "X:" that is not inside an entry.
    std::size_t end = 0;
    int depth = 0;
    while (end < text.size()) {
      if (text[end] == u'(') ++depth;
      if (text[end] == u')') --depth;
      if (depth == 0 && end + 1 < text.size() && text[end + 1] == u':' &&
          (text[end] == u'O' || text[end] == u'G' || text[end] == u'D' || text[end] == u'S')) {
        break;
      }
      ++end;
    }
    const std::u16string_view body = text.substr(0, end);
    text.remove_prefix(end);
    if (part == u'O') {
      out.owner = ParseSid(body);
      if (out.owner.empty()) return false;
      hasOwner = true;
    } else if (part == u'D') {
      const std::size_t open = body.find(u'(');
      const std::u16string_view flags = body.substr(0, open);
      if (flags != u"" && flags != u"P" && flags != u"AI" && flags != u"PAI") return false;
      out.protectedDacl = flags.starts_with(u"P");
      out.dacl.clear();
      std::u16string_view aces = open == std::u16string_view::npos ? u"" : body.substr(open);
      while (!aces.empty()) {
        const std::size_t close = aces.find(u')');
        if (aces[0] != u'(' || close == std::u16string_view::npos) return false;
        Ace ace;
        if (!ParseAce(aces.substr(1, close - 1), ace)) return false;
        out.dacl.push_back(std::move(ace));
        aces.remove_prefix(close + 1);
      }
      out.explicitDacl = true;
      hasDacl = true;
    } else if (part != u'G') {
      return false;
    }
  }
  return true;
}

std::u16string SddlText(const FileSecurity& security) {
  std::u16string text = u"O:" + SidText(security.owner) + u"D:";
  if (security.protectedDacl) text += u"P";
  if (AnyInherited(security)) text += u"AI";
  constexpr std::pair<win::BYTE, std::u16string_view> kFlags[] = {
      {win::OBJECT_INHERIT_ACE, u"OI"},
      {win::CONTAINER_INHERIT_ACE, u"CI"},
      {win::NO_PROPAGATE_INHERIT_ACE, u"NP"},
      {win::INHERIT_ONLY_ACE, u"IO"},
      {kInheritedAce, u"ID"}};
  char hex[16];
  for (const Ace& ace : security.dacl) {
    std::snprintf(hex, sizeof hex, "0x%x", ace.mask);
    std::u16string flags;
    for (const auto& [bit, name] : kFlags) {
      if ((ace.flags & bit) != 0) flags += name;
    }
    text += std::u16string(u"(") + (ace.type == win::ACCESS_DENIED_ACE_TYPE ? u"D" : u"A") + u";" +
            flags + u";" + ToU16(hex) + u";;;" + SidText(ace.sid) + u")";
  }
  return text;
}

std::vector<std::uint8_t> SelfRelative(const FileSecurity& security, bool owner, bool dacl) {
  std::vector<std::uint8_t> out(20);
  out[0] = 1;
  win::WORD control = kSelfRelative;
  if (owner) {
    Put32(out, 4, static_cast<win::DWORD>(out.size()));
    Append(out, security.owner);
  }
  if (dacl) {
    control |= kDaclPresent;
    if (security.protectedDacl) control |= kDaclProtected;
    if (AnyInherited(security)) control |= kDaclAutoInherited;
    const std::size_t at = out.size();
    Put32(out, 16, static_cast<win::DWORD>(at));
    out.resize(at + 8);
    out[at] = kAclRevision;
    for (const Ace& ace : security.dacl) {
      const std::size_t aceAt = out.size();
      out.resize(aceAt + 8);
      out[aceAt] = ace.type;
      out[aceAt + 1] = ace.flags;
      Put16(out, aceAt + 2, static_cast<win::WORD>(8 + ace.sid.size()));
      Put32(out, aceAt + 4, ace.mask);
      Append(out, ace.sid);
    }
    Put16(out, at + 2, static_cast<win::WORD>(out.size() - at));
    Put16(out, at + 4, static_cast<win::WORD>(security.dacl.size()));
  }
  Put16(out, 2, control);
  return out;
}

bool ReadSelfRelative(const void* descriptor, FileSecurity& out, bool& hasOwner, bool& hasDacl) {
  const auto* bytes = static_cast<const std::uint8_t*>(descriptor);
  const win::WORD control = Get16(bytes + 2);
  if (bytes[0] != 1 || (control & kSelfRelative) == 0) return false;
  const win::DWORD ownerAt = Get32(bytes + 4);
  const win::DWORD daclAt = Get32(bytes + 16);
  hasOwner = ownerAt != 0;
  hasDacl = (control & kDaclPresent) != 0 && daclAt != 0;
  if (hasOwner) out.owner.assign(bytes + ownerAt, bytes + ownerAt + SidLength(bytes + ownerAt));
  if (hasDacl) {
    const std::uint8_t* acl = bytes + daclAt;
    out.dacl.clear();
    out.explicitDacl = true;
    out.protectedDacl = (control & kDaclProtected) != 0;
    const std::uint8_t* ace = acl + 8;
    for (win::WORD i = 0; i < Get16(acl + 4); ++i) {
      Ace entry{ace[0], ace[1], Get32(ace + 4), {}};
      entry.sid.assign(ace + 8, ace + 8 + SidLength(ace + 8));
      out.dacl.push_back(std::move(entry));
      ace += Get16(ace + 2);
    }
  }
  return true;
}

bool Token::Has(const Sid& sid) const {
  if (sid == user) return true;
  for (const Sid& group : groups) {
    if (group == sid) return true;
  }
  return false;
}

bool Token::MayOwn(const Sid& sid) const {
  return sid == user || (administrator && sid == ParseSid(u"BA"));
}

Token CurrentToken() {
  Token token;
  const bool system = CurrentProcess().session != nullptr;
  const bool administrator = system || State().registry->administrator;
  token.user = ParseSid(system ? u"SY" : kUserSid);
  for (const char16_t* group : {u"WD", u"AU", u"BU"}) token.groups.push_back(ParseSid(group));
  if (administrator) token.groups.push_back(ParseSid(u"BA"));
  token.administrator = administrator;
  // An elevated administrator's objects belong to Administrators, as Windows has it.
  token.defaultOwner = system ? token.user : administrator ? ParseSid(u"BA") : token.user;
  return token;
}

int CallerLogonSession() {
  if (CurrentProcess().session != nullptr) return kLocalSystemSession;
  return State().registry->administrator ? 1 : 2;
}

bool CallerIsAdministrator() {
  return CurrentProcess().session != nullptr || State().registry->administrator;
}

bool AccessAllowed(const FileSecurity& security, const Token& token, win::DWORD desired) {
  win::DWORD wanted = MapGeneric(desired) & ~(win::SYNCHRONIZE | win::FILE_READ_ATTRIBUTES);
  if (token.Has(security.owner)) wanted &= ~(win::READ_CONTROL | win::WRITE_DAC);
  win::DWORD granted = 0;
  for (const Ace& ace : security.dacl) {
    if ((ace.flags & win::INHERIT_ONLY_ACE) != 0 || !token.Has(ace.sid)) continue;
    const win::DWORD mask = MapGeneric(ace.mask);
    if (ace.type == win::ACCESS_DENIED_ACE_TYPE && (mask & wanted & ~granted) != 0) return false;
    if (ace.type == win::ACCESS_ALLOWED_ACE_TYPE) granted |= mask;
  }
  return (wanted & ~granted) == 0;
}

bool AccessAllowed(const FileSecurity& security, const FileSecurity* folder, const Token& token,
                   win::DWORD desired) {
  if (AccessAllowed(security, token, desired)) return true;
  const win::DWORD mapped = MapGeneric(desired);
  return (mapped & win::DELETE) != 0 && folder != nullptr &&
         AccessAllowed(*folder, token, win::FILE_DELETE_CHILD) &&
         AccessAllowed(security, token, mapped & ~win::DELETE);
}

win::DWORD SecurityForNewObject(const void* securityAttributes, const FileSecurity& folder,
                                bool directory, FileSecurity& out) {
  const Token token = CurrentToken();
  out = FileSecurity{};
  out.owner = token.defaultOwner;
  bool hasOwner = false;
  bool hasDacl = false;
  const auto* attributes = static_cast<const win::SECURITY_ATTRIBUTES*>(securityAttributes);
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    FileSecurity given = out;
    if (!ReadSelfRelative(attributes->lpSecurityDescriptor, given, hasOwner, hasDacl)) {
      return win::ERROR_INVALID_SECURITY_DESCR;
    }
    // Any other owner takes SeRestorePrivilege enabled, which LocalSystem holds but no program
    // here enables: LocalSystem too may give only itself or Administrators.
    if (hasOwner && !token.MayOwn(given.owner)) return win::ERROR_INVALID_OWNER;
    out = std::move(given);
  }
  if (!hasDacl) {
    out.explicitDacl = false;
    out.protectedDacl = false;
    out.dacl = InheritedEntries(folder, directory, out.owner);
  }
  return 0;
}

}  // namespace sim
