// Registry scripts: (script, mode, registry before) -> (result, registry after), on a scratch
// key under HKEY_CURRENT_USER of the simulated machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"
#include "service/RegistryScript.h"

namespace {

using win::HRESULT;
constexpr RegistryScriptMode kRegister = RegistryScriptMode::Register;
constexpr RegistryScriptMode kUnregister = RegistryScriptMode::Unregister;

class RegistryScriptTest : public ::testing::Test {
 protected:
  HRESULT Run(std::u16string_view script, RegistryScriptMode mode = kRegister) {
    SubstitutionMap map;
    map.AddSubstitution(u"NAME", u"Named");
    RegistryScriptParser parser(map);
    return parser.RunScript(script, mode);
  }
  bool Exists(std::u16string_view key) const {
    return machine.RegistryKeyExists(win::HKEY_CURRENT_USER, key);
  }
  // The type and bytes of a value, or type REG_NONE when it is missing.
  std::pair<win::DWORD, std::vector<std::uint8_t>> Value(std::u16string_view key,
                                                         const char16_t* name) const {
    win::UniqueKey opened;
    std::vector<std::uint8_t> data(8192);
    win::DWORD type = win::REG_NONE;
    win::DWORD size = static_cast<win::DWORD>(data.size());
    if (win::RegOpenKeyExW(win::HKEY_CURRENT_USER, std::u16string(key).c_str(), 0, win::KEY_READ,
                           opened.Put()) != 0 ||
        win::RegQueryValueExW(opened.Get(), name, nullptr, &type, data.data(), &size) != 0) {
      return {win::REG_NONE, {}};
    }
    data.resize(size);
    return {type, data};
  }

