#include "service/RegistryScript.h"

#include <array>
#include <new>
#include <stdexcept>

#include "platform/UniqueHandle.h"

namespace {

constexpr std::size_t kTokenBufferSize = 4096;  // a token holds at most 4094 characters
constexpr std::size_t kLongestSubstitutionName = 31;
constexpr std::size_t kLongestValueName = 259;
constexpr std::size_t kRememberedKeyName = 259;  // what the unregister walk deletes by
constexpr win::DWORD kSubkeyNameBuffer = 256;    // names of up to 255 characters
// The registry holds keys at most 512 levels deep, so a deeper block can never be registered;
// refusing it also keeps a hostile script from exhausting the stack.
constexpr int kDeepestBlock = 512;

struct RootKey {
  std::u16string_view name;
  win::HKEY key;
};

const std::array<RootKey, 14>& RootKeyTable() {
  static const std::array<RootKey, 14> table{{
      {u"HKCR", win::HKEY_CLASSES_ROOT},
      {u"HKCU", win::HKEY_CURRENT_USER},
      {u"HKLM", win::HKEY_LOCAL_MACHINE},
      {u"HKU", win::HKEY_USERS},
      {u"HKPD", win::HKEY_PERFORMANCE_DATA},
      {u"HKDD", win::HKEY_DYN_DATA},
      {u"HKCC", win::HKEY_CURRENT_CONFIG},
      {u"HKEY_CLASSES_ROOT", win::HKEY_CLASSES_ROOT},
      {u"HKEY_CURRENT_USER", win::HKEY_CURRENT_USER},
      {u"HKEY_LOCAL_MACHINE", win::HKEY_LOCAL_MACHINE},
      {u"HKEY_USERS", win::HKEY_USERS},
      {u"HKEY_PERFORMANCE_DATA", win::HKEY_PERFORMANCE_DATA},
      {u"HKEY_DYN_DATA", win::HKEY_DYN_DATA},
      {u"HKEY_CURRENT_CONFIG", win::HKEY_CURRENT_CONFIG},
  }};
  return table;
}

struct ValueType {
  std::u16string_view letter;
  win::DWORD type;
};

constexpr std::array<ValueType, 4> kValueTypeTable{{
    {u"S", win::REG_SZ},
    {u"M", win::REG_MULTI_SZ},
    {u"D", win::REG_DWORD},
    {u"B", win::REG_BINARY},
}};

constexpr std::array<std::u16string_view, 12> kProtectedKeyNames{
    u"AppID",    u"CLSID",     u"Component Categories",
    u"FileType", u"Interface", u"Hardware",
    u"Mime",     u"SAM",       u"SECURITY",
    u"SYSTEM",   u"Software",  u"TypeLib"};

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && UpperCase(a[i]) != UpperCase(b[i])) return false;
  }
  return true;
}

bool IsBlank(char16_t c) {
  return c == u'\t' || c == u'\n' || c == u'\r' || c == u' ';
}

// One level below the parent: no backslash, and not empty, which would name the parent itself
// (ForceRemove '' would empty it).
bool IsKeyName(const std::u16string& token) {
  return !token.empty() && token.find(u'\\') == std::u16string::npos;
}

bool BeginsWith(const std::u16string& token, char16_t c) {
  return !token.empty() && token.front() == c;
}

// The nibble a "B" value's character stands for; anything but a hexadecimal digit counts as 0.
std::uint8_t Nibble(char16_t c) {
  if (c >= u'0' && c <= u'9') return static_cast<std::uint8_t>(c - u'0');
  if (c >= u'A' && c <= u'F') return static_cast<std::uint8_t>(c - u'A' + 10);
  if (c >= u'a' && c <= u'f') return static_cast<std::uint8_t>(c - u'a' + 10);
  return 0;
}

// Strings separated by backslash-zero, as REG_MULTI_SZ data: each ended by a NUL, the list by
// one more. The list stops at the first empty string.
std::u16string MultiStringData(const std::u16string& text) {
  std::u16string strings;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\\' && i + 1 < text.size() && text[i + 1] == u'0') {
      strings += u'\0';
      ++i;
    } else {
      strings += text[i];
    }
  }
  strings += u'\0';
  std::u16string data;
  std::size_t start = 0;
  while (start < strings.size()) {
    const std::size_t end = strings.find(u'\0', start);
    if (end == start) break;
    data.append(strings, start, end - start + 1);
    start = end + 1;
  }
  data += u'\0';
  return data;
}

