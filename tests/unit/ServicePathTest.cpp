// The installer package's custom action on the simulated machine: the record's program path in
// quotes and the dependencies set again, nothing else changed; a path already quoted left alone.
#include <gtest/gtest.h>

#include <string>

#include "installer/ServicePath.h"
#include "platform/sim/Machine.h"

namespace {

constexpr char16_t kProgram[] = u"C:\\Program Files\\Corvane\\CorvaneService.exe";

TEST(QuoteServiceProgramPath, QuotesTheProgramPathAndSetsTheDependencies) {
  sim::Machine machine;
  machine.CreateService(u"CorvaneService", kProgram);
  sim::ServiceConfig expected = *machine.Service(u"CorvaneService");
  expected.imagePath = u"\"" + std::u16string(kProgram) + u"\"";
  expected.dependencies = {u"RPCSS"};

  EXPECT_EQ(
      installer::QuoteServiceProgramPath(installer::kServiceName, installer::kServiceDependencies),
      win::ERROR_SUCCESS);
  EXPECT_EQ(*machine.Service(u"CorvaneService"), expected);
}

TEST(QuoteServiceProgramPath, LeavesAQuotedPathAlone) {
  sim::Machine machine;
  const std::u16string quoted = u"\"" + std::u16string(kProgram) + u"\"";
  machine.CreateService(u"CorvaneService", quoted);
  const sim::ServiceConfig before = *machine.Service(u"CorvaneService");

  EXPECT_EQ(
      installer::QuoteServiceProgramPath(installer::kServiceName, installer::kServiceDependencies),
      win::ERROR_SUCCESS);
  EXPECT_EQ(*machine.Service(u"CorvaneService"), before);
}

TEST(QuoteServiceProgramPath, WithoutTheRecordFailsWithServiceDoesNotExist) {
  sim::Machine machine;
  EXPECT_EQ(
      installer::QuoteServiceProgramPath(installer::kServiceName, installer::kServiceDependencies),
      win::ERROR_SERVICE_DOES_NOT_EXIST);
}

}  // namespace
