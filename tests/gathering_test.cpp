// Gathering the loggers' lines: which logger and which of its types count,
// the null logger, the default logger's resolution, and failed reads.
#include <string>
#include <vector>

#include "support/run_support.h"

namespace {

using harness::EmptyEntry;
using harness::NotStoring;
using harness::Storing;
using run_support::Failing;
using run_support::FOOTER;
using run_support::Found;
using run_support::HEADER;
using run_support::MARKER;
using run_support::Message;
using run_support::Numbered;
using standin::RegistryEntry;
using standin::Site;

// The file of a run that wrote these lines.
std::string Log(const std::vector<std::string>& lines) {
  std::string bytes = HEADER;
  for (const std::string& line : lines) bytes += line + "\n";
  return bytes + FOOTER;
}

std::vector<std::string> NumberedLines(int count) {
  std::vector<std::string> lines;
  for (int index = 0; index < count; ++index) lines.push_back("line " + std::to_string(index));
  return lines;
}

// With a default logger that stores nothing, the file shows what the Python
// gathering left in the array.
class PythonGathering : public run_support::RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    Host().SetDefaultLogger(std::vector{NotStoring()});
  }
};

TEST_P(PythonGathering, OnlyTheLastLineStoringTypeCounts) {
  Host().SetPythonLogger({Storing({MARKER, "a2"}), NotStoring(), Storing({"b1", "b2"})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"b1", "b2"}));
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Message("b1"), Message("b2")}));
}

TEST_P(PythonGathering, LastLineStoringTypeWithoutLinesLeavesNone) {
  Host().SetPythonLogger({Storing({"a1", "a2"}), Storing({})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({}));
}

// A logger without types, the Python logger or the host's null logger,
// gathers nothing (a host may still give its empty list storage).
TEST_P(PythonGathering, LoggerWithoutTypesGathersNothing) {
  Host().SetNullLogger(std::vector<standin::LoggerTypeSpec>{});
  Load();
  for (const RegistryEntry entry : {RegistryEntry::Logger, RegistryEntry::Missing}) {
    SCOPED_TRACE(entry == RegistryEntry::Logger ? "the Python logger" : "the null logger");
    Host().SetPythonLogger({}, entry);
    Host().ClearRecords();
    EXPECT_TRUE(RunBalanced());
    EXPECT_EQ(LogBytes(), Log({}));
  }
}

TEST_P(PythonGathering, TypesThatStoreNothingAndEmptyEntriesAreSkipped) {
  Host().SetPythonLogger({EmptyEntry(), NotStoring(), Storing({"kept 1", "kept 2"}), NotStoring(), EmptyEntry()});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"kept 1", "kept 2"}));
}

TEST_P(PythonGathering, LinesKeepTheirOrderDuplicatesAndEmptyLines) {
  Host().SetPythonLogger({Storing({"same", "", "same", " x ", "same"})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"same", "", "same", " x ", "same"}));
}

TEST_P(PythonGathering, EntryThatHoldsNoLoggerIsTheNullLogger) {
  Load();
  struct Case {
    const char* what;
    RegistryEntry entry;
    bool loggerDataType;
  };
  for (const Case& entry : {Case{"no entry", RegistryEntry::Missing, true},
                            Case{"a value of another data type", RegistryEntry::NotALogger, true},
                            Case{"no logger data type to compare with", RegistryEntry::Logger, false}}) {
    SCOPED_TRACE(entry.what);
    Host().SetPythonLogger({Storing({MARKER})}, entry.entry);
    Host().SetLoggerDataTypeAvailable(entry.loggerDataType);
    Host().ClearRecords();
    EXPECT_TRUE(RunBalanced());
    EXPECT_TRUE(Outputs().empty());
    EXPECT_EQ(LogBytes(), Log({}));
  }
}

TEST_P(PythonGathering, CompatibleLoggerDataTypeIsALogger) {
  Host().SetPythonLogger({Storing({MARKER})}, RegistryEntry::CompatibleLogger);
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(MARKER)});
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(PythonGathering, HostsNullLoggerAnswersForAMissingPythonLogger) {
  Host().SetPythonEntry(RegistryEntry::Missing);
  Host().SetNullLogger(std::vector{NotStoring(), Storing({"from the null logger", MARKER})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(MARKER)});

  // Also when the entry holds no logger.
  Host().SetPythonEntry(RegistryEntry::NotALogger);
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(MARKER)});

  // A registered Python logger is asked, not the null logger.
  Host().SetPythonLogger({Storing({"python"})});
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"python"}));
}

class DefaultGathering : public run_support::RunFixture {};