win::HRESULT SetValue(win::HKEY key, const char16_t* name, win::DWORD type, const void* data,
                      std::size_t bytes) {
  const win::LSTATUS status = win::RegSetValueExW(
      key, name, 0, type, static_cast<const win::BYTE*>(data), static_cast<win::DWORD>(bytes));
  return HresultFromWin32(static_cast<win::DWORD>(status));
}

}  // namespace

// ---- SubstitutionMap ----

win::HRESULT SubstitutionMap::QueryInterface(const void*, void** object) {
  if (object != nullptr) *object = nullptr;
  return win::E_NOTIMPL;
}

win::ULONG SubstitutionMap::AddRef() {
  return 1;
}

win::ULONG SubstitutionMap::Release() {
  return 0;
}

win::HRESULT SubstitutionMap::AddSubstitution(const char16_t* name, const char16_t* value) {
  if (name == nullptr || value == nullptr) return win::E_INVALIDARG;
  try {
    pairs_.emplace_back(name, value);
  } catch (const std::bad_alloc&) {
    return win::E_OUTOFMEMORY;
  } catch (const std::length_error&) {
    return win::E_OUTOFMEMORY;
  }
  return win::S_OK;
}

win::HRESULT SubstitutionMap::ClearSubstitutions() {
  pairs_.clear();
  return win::S_OK;
}

const std::u16string* SubstitutionMap::FindSubstitution(std::u16string_view name) const {
  for (const auto& [key, value] : pairs_) {
    if (EqualsIgnoringCase(key, name)) return &value;
  }
  return nullptr;
}

// ---- RegistryScriptParser ----

win::HRESULT RegistryScriptParser::ExpandSubstitutions(std::u16string_view text,
                                                       std::u16string& expanded) const {
  expanded.clear();
  if (text.empty()) return win::S_OK;
  try {
    expanded.reserve(2 * text.size() < 100 ? 1000 : 2 * text.size());
    // The text is stepped through as CharNextW defines a character; it needs a terminator.
    const std::u16string source(text);
    const char16_t* p = source.c_str();
    while (*p != u'\0') {
      const char16_t* next = win::CharNextW(p);
      if (*p != u'%') {
        expanded.append(p, next);
        p = next;
        continue;
      }
      if (*next == u'%') {
        expanded += u'%';
        p = win::CharNextW(next);
        continue;
      }
      const char16_t* end = next;
      while (*end != u'\0' && *end != u'%') end = win::CharNextW(end);
      if (*end == u'\0') return win::DISP_E_EXCEPTION;
      const std::u16string_view name(next, static_cast<std::size_t>(end - next));
      if (name.size() > kLongestSubstitutionName) return win::E_FAIL;
      const std::u16string* value = substitutions_.FindSubstitution(name);
      if (value == nullptr) return win::DISP_E_EXCEPTION;
      expanded += *value;
      p = win::CharNextW(end);
    }
  } catch (const std::bad_alloc&) {
    return win::E_OUTOFMEMORY;
  } catch (const std::length_error&) {
    return win::E_OUTOFMEMORY;
  }
  return win::S_OK;
}

void RegistryScriptParser::SkipBlanks() {
  while (IsBlank(*position_)) position_ = win::CharNextW(position_);
}

