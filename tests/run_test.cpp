// The command's run as a whole: each way through it with its answer, the
// file, the message box and the default logger's outputs; and runs in a row.
#include <string>
#include <vector>

#include "support/run_support.h"

namespace {

using harness::NotStoring;
using harness::Storing;
using run_support::Failing;
using run_support::FOOTER;
using run_support::Found;
using run_support::HEADER;
using run_support::Message;
using standin::Site;

const std::string MARKER_LINE = std::string("print('") + run_support::MARKER + "')";

class RunPaths : public run_support::RunFixture {};

TEST_P(RunPaths, MarkerFoundReportsEachHitAndLeavesTheFileAlone) {
  Host().SetPythonLogger({Storing({"first", MARKER_LINE.c_str(), "plain", run_support::MARKER})});
  SetUnreadableDefaultLogger();
  Load();
  PlaceLog("an older log\r\n");

  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Found(MARKER_LINE), Found(run_support::MARKER)}));
  EXPECT_EQ(LogBytes(), "an older log\r\n");
  // The default logger was not read: reading it would have failed.
  EXPECT_TRUE(Boxes().empty());
}

TEST_P(RunPaths, MarkerFoundWithoutAnExistingFileCreatesNone) {
  Host().SetPythonLogger({Storing({run_support::MARKER})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_FALSE(LogBytes().has_value());
}

TEST_P(RunPaths, FileWrittenEchoesEachLineToTheDefaultLogger) {
  Host().SetPythonLogger({Storing({"python only"})});
  Host().SetDefaultLogger(std::vector{NotStoring(), Storing({"one", "two"})});
  Load();

  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "one\ntwo\n" + FOOTER);
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Message("one"), Message("two")}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_P(RunPaths, OutputsCarryAudienceMetaAndTheCommandsSourceLocation) {
  // One run with a hit, one that writes the file.
  Host().SetPythonLogger({Storing({run_support::MARKER})});
  Host().SetDefaultLogger(std::vector{NotStoring()});
  Load();
  EXPECT_TRUE(RunBalanced());
  Host().SetPythonLogger({Storing({"no marker"})});
  EXPECT_TRUE(RunBalanced());

  const std::vector<standin::LogOutput>& outputs = Host().DefaultLoggerOutputs();
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0].text, Found(run_support::MARKER));
  EXPECT_EQ(outputs[1].text, Message("no marker"));
  for (const standin::LogOutput& output : outputs) {
    SCOPED_TRACE(output.text);
    EXPECT_EQ(output.audience, run_support::AUDIENCE_ALL);
    EXPECT_EQ(output.meta, run_support::WRITEMETA_DEFAULT);
    EXPECT_EQ(output.file, run_support::SOURCE_FILE);
    EXPECT_GT(output.line, 0);
  }
}

TEST_P(RunPaths, PythonGatheringFailureShowsTheErrorAndTouchesNothing) {
  SetUnreadableDefaultLogger();
  Load();
  PlaceLog("kept");
  for (const bool withError : {true, false}) {
    SCOPED_TRACE(withError ? "with an error object" : "without an error object");
    Host().ClearRecords();
    // The marker in a line read before the failure is not reported.
    Host().SetPythonLogger({Failing({run_support::MARKER, "b"}, 1, withError)});

    EXPECT_FALSE(RunBalanced());
    const std::vector<standin::MessageBoxRecord>& boxes = Host().MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, withError ? run_support::READ_ERROR : "");
    EXPECT_EQ(boxes[0].flags, run_support::ICON_EXCLAMATION);
    EXPECT_EQ(LogBytes(), "kept");
    EXPECT_TRUE(Outputs().empty());
  }
}