TEST_P(DefaultGathering, WithoutALineStoringTypeThePythonLinesAreWritten) {
  Host().SetPythonLogger({Storing({"p1", "p2"})});
  // A list of types none of which stores lines, or no types at all (whose
  // empty list a host may still give storage). The module keeps the default
  // logger it resolved for its life: each logger gets a life of its own.
  for (const bool anyTypes : {true, false}) {
    SCOPED_TRACE(anyTypes ? "types that store nothing" : "no types");
    Host().SetDefaultLogger(anyTypes ? std::vector{NotStoring(), EmptyEntry()}
                                     : std::vector<standin::LoggerTypeSpec>{});
    Host().ClearRecords();
    Load();
    EXPECT_TRUE(RunBalanced());
    EXPECT_EQ(LogBytes(), Log({"p1", "p2"}));
    EXPECT_EQ(Outputs(), (std::vector<std::string>{Message("p1"), Message("p2")}));
    Unload();
  }
}

TEST_P(DefaultGathering, OnlyLineStoringTypeWithoutLinesGivesTheFrameOnly) {
  Host().SetPythonLogger({Storing({"p1", "p2"})});
  Host().SetDefaultLogger(std::vector{Storing({})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({}));
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(DefaultGathering, LastOfSeveralLineStoringTypesIsWritten) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(
      std::vector{Storing({"first"}), NotStoring(), Storing({"second 1", "second 2"}), EmptyEntry()});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"second 1", "second 2"}));
  // The list of the default logger's types goes from its last entry to its
  // first, the empty entry skipped, then its storage.
  const standin::Events run = LastRun();
  const int64_t listed = run.Last({standin::Call::GetLoggerTypes});
  const uint64_t list = run[static_cast<size_t>(listed)].made;
  const int64_t freed = run.First(trace_support::Freed(list));
  ASSERT_GT(freed, 3);
  const std::vector<uint64_t> types = Host().LoggerTypeSerials(standin::DEFAULT_LOGGER_ID);
  ASSERT_EQ(types.size(), 4u);
  EXPECT_EQ(run.Slice(freed - 3, freed).Objects(), (std::vector<uint64_t>{types[2], types[1], types[0]}))
      << run.Slice(listed, freed + 1).Text();
  EXPECT_EQ(run.Slice(freed - 3, freed).Calls(), std::vector<standin::Call>(3, standin::Call::Release));
  // Every line-storing type kept the echoes.
  EXPECT_EQ(Host().StoredLines(standin::DEFAULT_LOGGER_ID, 0),
            (std::vector<std::u32string>{U"first", U"Message: second 1", U"Message: second 2"}));
}

TEST_P(DefaultGathering, MissingDefaultLoggerWritesThePythonLinesAndIsAskedForAgain) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::nullopt);
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"python"}));
  EXPECT_TRUE(Outputs().empty());
  // Each use asks again while the host resolves nothing.
  const int64_t asked = Host().DefaultLoggerResolutions();
  EXPECT_GE(asked, 1);
  EXPECT_TRUE(RunBalanced());
  EXPECT_GT(Host().DefaultLoggerResolutions(), asked);

  // The host has one by the next run; once resolved it is kept.
  Host().SetDefaultLogger(std::vector{Storing({"default"})});
  const int64_t beforeResolved = Host().DefaultLoggerResolutions();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"default"}));
  EXPECT_EQ(Outputs(), std::vector<std::string>{Message("default")});
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Host().DefaultLoggerResolutions(), beforeResolved + 1);
}

TEST_P(DefaultGathering, FailedResolutionIsTriedAgain) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::vector{Storing({"default"})});
  Load();
  // The gathering's resolution fails; the echo's, right after, succeeds.
  FailNext(Site::ResolveLogger);
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"python"}));
  EXPECT_EQ(Outputs(), std::vector<std::string>{Message("python")});

  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log({"default", "Message: python"}));
}

// Failed reads: the error's text in one box, the answer false.

TEST_P(PythonGathering, IterateFailingOnTheSecondLineStoringTypeStopsTheGathering) {
  Load();
  for (const bool withError : {true, false}) {
    SCOPED_TRACE(withError ? "with an error object" : "without an error object");
    Host().SetPythonLogger({Storing({"a1", "a2"}), Failing({"b1", "b2"}, 1, withError), Storing({MARKER})});
    Host().ClearRecords();
    std::filesystem::remove(LogFile());
    const int64_t iterateCalls = Host().GetFaults().SiteCalls(Site::Iterate);

    EXPECT_FALSE(RunBalanced());
    // Three calls for the first type, one for the failing type, none for the last.
    EXPECT_EQ(Host().GetFaults().SiteCalls(Site::Iterate) - iterateCalls, 4);
    ASSERT_EQ(Host().MessageBoxes().size(), 1u);
    EXPECT_EQ(Host().MessageBoxes()[0].text, withError ? run_support::READ_ERROR : "");
    EXPECT_EQ(Host().MessageBoxes()[0].flags, run_support::ICON_EXCLAMATION);
    EXPECT_TRUE(Outputs().empty());
    EXPECT_FALSE(LogBytes().has_value());
  }
}

