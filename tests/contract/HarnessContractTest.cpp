// The harness's own marks, on each backend: they keep the thread's last-error code (they stand
// between a call and the check of its code), and the known-gap marker turns only under Wine.
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

TEST(ContractHarness, MarksKeepTheLastErrorCode) {
  win::SetLastError(0xdeadbeef);
  CurrentBackend();
  DocumentedNotMeasured();
  EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
  TODO_WINE("the harness's own gap: this backend is not Wine") {
    EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
    EXPECT_NE(CurrentBackend(), Backend::Wine);
  }
  EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
}

// A marked check that fails under Wine is the gap and passes the case; one that passes there fails
// it. Elsewhere, and where the condition does not hold, a marked check is an ordinary one.
TEST(ContractHarness, KnownGapTurnsOnlyUnderWine) {
  if (CurrentBackend() == Backend::Wine) {
    TODO_WINE("the harness's own gap: one is not two") {
      EXPECT_EQ(1, 2);
    }
    EXPECT_NONFATAL_FAILURE(
        TODO_WINE("closed") { EXPECT_EQ(1, 1); },
        "now passes under Wine: remove the marker (closed)");
  } else {
    EXPECT_NONFATAL_FAILURE(
        TODO_WINE("a gap") { EXPECT_EQ(1, 2); }, "Expected equality");
  }
  EXPECT_NONFATAL_FAILURE(
      TODO_WINE_IF(false, "not this row") { EXPECT_EQ(1, 2); }, "Expected equality");
}

}  // namespace
}  // namespace contract