  sim::Machine machine;
};

// ---- Tokens and structure ----

struct ShapeCase {
  const char* name;
  std::u16string script;
  HRESULT result;
  std::vector<std::u16string> present;  // keys below HKCU after the run
  std::vector<std::u16string> absent;
};

class ScriptShapes : public RegistryScriptTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(ScriptShapes, RegisterAsWritten) {
  const ShapeCase& c = GetParam();
  EXPECT_EQ(Run(c.script), c.result);
  for (const auto& key : c.present) EXPECT_TRUE(Exists(key)) << "missing " << key.size();
  for (const auto& key : c.absent) EXPECT_FALSE(Exists(key)) << "left " << key.size();
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

const std::u16string kLongToken(4094, u't');

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptShapes,
    ::testing::Values(
        ShapeCase{"QuotedBlank", uR"(HKCU { 'T a' { 'b c' } })", 0, {uR"(T a\b c)"}, {}},
        ShapeCase{"DoubledApostrophe", uR"(HKCU { 'it''s' })", 0, {u"it's"}, {}},
        ShapeCase{"BareApostrophe", uR"(HKCU { a'b })", 0, {u"a'b"}, {}},
        ShapeCase{"GluedBraceIsAName", uR"(HKCU { key{ })", 0, {u"key{"}, {}},
        ShapeCase{"KeywordsInAnyCase",
                  uR"(hkey_current_user { noremove T { VAL v = S x } })",
                  0,
                  {u"T"},
                  {}},
        ShapeCase{"Substituted", uR"(HKCU { '%name%' { %NAME% } })", 0, {uR"(Named\Named)"}, {}},
        ShapeCase{"TwoRoots", uR"(HKCU { A } HKCU { B })", 0, {u"A", u"B"}, {}},
        ShapeCase{"Empty", u"", 0, {}, {}},
        // Each error undoes what its root block made, as far as the undo walk, which reads the
        // block again, gets before the same error.
        ShapeCase{"UnknownRoot", uR"(HKXX { A })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"NearMissRoot", uR"(HKCT { A })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"NoOpeningBrace", uR"(HKCU A })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        // The undo walk meets these errors too, and stops before it deletes anything.
        ShapeCase{"EndOfText", uR"(HKCU { A { B )", win::DISP_E_EXCEPTION, {uR"(A\B)"}, {}},
        ShapeCase{"UnclosedQuote", uR"(HKCU { A 'B })", win::DISP_E_EXCEPTION, {u"A"}, {}},
        ShapeCase{"UnknownType", uR"(HKCU { A = z x })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"TypeNamedInFull", uR"(HKCU { A = sz x })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"ValueWithoutEquals",
                  uR"(HKCU { A { val v s x } })",
                  win::DISP_E_EXCEPTION,
                  {u"A"},
                  {}},
        ShapeCase{"BackslashInKey", uR"(HKCU { A\B })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"EmptyKeyName", uR"(HKCU { T { '' = s x } })", win::DISP_E_EXCEPTION, {u"T"}, {}},
        ShapeCase{"ForceRemoveEmptyName",
                  uR"(HKCU { T { Old } } HKCU { T { ForceRemove '' } })",
                  win::DISP_E_EXCEPTION,
                  {uR"(T\Old)"},
                  {}},
        ShapeCase{"PercentUnclosed", uR"(HKCU { A '100%' })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"PercentDoubled", uR"(HKCU { '100%%' })", 0, {u"100%"}, {}},
        ShapeCase{"UnknownSubstitution", uR"(HKCU { %NOPE% })", win::DISP_E_EXCEPTION, {}, {}},
        ShapeCase{"SubstitutionNameOf32",
                  u"HKCU { %" + std::u16string(32, u'n') + u"% }",
                  win::E_FAIL,
                  {},
                  {}},
        ShapeCase{"TokenOf4094", u"HKCU { A { val v = s " + kLongToken + u" } }", 0, {u"A"}, {}},
        ShapeCase{"TokenOf4095",
                  u"HKCU { A { val v = s " + kLongToken + u"t } }",
                  win::DISP_E_EXCEPTION,
                  {u"A"},
                  {}},
        ShapeCase{"ValueNameOf260",
                  u"HKCU { A { val " + std::u16string(260, u'v') + u" = s x } }",
                  win::DISP_E_EXCEPTION,
                  {u"A"},
                  {}},
        ShapeCase{"NumberRejected",
                  uR"(HKCU { A { val v = d 12x } })",
                  win::DISP_E_EXCEPTION,
                  {},
                  {u"A"}},
        ShapeCase{
            "BlockAfterDelete", uR"(HKCU { A Delete B { } })", win::DISP_E_EXCEPTION, {}, {u"A"}},
        ShapeCase{"BlockAfterValue",
                  uR"(HKCU { A { val v = s x { } } })",
                  win::DISP_E_EXCEPTION,
                  {u"A"},
                  {}},
        ShapeCase{"OddBinary", uR"(HKCU { A { val v = b 1 } })", win::E_FAIL, {}, {u"A"}},
        // The second block fails: the first stays, the second is undone up to the error.
        ShapeCase{"ErrorInSecondRoot",
                  uR"(HKCU { A } HKCU { B { val v = s x } C = q y })",
                  win::DISP_E_EXCEPTION,
                  {u"A"},
                  {u"B", u"C"}}),
    [](const auto& p) { return std::string(p.param.name); });

// Blocks nest as deep as the registry's 512 levels, the root's own block included, and no deeper.
TEST_F(RegistryScriptTest, BlocksNestAtMost512Deep) {
  auto nested = [](int blocks) {
    std::u16string script = u"HKCU {";
    for (int i = 1; i < blocks; ++i) script += u" K {";
    for (int i = 0; i < blocks; ++i) script += u" }";
    return script;
  };
  EXPECT_EQ(Run(nested(512)), 0);
  ASSERT_EQ(Run(nested(512), kUnregister), 0);
  EXPECT_EQ(Run(nested(513)), win::DISP_E_EXCEPTION);
}

// A registry call's Win32 code comes back as its HRESULT, whatever the code.
TEST_F(RegistryScriptTest, RegistryFailuresAreTheirHresults) {
  for (win::DWORD code : {win::ERROR_INVALID_FUNCTION, win::ERROR_ACCESS_DENIED}) {
    machine.FailNext("RegCreateKeyExW", code);
    EXPECT_EQ(Run(uR"(HKCU { A })"), static_cast<HRESULT>(0x80070000u | code));
  }
}

// ---- Value data ----

struct DataCase {
  const char* name;
  std::u16string entry;  // type and value text
  win::DWORD type;
  std::vector<std::uint8_t> bytes;
};

class ValueData : public RegistryScriptTest, public ::testing::WithParamInterface<DataCase> {};

TEST_P(ValueData, IsWrittenAsTheTypeSays) {
  ASSERT_EQ(Run(u"HKCU { T { val v = " + GetParam().entry + u" } }"), 0);
  EXPECT_EQ(Value(u"T", u"v"), std::make_pair(GetParam().type, GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Types, ValueData,
    ::testing::Values(
        DataCase{"String", u"s 'a b'", win::REG_SZ, {'a', 0, ' ', 0, 'b', 0, 0, 0}},
        DataCase{"Dword", u"d 12", win::REG_DWORD, {12, 0, 0, 0}},
        DataCase{"DwordLargest", u"D 4294967295", win::REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
        DataCase{"Binary", u"b 0aFf9A", win::REG_BINARY, {0x0A, 0xFF, 0x9A}},
        DataCase{"BinaryNotHex", u"b xz", win::REG_BINARY, {0x00}},
        DataCase{"BinaryEmpty", u"b ''", win::REG_BINARY, {}},
        DataCase{"Multi", uR"(m a\0b)", win::REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        DataCase{"MultiEndingInSeparator",
                 uR"(m a\0b\0)",
                 win::REG_MULTI_SZ,
                 {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        DataCase{
            "MultiStopsAtAnEmptyString", uR"(m a\0\0b)", win::REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}},
        DataCase{"MultiLoneBackslash",
                 uR"(m a\b)",
                 win::REG_MULTI_SZ,
                 {'a', 0, '\\', 0, 'b', 0, 0, 0, 0, 0}},
        DataCase{"MultiEmpty", u"m ''", win::REG_MULTI_SZ, {0, 0}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RegistryScriptTest, DefaultValueIsTheKeysOwnAndValuesFollowEachOther) {
  ASSERT_EQ(Run(uR"(HKCU { T = s 'default' { val a = d 1 val b = d 2 } })"), 0);
  EXPECT_EQ(Value(u"T", nullptr).second.size(), 16u);
  EXPECT_EQ(Value(u"T", u"a").second, (std::vector<std::uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(Value(u"T", u"b").second, (std::vector<std::uint8_t>{2, 0, 0, 0}));
}

// ---- ForceRemove, Delete and the names they never remove ----

struct RemovalCase {
  const char* name;
  std::u16string script;
  std::vector<std::u16string> present;
  std::vector<std::u16string> absent;
};

class Removals : public RegistryScriptTest, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(Removals, TakeWhatTheyNameUnlessProtected) {
  machine.CreateRegistryKey(win::HKEY_CURRENT_USER, uR"(T\Old)");
  machine.CreateRegistryKey(win::HKEY_CURRENT_USER, uR"(Software\Keep)");
  machine.CreateRegistryKey(win::HKEY_CURRENT_USER, uR"(clsid\Keep)");
  EXPECT_EQ(Run(GetParam().script), 0);
  for (const auto& key : GetParam().present) EXPECT_TRUE(Exists(key));
  for (const auto& key : GetParam().absent) EXPECT_FALSE(Exists(key));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, Removals,
    ::testing::Values(RemovalCase{"ForceRemoveRemakes",
                                  uR"(HKCU { ForceRemove T { New } })",
                                  {uR"(T\New)"},
                                  {uR"(T\Old)"}},
                      RemovalCase{"DeleteRemoves", uR"(HKCU { Delete T })", {}, {u"T"}},
                      RemovalCase{"DeleteWithAValue", uR"(HKCU { Delete T = s x })", {}, {u"T"}},
                      RemovalCase{"ForceRemoveKeepsSoftware",
                                  uR"(HKCU { ForceRemove Software })",
                                  {uR"(Software\Keep)"},
                                  {}},
                      RemovalCase{"DeleteKeepsClsidInAnyCase",
                                  uR"(HKCU { Delete CLSID })",
                                  {uR"(clsid\Keep)"},
                                  {}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Unregistering ----

TEST_F(RegistryScriptTest, UnregisterDeletesWhatTheScriptNamesExceptNoRemove) {
  const std::u16string script = uR"(HKCU { NoRemove Kept { Gone { val v = s x } val w = s y } })";
  ASSERT_EQ(Run(script), 0);
  machine.CreateRegistryKey(win::HKEY_CURRENT_USER, uR"(Kept\Other)");

  EXPECT_EQ(Run(script, kUnregister), 0);
  EXPECT_TRUE(Exists(uR"(Kept\Other)"));
  EXPECT_FALSE(Exists(uR"(Kept\Gone)"));
  EXPECT_EQ(Value(u"Kept", u"w").first, win::REG_NONE);
  EXPECT_EQ(Run(script, kUnregister), 0) << "nothing left to delete is no failure";
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

// A key the script does not fully name is not deleted with force: the walk stops there.
TEST_F(RegistryScriptTest, UnregisterStopsAtAKeyWithUnnamedSubkeys) {
  ASSERT_EQ(Run(uR"(HKCU { A { Sub } B })"), 0);
  machine.CreateRegistryKey(win::HKEY_CURRENT_USER, uR"(A\Sub\Extra)");
  EXPECT_EQ(Run(uR"(HKCU { A { Sub } B })", kUnregister),
            HresultFromWin32(win::ERROR_ACCESS_DENIED));
  EXPECT_TRUE(Exists(uR"(A\Sub\Extra)"));
  EXPECT_TRUE(Exists(u"B")) << "entries after the failure stay";
}

// ---- Substitutions ----

struct ExpansionCase {
  const char* name;
  std::u16string text;
  HRESULT result;
  std::u16string expanded;
};

class Expansions : public ::testing::TestWithParam<ExpansionCase> {};

TEST_P(Expansions, ReplaceNamesBetweenPercents) {
  sim::Machine machine;
  SubstitutionMap map;
  map.AddSubstitution(u"APPID", u"{id}");
  map.AddSubstitution(u"appid", u"second");  // the first pair of a name wins
  map.AddSubstitution(u"PCT", u"%x%");
  RegistryScriptParser parser(map);
  std::u16string expanded;
  EXPECT_EQ(parser.ExpandSubstitutions(GetParam().text, expanded), GetParam().result);
  if (GetParam().result == 0) {
    EXPECT_EQ(expanded, GetParam().expanded);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Expansions,
    ::testing::Values(ExpansionCase{"Upper", u"'%APPID%'", 0, u"'{id}'"},
                      ExpansionCase{"Lower", u"'%appid%'", 0, u"'{id}'"},
                      ExpansionCase{"Doubled", u"100%%", 0, u"100%"},
                      ExpansionCase{"ValuesNotRescanned", u"%PCT%", 0, u"%x%"},
                      ExpansionCase{"LoneAtEnd", u"abc%", win::DISP_E_EXCEPTION, u""},
                      ExpansionCase{"NameOf31", u"%" + std::u16string(31, u'n') + u"%",
                                    win::DISP_E_EXCEPTION, u""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SubstitutionMapTest, RefusesMissingNamesAndValues) {
  sim::Machine machine;
  SubstitutionMap map;
  EXPECT_EQ(map.AddSubstitution(nullptr, u"v"), win::E_INVALIDARG);
  EXPECT_EQ(map.AddSubstitution(u"n", nullptr), win::E_INVALIDARG);
  EXPECT_EQ(map.AddSubstitution(u"n", u"v"), win::S_OK);
  EXPECT_EQ(map.QueryInterface(nullptr, nullptr), win::E_NOTIMPL);
  EXPECT_EQ(map.AddRef(), 1u);  // not counted: the map lives for one script run
  EXPECT_EQ(map.Release(), 0u);
  EXPECT_EQ(map.ClearSubstitutions(), win::S_OK);
  EXPECT_EQ(map.FindSubstitution(u"n"), nullptr);
}

TEST(ProtectedKeyNames, AreTheTwelveInAnyCase) {
  sim::Machine machine;
  for (const char16_t* name :
       {u"AppID", u"clsid", u"Component Categories", u"FILETYPE", u"Interface", u"Hardware",
        u"Mime", u"SAM", u"Security", u"SYSTEM", u"software", u"TypeLib"}) {
    EXPECT_TRUE(IsProtectedKeyName(name));
  }
  for (const char16_t* name : {u"AppIDs", u"Component", u"", u"Soft ware"}) {
    EXPECT_FALSE(IsProtectedKeyName(name));
  }
}

}  // namespace