TEST_P(DefaultGathering, DefaultLoggerFailingOnItsSecondLineStoringTypeLeavesTheHeader) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::vector{Storing({"d1"}), Failing({"e1"}, 0, false), Storing({"f1"})});
  Load();
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER);
  EXPECT_EQ(Boxes(), std::vector<std::string>{""});
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(DefaultGathering, HostsOwnIterateFailureIsShown) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::vector{Storing({"d1", "d2"})});
  Load();
  // The Python logger's iteration takes two checks; fail the default's second.
  FailNext(Site::Iterate, 3);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER);
  EXPECT_EQ(Boxes(), std::vector<std::string>{run_support::READ_ERROR});
}

// The array's first storage, for 8 lines, comes from alloc; it then grows
// by half again through the host's resize: 12, 18, 27, ... A growth that
// fails gives the SDK's out-of-memory error for that line.
TEST_P(PythonGathering, OutOfMemoryWhileAppendingShowsTheSdksError) {
  Load();
  struct Case {
    int64_t growth;  // which growth of the pass fails
    int lines;       // lines of the logger type; the failing one is the last
  };
  for (const Case& grow : {Case{0, 1}, Case{1, 9}, Case{2, 13}, Case{3, 19}}) {
    SCOPED_TRACE("growth " + std::to_string(grow.growth));
    Host().SetPythonLogger({Numbered(grow.lines - 1), Numbered(grow.lines)});
    Host().ClearRecords();
    Host().GetFaults().Clear();
    // The first type's pass grows the array as often as the second's, less
    // the last growth: the second pass's first growth is the run's first or
    // second alloc, its later ones follow the first pass's resizes.
    const Site site = grow.growth == 0 ? Site::Alloc : Site::Realloc;
    const int64_t failing = grow.growth == 0 ? 0 : 2 * (grow.growth - 1);
    Host().GetFaults().FailSite(site, failing, 1);

    EXPECT_FALSE(RunBalanced());
    EXPECT_EQ(Host().GetFaults().SiteCalls(site), failing + 1);
    ASSERT_EQ(Host().MessageBoxes().size(), 1u);
    const std::string& text = Host().MessageBoxes()[0].text;
    EXPECT_EQ(text.rfind("Not enough memory.", 0), 0u) << text;
    // The SDK's source location, relative to the project: the user sees no folder of the builder's.
    EXPECT_NE(text.find(" [standin/sdk/include/brannoc/array.h:"), std::string::npos) << text;
    EXPECT_EQ(text.find("Quistmoor"), std::string::npos) << text;
    EXPECT_EQ(Host().MessageBoxes()[0].flags, run_support::ICON_EXCLAMATION);
  }
}

TEST_P(DefaultGathering, OutOfMemoryInTheDefaultGatheringLeavesTheHeader) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::vector{Numbered(9)});
  Load();
  // Each pass's storage comes from alloc at its first line; the default
  // pass resizes it at its line 9.
  FailNext(Site::Realloc);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].rfind("Not enough memory.", 0), 0u) << Boxes()[0];
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(PythonGathering, OutOfMemoryWithoutAnErrorStillFails) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetErrorSlotAvailable(false);
  Load();
  // Without a new error, the host's null-return error stands in; a host
  // that gives the callback no slot for it has no current error to answer.
  FailNext(Site::Alloc);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         Answer() == harness::HostAnswer::NoErrorSlot ? "" : "A null reference was returned."});

  // Without that either, the failure carries no error: an empty text.
  Host().SetNullReturnErrorAvailable(false);
  Host().ClearRecords();
  FailNext(Site::Alloc);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(Boxes(), std::vector<std::string>{""});
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(PythonGathering, ManyLinesGrowTheArrayAsNeeded) {
  Host().SetPythonLogger({Numbered(100)});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), Log(NumberedLines(100)));
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, PythonGathering, ::testing::ValuesIn(harness::OddAnswersToo()),
                         harness::SetupName);
INSTANTIATE_TEST_SUITE_P(AllGenerations, DefaultGathering, ::testing::ValuesIn(harness::OddAnswersToo()),
                         harness::SetupName);

}  // namespace