win::HRESULT RegistryScriptParser::ReadToken(std::u16string& token) {
  token.clear();
  SkipBlanks();
  if (*position_ == u'\0') return win::DISP_E_EXCEPTION;
  // Each unit is stored only while the buffer keeps room for it and a terminator.
  auto store = [&token](const char16_t* from, const char16_t* to) {
    for (; from != to; ++from) {
      if (token.size() + 2 >= kTokenBufferSize) return false;
      token += *from;
    }
    return true;
  };
  if (*position_ == u'\'') {
    position_ = win::CharNextW(position_);
    for (;;) {
      if (*position_ == u'\0') return win::DISP_E_EXCEPTION;
      const char16_t* next = win::CharNextW(position_);
      if (*position_ == u'\'') {
        if (*next != u'\'') {
          position_ = next;
          return win::S_OK;
        }
        if (!store(position_, position_ + 1)) return win::DISP_E_EXCEPTION;
        position_ = win::CharNextW(next);
        continue;
      }
      if (!store(position_, next)) return win::DISP_E_EXCEPTION;
      position_ = next;
    }
  }
  while (*position_ != u'\0' && !IsBlank(*position_)) {
    const char16_t* next = win::CharNextW(position_);
    if (!store(position_, next)) return win::DISP_E_EXCEPTION;
    position_ = next;
  }
  return win::S_OK;
}

win::HRESULT RegistryScriptParser::RunScript(std::u16string_view text, RegistryScriptMode mode) {
  std::u16string expanded;
  if (const win::HRESULT result = ExpandSubstitutions(text, expanded); result < 0) return result;
  if (expanded.empty()) return win::S_OK;
  position_ = expanded.c_str();
  try {
    std::u16string token;
    token.reserve(kTokenBufferSize);
    while (true) {
      if (const win::HRESULT result = ReadToken(token); result < 0) return result;
      const RootKey* root = nullptr;
      for (const RootKey& candidate : RootKeyTable()) {
        if (EqualsIgnoringCase(candidate.name, token)) root = &candidate;
      }
      if (root == nullptr) return win::DISP_E_EXCEPTION;
      if (const win::HRESULT result = ReadToken(token); result < 0) return result;
      if (!BeginsWith(token, u'{')) return win::DISP_E_EXCEPTION;

      if (mode == RegistryScriptMode::Register) {
        const char16_t* blockStart = position_;
        const win::HRESULT result = WalkKeyBlock(token, root->key, mode, false);
        if (result < 0) {
          // Undo what this block wrote: walk it again from its start, unregistering.
          position_ = blockStart;
          WalkKeyBlock(token, root->key, RegistryScriptMode::Unregister, false);
          return result;
        }
      } else if (const win::HRESULT result = WalkKeyBlock(token, root->key, mode, false);
                 result < 0) {
        return result;
      }
      SkipBlanks();
      if (*position_ == u'\0') return win::S_OK;
    }
  } catch (const std::bad_alloc&) {
    return win::E_OUTOFMEMORY;
  }
}

