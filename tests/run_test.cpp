// The command's run as a whole: each way through it with its answer, the
// file, the message box and the default logger's outputs; and runs in a row.
#include <array>
#include <string>
#include <utility>
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
using standin::Call;
using standin::Event;
using standin::Events;
using standin::Site;
using trace_support::Released;

// The calls of the file phase that make, open, close and free its objects.
bool IsFileCall(const Event& event) {
  switch (event.call) {
    case Call::FileNameFromCString:
    case Call::GetHostPath:
    case Call::JoinFileName:
    case Call::FreeFileName:
    case Call::AllocHostFile:
    case Call::OpenHostFile:
    case Call::CloseHostFile:
    case Call::FreeHostFile:
      return true;
    default:
      return false;
  }
}

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

  // Each echo comes right before its line's bytes.
  const Events run = LastRun();
  const uint64_t defaultLogger = Host().LoggerSerial(standin::DEFAULT_LOGGER_ID);
  EXPECT_EQ(trace_support::BytesAroundOutputs(run, defaultLogger),
            (std::vector<std::string>{HEADER, "one\n", "two\n" + FOOTER}));

  // The file's objects, made and released in their order: the bare name,
  // the folder, the joined name; the folder freed, then the bare name; the
  // file allocated, opened, written, closed and freed; the default logger
  // released; the joined name freed.
  const Events file = run.Of(IsFileCall);
  ASSERT_EQ(file.Calls(),
            (std::vector<Call>{Call::FileNameFromCString, Call::GetHostPath, Call::JoinFileName, Call::FreeFileName,
                               Call::FreeFileName, Call::AllocHostFile, Call::OpenHostFile, Call::CloseHostFile,
                               Call::FreeHostFile, Call::FreeFileName}))
      << file.Text();
  const uint64_t bare = file[0].made;
  const uint64_t folder = file[1].made;
  const uint64_t joined = file[2].made;
  const uint64_t hostFile = file[5].made;
  EXPECT_EQ(file[1].args[0], 8) << "the host folder's path kind";
  EXPECT_EQ(std::pair(file[2].object, file[2].other), std::pair(folder, bare)) << "the folder comes first";
  EXPECT_EQ(file.Objects(),
            (std::vector<uint64_t>{0, 0, folder, folder, bare, 0, hostFile, hostFile, hostFile, joined}));
  EXPECT_EQ(file[6].other, joined);
  EXPECT_EQ(file[6].args, (std::array<int64_t, 5>{BRN_FILEOPEN_WRITE, BRN_FILEDIALOG_NONE, BRN_BYTEORDER_V_MOTOROLA,
                                                  0x42524E43, 0x42524E31}))
      << "mode, dialog, byte order, type and creator";
  // Every byte goes to the open file; the run's reference to the default
  // logger goes after the file and before its name.
  const int64_t opened = run.First({Call::OpenHostFile});
  const int64_t closed = run.First({Call::CloseHostFile});
  EXPECT_EQ(run.Slice(0, opened).Bytes(), "");
  EXPECT_EQ(run.Slice(closed, -1).Bytes(), "");
  const Events afterClose = run.Slice(closed, -1);
  EXPECT_EQ(afterClose.Of(Released(defaultLogger)).Size(), 1u);
  EXPECT_TRUE(afterClose.Before({Call::FreeHostFile}, Released(defaultLogger)));
  EXPECT_TRUE(afterClose.Before(Released(defaultLogger), {Call::FreeFileName, joined}));
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
  // The open failure's way out: the file object freed, then the name; the
  // default logger is not asked for.
  const Events run = LastRun();
  const Events file = run.Of(IsFileCall);
  ASSERT_EQ(file.Size(), 9u) << file.Text();
  EXPECT_TRUE(file[6].failed);
  EXPECT_EQ(file.Slice(7, -1).Calls(), (std::vector<Call>{Call::FreeHostFile, Call::FreeFileName}));
  EXPECT_EQ(file[7].object, file[5].made);
  EXPECT_EQ(file[8].object, file[2].made);
  EXPECT_LT(run.First({Call::ResolveLogger}), 0);
  EXPECT_EQ(run.Bytes(), "");

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

  // After the box: the failing type's two references and the list's, the
  // list itself, then the file closed and freed, the default logger
  // released and the file's name freed.
  const Events run = LastRun();
  const uint64_t logger = Host().LoggerSerial(standin::DEFAULT_LOGGER_ID);
  const uint64_t type = Host().LoggerTypeSerials(standin::DEFAULT_LOGGER_ID).at(0);
  const uint64_t list = run[static_cast<size_t>(run.Last({Call::GetLoggerTypes}))].made;
  const uint64_t hostFile = run[static_cast<size_t>(run.First({Call::AllocHostFile}))].made;
  const uint64_t joined = run[static_cast<size_t>(run.First({Call::JoinFileName}))].made;
  const int64_t box = run.First({Call::ShowErrorMessage});
  const int64_t exit = run.First(Released(run[static_cast<size_t>(run.First({Call::StringSetCString}))].object));
  const Events between = run.Slice(box, exit).Of([&](const Event& event) {
    return IsFileCall(event) || (event.call == Call::Free && event.object == list) ||
           (event.call == Call::Release && (event.object == type || event.object == logger));
  });
  EXPECT_EQ(between.Calls(),
            (std::vector<Call>{Call::Release, Call::Release, Call::Release, Call::Free, Call::CloseHostFile,
                               Call::FreeHostFile, Call::Release, Call::FreeFileName}))
      << between.Text();
  EXPECT_EQ(between.Objects(), (std::vector<uint64_t>{type, type, type, list, hostFile, hostFile, logger, joined}));
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
  EXPECT_EQ(Host().DefaultLoggerResolutions(), 1);

  // The default logger's line-storing type kept the first run's echoes.
  Host().ClearRecords();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "d1\nd2\nMessage: d1\nMessage: d2\n" + FOOTER);
  EXPECT_EQ(Outputs(),
            (std::vector<std::string>{Message("d1"), Message("d2"), Message("Message: d1"), Message("Message: d2")}));
  // Resolved once for the module's life.
  EXPECT_EQ(Host().DefaultLoggerResolutions(), 1);
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

INSTANTIATE_TEST_SUITE_P(AllGenerations, RunPaths, ::testing::ValuesIn(harness::EveryHost()), harness::SetupName);

}  // namespace
