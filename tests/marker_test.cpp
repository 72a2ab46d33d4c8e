// The end-marker test over the Python logger's lines: what counts as a hit,
// the FOUND outputs, and the failures that leave the answer alone.
#include <string>
#include <vector>

#include "standin/utf8.h"
#include "support/run_support.h"

namespace {

using harness::NotStoring;
using harness::Storing;
using run_support::FOOTER;
using run_support::Found;
using run_support::HEADER;
using run_support::MARKER;
using standin::Site;

const std::string M = MARKER;

class EndMarker : public run_support::RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    Host().SetDefaultLogger(std::vector{NotStoring()});
  }
};

TEST_P(EndMarker, HitsAnywhereInALineExactlyAndCaseSensitively) {
  const std::vector<std::string> hits = {M, M + " and after", "before " + M, "before " + M + " after",
                                         "twice " + M + M};
  const std::vector<std::string> misses = {"velmaris logging done!",  "VELMARIS LOGGING DONE!", "Velmaris logging done",
                                           "Velmaris  logging done!", "Velmaris logging",       " done!",
                                           " Velmaris logging done !"};
  // Hits and misses interleaved; "Velmaris logging" and " done!" are the
  // marker split over two lines.
  std::vector<std::string> lines;
  for (size_t index = 0; index < misses.size(); ++index) {
    if (index < hits.size()) lines.push_back(hits[index]);
    lines.push_back(misses[index]);
  }
  standin::LoggerTypeSpec type;
  for (const std::string& line : lines) type.lines.push_back(standin::DecodeUtf8(line));
  Host().SetPythonLogger({type});
  Load();

  EXPECT_TRUE(RunBalanced());
  std::vector<std::string> expected;
  for (const std::string& hit : hits) expected.push_back(Found(hit));
  EXPECT_EQ(Outputs(), expected);
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(EndMarker, NearMissesWriteTheFile) {
  Host().SetPythonLogger({Storing({"Velmaris logging", " done!", "velmaris logging done!", "Velmaris logging done"})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "Velmaris logging\n done!\nvelmaris logging done!\nVelmaris logging done\n" + FOOTER);
}

TEST_P(EndMarker, HitInTheFirstLineStillTestsTheRest) {
  Host().SetPythonLogger({Storing({MARKER, "quiet", "last: Velmaris logging done!"})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Found(M), Found("last: " + M)}));
}

TEST_P(EndMarker, NullLineIsNoHitAndLaterLinesAreTested) {
  Load();
  for (const bool emptyString : {true, false}) {
    SCOPED_TRACE(emptyString ? "the host has an empty String" : "the host has no empty String");
    Host().SetEmptyStringAvailable(emptyString);
    standin::LoggerTypeSpec type = Storing({"", MARKER, ""});
    type.nullLines = {true, false, true};
    Host().SetPythonLogger({type});
    Host().ClearRecords();
    EXPECT_TRUE(RunBalanced());
    EXPECT_EQ(Outputs(), std::vector<std::string>{Found(M)});
  }
}

TEST_P(EndMarker, MarkerThatCannotBeMadeMatchesNothing) {
  Host().SetPythonLogger({Storing({MARKER, "other"})});
  Load();
  for (const Site site : {Site::StringCreate, Site::SetCString}) {
    SCOPED_TRACE(standin::SiteName(site));
    FailNext(site);
    Host().ClearRecords();
    EXPECT_TRUE(RunBalanced());
    EXPECT_EQ(LogBytes(), HEADER + M + "\nother\n" + FOOTER);
    EXPECT_EQ(Outputs(), (std::vector<std::string>{run_support::Message(M), run_support::Message("other")}));
  }
  // The next run makes its marker afresh.
  Host().ClearRecords();
  std::filesystem::remove(LogFile());
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(M)});
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(EndMarker, HitWithoutADefaultLoggerStillAnswersTrue) {
  Host().SetPythonLogger({Storing({MARKER})});
  Host().SetDefaultLogger(std::nullopt);
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_TRUE(Outputs().empty());
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(EndMarker, HitWhileResolvingTheDefaultLoggerFailsStillAnswersTrue) {
  Host().SetPythonLogger({Storing({MARKER, MARKER})});
  Load();
  FailNext(Site::ResolveLogger, 0, -1);
  EXPECT_TRUE(RunBalanced());
  EXPECT_TRUE(Outputs().empty());
  EXPECT_FALSE(LogBytes().has_value());

  // A resolution that gave nothing is tried again at the next output.
  Host().GetFaults().Clear();
  FailNext(Site::ResolveLogger, 0, 1);
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(M)});
  EXPECT_FALSE(LogBytes().has_value());
  EXPECT_TRUE(Boxes().empty());
}

TEST_P(EndMarker, FoundTextThatCannotBeFormattedStillCounts) {
  const std::string first = "first " + M;
  const std::string second = "second " + M;
  Host().SetPythonLogger({Storing({first.c_str(), second.c_str()})});
  Load();
  Host().ClearRecords();
  FailNext(Site::FormatText);
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(second)});
  EXPECT_EQ(Host().ShownConsole(), std::vector<std::string>{"Console output failed"});
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(EndMarker, FailedWriteOfAFoundTextStillCounts) {
  Host().SetPythonLogger({Storing({MARKER})});
  Load();
  FailNext(Site::LoggerWrite);
  EXPECT_TRUE(RunBalanced());
  EXPECT_TRUE(Outputs().empty());
  EXPECT_FALSE(LogBytes().has_value());
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, EndMarker, ::testing::ValuesIn(harness::Generations()), harness::SetupName);

}  // namespace