TEST_P(RunPaths, FileThatDoesNotOpenFailsQuietly) {
  Host().SetPythonLogger({Storing({"python"})});
  SetUnreadableDefaultLogger();
  Load();

  // The host folder does not exist.
  const std::filesystem::path missing = HostFolder() / "missing";
  Host().SetHostFolder(missing);
  EXPECT_FALSE(RunBalanced());
  EXPECT_FALSE(std::filesystem::exists(missing));

  // The host refuses to open it; an existing file keeps its bytes.
  Host().SetHostFolder(HostFolder());
  PlaceLog("kept");
  FailNext(Site::OpenHostFile);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), "kept");

  // No file object at all.
  FailNext(Site::AllocHostFile);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), "kept");

  // No box (the default logger was never read) and no output.
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(RunPaths, FileNameThatCannotBeMadeIsAFileThatDoesNotOpen) {
  Host().SetPythonLogger({Storing({"python"})});
  SetUnreadableDefaultLogger();
  Load();
  for (const Site site : {Site::FileNameFromCString, Site::GetHostPath, Site::JoinFileName}) {
    SCOPED_TRACE(standin::SiteName(site));
    FailNext(site);
    EXPECT_FALSE(RunBalanced());
    EXPECT_FALSE(LogBytes().has_value());
  }
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(RunPaths, DefaultGatheringFailureLeavesTheHeaderOnly) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::vector{Failing({"a", "b"}, 1)});
  Load();
  PlaceLog("an older, longer log that the run replaces\n");

  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER);
  EXPECT_EQ(LogBytes()->size(), 18u);
  ASSERT_EQ(Host().MessageBoxes().size(), 1u);
  EXPECT_EQ(Host().MessageBoxes()[0].text, run_support::READ_ERROR);
  EXPECT_EQ(Host().MessageBoxes()[0].flags, run_support::ICON_EXCLAMATION);
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(RunPaths, PythonLoggerWithoutLinesGoesOnToTheFile) {
  Host().SetPythonLogger({Storing({})});
  Host().SetDefaultLogger(std::vector{Storing({"default"})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "default\n" + FOOTER);
}

TEST_P(RunPaths, PythonLoggerWithoutLineStoringTypeGoesOnToTheFile) {
  Host().SetPythonLogger({NotStoring()});
  Host().SetDefaultLogger(std::vector{Storing({"default"})});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "default\n" + FOOTER);
}

TEST_P(RunPaths, SecondRunStartsAfreshAndGathersWhatTheLoggersHoldThen) {
  Host().SetPythonLogger({Storing({"python"})});
  Host().SetDefaultLogger(std::vector{Storing({"d1", "d2"})});
  Load();

  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "d1\nd2\n" + FOOTER);

  // The default logger's line-storing type kept the first run's echoes.
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "d1\nd2\nMessage: d1\nMessage: d2\n" + FOOTER);
  EXPECT_EQ(Outputs(),
            (std::vector<std::string>{Message("d1"), Message("d2"), Message("Message: d1"), Message("Message: d2")}));
}

TEST_P(RunPaths, PythonLoggerIsLookedUpAtEveryRun) {
  Host().SetPythonEntry(standin::RegistryEntry::Missing);
  Host().SetDefaultLogger(std::vector{NotStoring()});
  Load();

  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + FOOTER);

  Host().SetPythonLogger({Storing({"registered later"})});
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "registered later\n" + FOOTER);

  Host().SetPythonLogger({Storing({run_support::MARKER})});
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "registered later\n" + FOOTER);
  EXPECT_EQ(Outputs(), std::vector<std::string>{Found(run_support::MARKER)});

  Host().SetPythonEntry(standin::RegistryEntry::NotALogger);
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + FOOTER);
}

TEST_P(RunPaths, FailedRunLeavesNothingForTheNext) {
  Host().SetPythonLogger({Failing({"a"}, 0)});
  Host().SetDefaultLogger(std::vector{Storing({"d"})});
  Load();
  EXPECT_FALSE(RunBalanced());

  Host().SetPythonLogger({Storing({"p"})});
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "d\n" + FOOTER);
  EXPECT_TRUE(Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, RunPaths, ::testing::ValuesIn(harness::FLOORS), harness::FloorName);

}  // namespace