win::HRESULT RegistryScriptParser::WalkKeyBlock(std::u16string& token, win::HKEY parent,
                                                RegistryScriptMode mode, bool recovering) {
  if (depth_ >= kDeepestBlock) return win::DISP_E_EXCEPTION;
  struct Level {
    int& depth;
    explicit Level(int& d) : depth(++d) {}
    ~Level() { --depth; }
  } level(depth_);
  const bool registering = mode == RegistryScriptMode::Register;
  // At most one key below `parent` is open at a time; opening another closes it.
  win::UniqueKey current;
  if (const win::HRESULT result = ReadToken(token); result < 0) return result;
  while (!BeginsWith(token, u'}')) {
    bool deleteAllowed = true;
    bool isDelete = false;
    if (EqualsIgnoringCase(token, u"ForceRemove") || EqualsIgnoringCase(token, u"Delete")) {
      isDelete = EqualsIgnoringCase(token, u"Delete");
      if (const win::HRESULT result = ReadToken(token); result < 0) return result;
      // Unregistering drops the keyword and treats the name as a plain key entry.
      if (registering) {
        if (!IsKeyName(token)) return win::DISP_E_EXCEPTION;
        if (!IsProtectedKeyName(token)) DeleteKeyTree(parent, token.c_str());
        if (isDelete) {
          if (const win::HRESULT result = ReadToken(token); result < 0) return result;
          if (const win::HRESULT result = SkipAssignedValue(token); result < 0) return result;
          // A Delete entry has no block of its own.
          if (token == u"{") return win::DISP_E_EXCEPTION;
          continue;
        }
      }
    }
    if (EqualsIgnoringCase(token, u"NoRemove")) {
      deleteAllowed = false;
      if (const win::HRESULT result = ReadToken(token); result < 0) return result;
    }

    if (EqualsIgnoringCase(token, u"Val")) {
      std::u16string valueName;
      if (const win::HRESULT result = ReadToken(valueName); result < 0) return result;
      if (valueName.size() > kLongestValueName) return win::DISP_E_EXCEPTION;
      if (const win::HRESULT result = ReadToken(token); result < 0) return result;
      if (!BeginsWith(token, u'=')) return win::DISP_E_EXCEPTION;
      if (registering) {
        if (const win::HRESULT result = WriteScriptValue(parent, valueName.c_str(), token);
            result < 0) {
          return result;
        }
      } else {
        if (!recovering && deleteAllowed) {
          win::UniqueKey writable;
          const win::LSTATUS open =
              win::RegOpenKeyExW(parent, nullptr, 0, win::KEY_WRITE, writable.Put());
          if (open != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(open));
          const win::LSTATUS deleted = win::RegDeleteValueW(writable.Get(), valueName.c_str());
          if (deleted != win::ERROR_SUCCESS && deleted != win::ERROR_FILE_NOT_FOUND) {
            return HresultFromWin32(static_cast<win::DWORD>(deleted));
          }
        }
        if (const win::HRESULT result = SkipAssignedValue(token); result < 0) return result;
      }
      // A value has no block.
      if (token == u"{") return win::DISP_E_EXCEPTION;
      continue;
    }

    if (!IsKeyName(token)) return win::DISP_E_EXCEPTION;

    if (registering) {
      win::HKEY opened = nullptr;
      if (win::RegOpenKeyExW(parent, token.c_str(), 0, win::KEY_READ | win::KEY_WRITE, &opened) !=
              win::ERROR_SUCCESS &&
          win::RegOpenKeyExW(parent, token.c_str(), 0, win::KEY_READ, &opened) !=
              win::ERROR_SUCCESS) {
        const win::LSTATUS created =
            win::RegCreateKeyExW(parent, token.c_str(), 0, nullptr, win::REG_OPTION_NON_VOLATILE,
                                 win::KEY_READ | win::KEY_WRITE, nullptr, &opened, nullptr);
        if (created != win::ERROR_SUCCESS) {
          return HresultFromWin32(static_cast<win::DWORD>(created));
        }
      }
      current.Reset(opened);
      if (const win::HRESULT result = ReadToken(token); result < 0) return result;
      if (BeginsWith(token, u'=')) {
        if (const win::HRESULT result = WriteScriptValue(current.Get(), nullptr, token);
            result < 0) {
          return result;
        }
      }
      if (token == u"{") {
        if (const win::HRESULT result = WalkKeyBlock(token, current.Get(), mode, false);
            result < 0) {
          return result;
        }
        if (const win::HRESULT result = ReadToken(token); result < 0) return result;
      }
      continue;
    }

    // Unregistering: the key's block is walked first, then the key goes, unless kept.
    win::LSTATUS open = win::ERROR_FILE_NOT_FOUND;
    current.Reset();
    if (!recovering) {
      win::HKEY opened = nullptr;
      open = win::RegOpenKeyExW(parent, token.c_str(), 0, win::KEY_READ, &opened);
      if (open == win::ERROR_SUCCESS) current.Reset(opened);
    }
    const bool recoveringBelow = recovering || open != win::ERROR_SUCCESS;
    const std::u16string remembered = token.substr(0, kRememberedKeyName);
    if (const win::HRESULT result = ReadToken(token); result < 0) return result;
    if (const win::HRESULT result = SkipAssignedValue(token); result < 0) return result;
    if (isDelete && token == u"{") return win::DISP_E_EXCEPTION;
    if (token == u"{") {
      const win::HRESULT result = WalkKeyBlock(token, current.Get(), mode, recoveringBelow);
      if (result < 0 && !recoveringBelow) return result;
      if (const win::HRESULT next = ReadToken(token); next < 0) return next;
    }
    if (open == win::ERROR_FILE_NOT_FOUND) continue;
    if (open != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(open));
    const win::LSTATUS closed = win::RegCloseKey(current.Release());
    if (closed != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(closed));
    if (deleteAllowed) {
      const win::LSTATUS deleted = win::RegDeleteKeyW(parent, remembered.c_str());
      if (deleted != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(deleted));
    }
  }
  return win::S_OK;
}

