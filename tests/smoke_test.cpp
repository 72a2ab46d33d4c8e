#include "support/harness.h"

namespace {

using harness::ModuleTest;

class Smoke : public ModuleTest {};

TEST_P(Smoke, SampleSessionWritesTheLog) {
  Host().SetPythonLogger({harness::Storing({"print('hi')"})});
  Host().SetDefaultLogger(std::vector{harness::NotStoring(), harness::Storing({"one", "zwei €"})});
  Load();
  EXPECT_TRUE(Run());
  EXPECT_EQ(LogBytes(), harness::ExpectedLog({"one", "zwei €"}));
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, Smoke, ::testing::ValuesIn(harness::BothEndOrders()), harness::SetupName);

}  // namespace
