// The installer package's custom actions on the simulated machine: the record's program path in
// quotes and the dependencies set again, nothing else changed; a path already quoted left alone.
// An install folder is refused when anyone but SYSTEM, Administrators, TrustedInstaller or the
// installer's own user owns it or anything in it, or may rename or re-permission it or a folder
// on its way (found, or made by the install with what it inherits), or may add to it. LINKS is
// taken only as a full path on a local drive. The trigger on machine policy is set by the
// service's name.
#include <gtest/gtest.h>

#include <string>

#include "engine/Junction.h"
#include "engine/PolicyTrigger.h"
#include "installer/InstallFolder.h"
#include "installer/LinksPath.h"
#include "installer/ServicePath.h"
#include "platform/sim/Machine.h"
#include "tests/unit/ServiceHarness.h"

namespace {

constexpr char16_t kProgram[] = u"C:\\Program Files\\Corvane\\CorvaneService.exe";

TEST(QuoteServiceProgramPath, QuotesTheProgramPathAndSetsTheDependencies) {
  sim::Machine machine;
  machine.CreateService(u"CorvaneService", kProgram);
  sim::ServiceConfig expected = *machine.Service(u"CorvaneService");
  expected.imagePath = u"\"" + std::u16string(kProgram) + u"\"";
  expected.dependencies = {u"RPCSS"};

  EXPECT_EQ(
      installer::QuoteServiceProgramPath(kServiceName, installer::kServiceDependencies),
      win::ERROR_SUCCESS);
  EXPECT_EQ(machine.Service(u"CorvaneService"), expected);
}

TEST(QuoteServiceProgramPath, LeavesAQuotedPathAlone) {
  sim::Machine machine;
  const std::u16string quoted = u"\"" + std::u16string(kProgram) + u"\"";
  machine.CreateService(u"CorvaneService", quoted);
  const sim::ServiceConfig before = *machine.Service(u"CorvaneService");

  EXPECT_EQ(
      installer::QuoteServiceProgramPath(kServiceName, installer::kServiceDependencies),
      win::ERROR_SUCCESS);
  EXPECT_EQ(machine.Service(u"CorvaneService"), before);
}

TEST(QuoteServiceProgramPath, WithoutTheRecordFailsWithServiceDoesNotExist) {
  sim::Machine machine;
  EXPECT_EQ(
      installer::QuoteServiceProgramPath(kServiceName, installer::kServiceDependencies),
      win::ERROR_SERVICE_DOES_NOT_EXIST);
}

// The package's trigger step, by the service's name: the record's one trigger, or the failing
// call's code.
TEST(RegisterMachinePolicyTrigger, SetsTheRecordsOneTriggerByName) {
  sim::Machine machine;
  machine.CreateService(u"CorvaneService", kProgram);
  EXPECT_EQ(RegisterMachinePolicyTrigger(kServiceName), win::ERROR_SUCCESS);
  EXPECT_EQ(RegisterMachinePolicyTrigger(kServiceName), win::ERROR_SUCCESS);
  ASSERT_EQ(machine.ServiceTriggers(u"CorvaneService").size(), 1u);
  EXPECT_EQ(machine.ServiceTriggers(u"CorvaneService").front().subtype,
            win::MACHINE_POLICY_PRESENT_GUID);
  EXPECT_EQ(RegisterMachinePolicyTrigger(u"Missing"), win::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

// The user who may have made the folder before the administrator installs there.
constexpr char16_t kOtherUser[] = u"O:S-1-5-21-1000-2000-3000-1002";

struct FolderCase {
  const char* name;
  void (*arrange)(sim::Machine&);
  // Empty when the folder is accepted; else what the sentence says after "... in FOLDER: ".
  std::string refusal;
  // INSTALLDIR, as Windows Installer gives it: with a trailing separator.
  const char16_t* folder = u"C:\\Corvane\\";
};

// A volume's root as Windows sets it up (TrustedInstaller's; users may add folders, which they
// then may change), with the CREATOR OWNER entry of a server's first.
void WindowsRoot(sim::Machine& machine) {
  machine.SetSecurity(u"C:\\",
                      u"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
                      u"D:PAI(A;OICIIO;FA;;;S-1-3-0)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                      u"(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)");
}

// The package's own folder as an upgrade finds it: programs installed as SYSTEM, the list written
// by an elevated corvane.exe (Administrators), a file of TrustedInstaller's and one of the
// installer's own user.
void PackageFolder(sim::Machine& machine) {
  machine.PutFile(u"C:\\Corvane\\CorvaneService.exe", "MZ");
  machine.SetSecurity(u"C:\\Corvane\\CorvaneService.exe", u"O:SY");
  machine.PutFile(u"C:\\Corvane\\Corvane.dat", "list");
  machine.PutFile(u"C:\\Corvane\\sub\\ti.dll", "MZ");
  machine.SetSecurity(u"C:\\Corvane\\sub\\ti.dll",
                      u"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
  machine.PutFile(u"C:\\Corvane\\sub\\mine.txt", "");
  machine.SetSecurity(u"C:\\Corvane\\sub\\mine.txt", u"O:S-1-5-21-1000-2000-3000-1001");
}

const FolderCase kFolderCases[] = {
    {"Missing", [](sim::Machine&) {}, ""},
    {"PackagesOwn", PackageFolder, ""},
    {"OwnedByAUser",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Corvane");
       machine.SetSecurity(u"C:\\Corvane", kOtherUser);
     },
     "C:\\Corvane belongs to S-1-5-21-1000-2000-3000-1002, who may change its permissions"},
    {"FileDeepInsideOwnedByAUser",
     [](sim::Machine& machine) {
       PackageFolder(machine);
       machine.PutFile(u"C:\\Corvane\\sub\\deeper\\version.dll", "MZ");
       machine.SetSecurity(u"C:\\Corvane\\sub\\deeper\\version.dll", kOtherUser);
     },
     "C:\\Corvane\\sub\\deeper\\version.dll belongs to S-1-5-21-1000-2000-3000-1002"},
    {"JunctionOwnedByAUser",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Elsewhere");
       machine.MakeDirectories(u"C:\\Corvane\\data");
       ASSERT_TRUE(CreateJunction(u"C:\\Corvane\\data", u"C:\\Elsewhere"));
       machine.SetSecurity(u"C:\\Corvane\\data", kOtherUser);
     },
     "C:\\Corvane\\data belongs to S-1-5-21-1000-2000-3000-1002"},
    // What a junction leads to is not installed into: its files are not looked at.
    {"JunctionIsNotFollowed",
     [](sim::Machine& machine) {
       machine.PutFile(u"C:\\Elsewhere\\theirs.txt", "");
       machine.SetSecurity(u"C:\\Elsewhere\\theirs.txt", kOtherUser);
       machine.MakeDirectories(u"C:\\Corvane\\data");
       ASSERT_TRUE(CreateJunction(u"C:\\Corvane\\data", u"C:\\Elsewhere"));
     },
     ""},
    // Installing into a junction installs where it leads.
    {"FolderIsAJunctionToAUsersFolder",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Theirs");
       machine.SetSecurity(u"C:\\Theirs", kOtherUser);
       machine.MakeDirectories(u"C:\\Corvane");
       ASSERT_TRUE(CreateJunction(u"C:\\Corvane", u"C:\\Theirs"));
     },
     "the folder that C:\\Corvane leads to belongs to S-1-5-21-1000-2000-3000-1002"},
    // An entry whose owner cannot be read is not taken on trust.
    {"EntryThatCannotBeOpened",
     [](sim::Machine& machine) {
       machine.PutFile(u"C:\\Corvane\\locked.dll", "MZ");
       machine.SetSecurity(
           u"C:\\Corvane\\locked.dll",
           u"O:S-1-5-21-1000-2000-3000-1002D:P(A;;FA;;;S-1-5-21-1000-2000-3000-1002)");
     },
     "C:\\Corvane\\locked.dll cannot be opened (error 5), so its owner cannot be checked."},
    {"FolderThatCannotBeListed",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Corvane\\sub");
       machine.SetSecurity(u"C:\\Corvane\\sub", u"O:BAD:P(A;;RC;;;BA)");
     },
     "C:\\Corvane\\sub cannot be listed (error 5), so its owner cannot be checked."},
    // The package's permissions apply to the folder it makes, not to the folder above it.
    {"NewAtAWindowsRoot", WindowsRoot, ""},
    {"NewAtAWindowsRootInItsVerbatimForm", WindowsRoot, "", u"\\\\?\\C:\\Corvane\\"},
    {"NewParentWouldLetUsersRenameIt", WindowsRoot,
     "S-1-5-11 may delete or rename C:\\Tools (DELETE on C:\\Tools, a folder the install would "
     "make, inheriting it from C:\\)",
     u"C:\\Tools\\Corvane\\"},
    {"AdministratorsFolderAtTheRootLetsUsersRenameIt",
     [](sim::Machine& machine) {
       WindowsRoot(machine);
       machine.MakeDirectories(u"C:\\Corvane");
       machine.SetSecurity(u"C:\\Corvane",
                           u"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"
                           u"(A;OICIID;0x1200a9;;;BU)(A;OICIID;0x1301bf;;;AU)");
     },
     "S-1-5-11 may delete or rename C:\\Corvane (DELETE on C:\\Corvane)"},
    {"ParentLetsUsersDeleteWhatItHolds",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Tools");
       machine.SetSecurity(u"C:\\Tools", u"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200e9;;;BU)");
     },
     "S-1-5-32-545 may delete or rename C:\\Tools\\Corvane (FILE_DELETE_CHILD on C:\\Tools)",
     u"C:\\Tools\\Corvane\\"},
    {"ParentOwnedByAUser",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Tools");
       machine.SetSecurity(u"C:\\Tools", kOtherUser);
     },
     "C:\\Tools belongs to S-1-5-21-1000-2000-3000-1002", u"C:\\Tools\\Corvane\\"},
    // A handle opened before the package sets the folder's permissions outlives them.
    {"LetsUsersAddFiles",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Corvane");
       machine.SetSecurity(u"C:\\Corvane", u"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200ab;;;BU)");
     },
     "S-1-5-32-545 may add or write files in C:\\Corvane (FILE_ADD_FILE on C:\\Corvane)"},
    {"DevicePathIsNoFullPath", [](sim::Machine&) {}, "\\\\.\\C:\\Corvane is not a full path",
     u"\\\\.\\C:\\Corvane\\"},
    {"ParentIsAJunction",
     [](sim::Machine& machine) {
       machine.MakeDirectories(u"C:\\Elsewhere");
       machine.MakeDirectories(u"C:\\Tools");
       ASSERT_TRUE(CreateJunction(u"C:\\Tools", u"C:\\Elsewhere"));
     },
     "C:\\Tools is a junction or symbolic link", u"C:\\Tools\\Corvane\\"},
};

class InstallFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(InstallFolder, IsRefusedWhenAnyoneElseOwnsOrMayChangeItOrAFolderOnItsWay) {
  sim::Machine machine;
  GetParam().arrange(machine);
  const std::string refusal =
      corvane_test::Narrow(installer::InstallFolderRefusal(GetParam().folder));
  if (GetParam().refusal.empty()) {
    EXPECT_EQ(refusal, "");
  } else {
    std::string folder = corvane_test::Narrow(GetParam().folder);
    folder.pop_back();
    EXPECT_EQ(
        refusal.rfind("Corvane cannot be installed in " + folder + ": " + GetParam().refusal, 0),
        0u)
        << refusal;
  }
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallFolder, ::testing::ValuesIn(kFolderCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(InstallFolderRefusal, WithoutAFolderRefuses) {
  sim::Machine machine;
  EXPECT_EQ(corvane_test::Narrow(installer::InstallFolderRefusal(u"")),
            "Corvane cannot be installed: no install folder was given to check.");
}

struct LinksCase {
  const char16_t* links;
  bool accepted;
};

const LinksCase kLinksCases[] = {
    {u"C:\\ProgramData\\Fleet\\links.json", true},
    {u"d:/fleet/links.json", true},
    {u"\\\\?\\C:\\links.json", true},
    {u"links.json", false},
    {u"relative\\links.json", false},
    {u"..\\links.json", false},
    {u"C:links.json", false},
    {u"\\links.json", false},
    {u"\\\\server\\share\\links.json", false},
    {u"\\\\?\\UNC\\server\\share\\links.json", false},
    {u"\\\\.\\C:\\links.json", false},
    {u"1:\\links.json", false},
    {u" C:\\links.json", false},
};

TEST(LinksPathRefusal, TakesOnlyAFullPathOnALocalDrive) {
  for (const LinksCase& row : kLinksCases) {
    const std::string refusal = corvane_test::Narrow(installer::LinksPathRefusal(row.links));
    const std::string links = corvane_test::Narrow(row.links);
    if (row.accepted) {
      EXPECT_EQ(refusal, "") << links;
    } else {
      EXPECT_NE(refusal.find("Corvane was not installed: LINKS must be the full path"),
                std::string::npos)
          << links;
      EXPECT_NE(refusal.find(" and " + links + " is not one"), std::string::npos) << refusal;
    }
  }
}

}  // namespace
