// A simulated machine with CorvaneService installed the way an administrator installs it: the
// program, its service record and the AppID entries that make a plain start use the dispatcher.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/Machine.h"
#include "service/Registration.h"
#include "service/ServiceHost.h"
#include "service/res/RegistryScript.h"

namespace corvane_test {

inline constexpr char16_t kServiceImage[] = u"C:\\Program Files\\Corvane\\CorvaneService.exe";
inline const std::u16string kAppIdKey = std::u16string(u"AppID\\") + kAppId;

// The program as the process sees it: the host constructed first, then the entry; its
// resources as CorvaneService.rc builds them.
inline sim::Program ServiceProgram() {
  return sim::Program{
      [] {
        ServiceHost host;
        return host.ProcessEntry();
      },
      {{100, u"CorvaneService"}},  // the service name is string 100
      {{{kRegistryScriptType, kRegistryScriptId}, std::string(kRegistryScriptResource)}}};
}

// The program in place and installed by its own -Service switch, as an administrator does it:
// the AppID entries, LocalService and the service record.
inline void InstallWithServiceSwitch(sim::Machine& machine) {
  machine.InstallProgram(kServiceImage, ServiceProgram());
  EXPECT_EQ(machine.RunProgram(kServiceImage, u"\"" + std::u16string(kServiceImage) + u"\" -Service"),
            0u);
}

class ServiceHarness : public ::testing::Test {
 protected:
  ServiceHarness() {
    machine.InstallProgram(kServiceImage, ServiceProgram());
    machine.CreateService(u"CorvaneService", u"\"" + std::u16string(kServiceImage) + u"\"");
    machine.SetRegistryString(win::HKEY_CLASSES_ROOT, kAppIdKey, u"", u"CorvaneService");
    machine.SetRegistryString(win::HKEY_CLASSES_ROOT, kAppIdKey, u"LocalService",
                              u"CorvaneService");
  }

  sim::ServiceRun StartService(std::vector<std::u16string> args = {}) {
    return machine.StartService(u"CorvaneService", std::move(args));
  }

  // A plain start of the program, as from a command prompt.
  win::DWORD RunDirectly(std::u16string commandLine = u"") {
    const std::u16string line = u"\"" + std::u16string(kServiceImage) + u"\"" +
                                (commandLine.empty() ? u"" : u" " + commandLine);
    return machine.RunProgram(kServiceImage, line);
  }

  std::vector<std::u16string> EventTexts() const {
    std::vector<std::u16string> texts;
    for (const auto& event : machine.Events()) {
      texts.push_back(event.strings.empty() ? u"" : event.strings.front());
    }
    return texts;
  }

  sim::Machine machine;
};

inline std::string Narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

}  // namespace corvane_test