win::HRESULT RegistryScriptParser::WriteScriptValue(win::HKEY key, const char16_t* valueName,
                                                    std::u16string& token) {
  if (const win::HRESULT result = ReadToken(token); result < 0) return result;
  const ValueType* type = nullptr;
  for (const ValueType& candidate : kValueTypeTable) {
    if (EqualsIgnoringCase(candidate.letter, token)) type = &candidate;
  }
  if (type == nullptr) return win::DISP_E_EXCEPTION;
  SkipBlanks();
  if (const win::HRESULT result = ReadToken(token); result < 0) return result;

  win::HRESULT written = win::S_OK;
  switch (type->type) {
    case win::REG_SZ:
      written = SetValue(key, valueName, win::REG_SZ, token.c_str(),
                         (token.size() + 1) * sizeof(char16_t));
      break;
    case win::REG_DWORD: {
      win::ULONG number = 0;
      // A number the conversion rejects fails the script, so a registration is undone rather
      // than left with a made-up value.
      if (win::VarUI4FromStr(token.c_str(), 0, 0, &number) < 0) return win::DISP_E_EXCEPTION;
      written = SetValue(key, valueName, win::REG_DWORD, &number, sizeof number);
      break;
    }
    case win::REG_BINARY: {
      if (token.size() % 2 != 0) return win::E_FAIL;
      std::vector<std::uint8_t> bytes;
      try {
        bytes.assign(token.size() / 2, 0);
      } catch (const std::bad_alloc&) {
        return win::E_FAIL;
      }
      for (std::size_t i = 0; i < token.size(); ++i) {
        bytes[i / 2] |= static_cast<std::uint8_t>(Nibble(token[i]) << (i % 2 == 0 ? 4 : 0));
      }
      written = SetValue(key, valueName, win::REG_BINARY, bytes.data(), bytes.size());
      break;
    }
    case win::REG_MULTI_SZ: {
      std::u16string data;
      try {
        data = MultiStringData(token);
      } catch (const std::bad_alloc&) {
        return win::E_OUTOFMEMORY;
      }
      written =
          SetValue(key, valueName, win::REG_MULTI_SZ, data.data(), data.size() * sizeof(char16_t));
      break;
    }
  }
  if (written < 0) return written;
  return ReadToken(token);
}

win::HRESULT RegistryScriptParser::SkipAssignedValue(std::u16string& token) {
  if (!BeginsWith(token, u'=')) return win::S_OK;
  if (const win::HRESULT result = ReadToken(token); result < 0) return result;
  SkipBlanks();
  if (const win::HRESULT result = ReadToken(token); result < 0) return result;
  return ReadToken(token);
}

char16_t UpperCase(char16_t c) {
  // CharUpperW converts one character when the pointer's high bits are zero.
  const auto converted = reinterpret_cast<win::ULONG_PTR>(
      win::CharUpperW(reinterpret_cast<win::LPWSTR>(static_cast<win::ULONG_PTR>(c))));
  return static_cast<char16_t>(converted & 0xFFFF);
}

// ---- Keys ----

win::LSTATUS DeleteKeyTree(win::HKEY parent, const char16_t* name) {
  win::UniqueKey key;
  const win::LSTATUS opened =
      win::RegOpenKeyExW(parent, name, 0, win::KEY_READ | win::KEY_WRITE, key.Put());
  if (opened != win::ERROR_SUCCESS) return opened;
  for (;;) {
    char16_t subkey[kSubkeyNameBuffer];
    win::DWORD length = kSubkeyNameBuffer;
    if (win::RegEnumKeyExW(key.Get(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) !=
        win::ERROR_SUCCESS) {
      break;
    }
    const win::LSTATUS inner = DeleteKeyTree(key.Get(), subkey);
    if (inner != win::ERROR_SUCCESS) return inner;
  }
  key.Reset();
  return win::RegDeleteKeyW(parent, name);
}

bool IsProtectedKeyName(std::u16string_view name) {
  for (std::u16string_view protectedName : kProtectedKeyNames) {
    if (EqualsIgnoringCase(protectedName, name)) return true;
  }
  return false;
}
