// consolelog.txt byte for byte: the frame, the lines as UTF-8, and what a
// lost write or a failed close does to the file and the answer.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "standin/utf8.h"
#include "support/run_support.h"

namespace {

using namespace std::string_literals;
using harness::NotStoring;
using harness::Storing;
using run_support::FOOTER;
using run_support::HEADER;
using run_support::Message;
using run_support::StoringCodes;
using standin::Site;

// A host folder whose consolelog.txt is a link to the full device (writes to
// it fail with "No space left on device"): the test's own folder natively;
// under wine a folder of the Unix side, made and removed there, since wine
// shows the link as a file that does not exist (and cannot remove it). Empty
// `Unusable()`, or why there is none.
class FullLogFolder {
 public:
  explicit FullLogFolder(const std::filesystem::path& own) : folder_(own) {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) {
      unusable_ = "Windows has no full device to link to";
      return;
    }
    std::random_device random;
    unixFolder_ = "/tmp/harlwick-full-" + std::to_string(random()) + std::to_string(random());
    folder_ = standin::PathFromUtf8("Z:" + unixFolder_);
    const std::string link = "start /wait /unix /bin/ln -s /dev/full " + unixFolder_ + "/consolelog.txt";
    std::filesystem::create_directories(folder_);
    // The program's exit code does not come back through start: the link
    // is there when the name opens.
    (void)std::system(link.c_str());
    if (!std::ifstream(folder_ / "consolelog.txt")) unusable_ = "could not link " + unixFolder_ + " to /dev/full";
#else
    std::error_code linked;
    std::filesystem::create_symlink("/dev/full", folder_ / "consolelog.txt", linked);
    if (linked) unusable_ = "could not link to /dev/full: " + linked.message();
#endif
  }
  ~FullLogFolder() {
#ifdef _WIN32
    if (!unixFolder_.empty()) (void)std::system(("start /wait /unix /bin/rm -rf " + unixFolder_).c_str());
#endif
  }
  FullLogFolder(const FullLogFolder&) = delete;
  FullLogFolder& operator=(const FullLogFolder&) = delete;

  const std::filesystem::path& Path() const { return folder_; }
  const std::string& Unusable() const { return unusable_; }

 private:
  std::filesystem::path folder_;
  std::string unixFolder_;
  std::string unusable_;
};

// The lines come from the Python logger, looked up afresh at every run; the
// default logger stores nothing, so the file holds the Python lines.
class LogFile : public run_support::RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    Host().SetDefaultLogger(std::vector{NotStoring()});
  }
  void WithLines(std::vector<std::u32string> lines) { Host().SetPythonLogger({StoringCodes(std::move(lines))}); }
};

TEST_P(LogFile, EmptyArrayGivesTheFrameOnly) {
  WithLines({});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), "Start log regels.\nEinde log regels.\n");
  EXPECT_EQ(LogBytes()->size(), 36u);
  EXPECT_TRUE(Outputs().empty());
}

TEST_P(LogFile, LinesStandBetweenHeaderAndFooterUnchanged) {
  WithLines({U"abc", U"", U"ends in its own feed\n", U"carriage\rreturn", U"  blanks kept  "});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "\x61\x62\x63\n" + "\n" + "ends in its own feed\n\n" + "carriage\rreturn\n" +
                            "  blanks kept  \n" + FOOTER);
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Message("abc"), Message(""), Message("ends in its own feed\n"),
                                                 Message("carriage\rreturn"), Message("  blanks kept  ")}));
}

TEST_P(LogFile, CharactersAreWrittenAsUtf8WithoutBom) {
  WithLines({U"\u00e9", U"\u20ac", U"\U0001F600", std::u32string(1, U'\0'), U"a" + std::u32string(1, 0xD800),
             std::u32string(1, 0x110000), U"\u00ff\u0100",
             // Each bound of the encoding's lengths, and of the surrogates.
             U"\u007f\u0080\u07ff\u0800\uffff\U00010000\U0010FFFF" + std::u32string(1, 0xDFFF) + U"\ue000"});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER +
                            "\xC3\xA9\n"
                            "\xE2\x82\xAC\n"
                            "\xF0\x9F\x98\x80\n"s +
                            "\0\n"s +
                            "a\xEF\xBF\xBD\n"
                            "\xEF\xBF\xBD\n"
                            "\xC3\xBF\xC4\x80\n"
                            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"
                            "\xEF\xBF\xBD\xEE\x80\x80\n" +
                            FOOTER);
}

TEST_P(LogFile, NullLineIsWrittenAsALoneLineFeed) {
  standin::LoggerTypeSpec type = Storing({"before", "", "after"});
  type.nullLines = {false, true, false};
  Host().SetPythonLogger({type});
  Load();
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "before\n\nafter\n" + FOOTER);
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Message("before"), Message(""), Message("after")}));
}

TEST_P(LogFile, ARunThatWritesTheFileLeavesOnlyItsOwnBytes) {
  Host().SetPythonLogger({Storing({"a much longer first run", "with two lines"})});
  Load();
  PlaceLog(std::string(4096, 'x'));
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "a much longer first run\nwith two lines\n" + FOOTER);

  Host().SetPythonLogger({Storing({"short"})});
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "short\n" + FOOTER);
}

// A lost byte makes the answer false; the run still writes everything else
// and closes the file, and shows no box.
TEST_P(LogFile, LostByteAnywhereGivesFalseAndTheRestIsWritten) {
  WithLines({U"abc"});
  Load();
  struct Case {
    const char* where;
    int64_t byte;  // index among the run's byte writes
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"header", 3, "Stat log regels.\nabc\n" + FOOTER},
      {"header's line feed", 17, "Start log regels.abc\n" + FOOTER},
      {"line", 19, HEADER + "ac\n" + FOOTER},
      {"footer", 22, HEADER + "abc\ninde log regels.\n"},
      {"footer's line feed", 39, HEADER + "abc\nEinde log regels."},
  };
  for (const Case& lost : cases) {
    SCOPED_TRACE(lost.where);
    Host().GetFaults().Clear();
    Host().GetFaults().FailSite(Site::WriteByte, lost.byte, 1);
    Host().ClearRecords();
    EXPECT_FALSE(RunBalanced());
    EXPECT_EQ(LogBytes(), lost.expected);
    EXPECT_TRUE(Boxes().empty());
  }
}

TEST_P(LogFile, LostByteOfAMultiByteCharacterGivesFalse) {
  WithLines({U"\u20ac"});
  Load();
  FailNext(Site::WriteByte, 19);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "\xE2\xAC\n" + FOOTER);
}

TEST_P(LogFile, FailedCloseGivesFalseWithoutABox) {
  WithLines({U"abc"});
  Load();
  FailNext(Site::CloseFile);
  EXPECT_FALSE(RunBalanced());
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Outputs(), std::vector<std::string>{Message("abc")});
  // What the host still held unwritten is lost; the rest stands.
  const std::optional<std::string> bytes = LogBytes();
  ASSERT_TRUE(bytes.has_value());
  const std::string whole = HEADER + "abc\n" + FOOTER;
  EXPECT_LT(bytes->size(), whole.size());
  EXPECT_EQ(*bytes, whole.substr(0, bytes->size()));
}

TEST_P(LogFile, LineWhoseTextCannotBeMadeIsLeftOutAndGivesFalse) {
  WithLines({U"first", U"second", U"third"});
  Load();
  // The header is the run's first joined text, then one per line.
  FailNext(Site::ConcatString, 2);
  EXPECT_FALSE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "first\nthird\n" + FOOTER);
  // The echo comes before the write, so every line is still reported.
  EXPECT_EQ(Outputs(), (std::vector<std::string>{Message("first"), Message("second"), Message("third")}));
  EXPECT_TRUE(Boxes().empty());
}

// A file whose last bytes cannot reach the disk at its close answers false,
// with the system's reason, on every platform: the host flushes the file
// before it closes it.
TEST_P(LogFile, FileOnAFullDeviceAnswersFalseWithTheReason) {
  const FullLogFolder full(HostFolder());
  if (!full.Unusable().empty()) GTEST_SKIP() << full.Unusable();
  Host().SetHostFolder(full.Path());
  WithLines({U"abc"});
  Load();
  EXPECT_FALSE(RunBalanced());
  EXPECT_TRUE(Boxes().empty());
  ASSERT_EQ(Host().FileFailures().size(), 1u);
  const standin::FileFailure& failure = Host().FileFailures()[0];
  EXPECT_EQ(failure.operation, "write");
  EXPECT_EQ(failure.path, standin::Utf8FromPath(full.Path() / "consolelog.txt"));
  EXPECT_EQ(failure.reason, std::strerror(ENOSPC));
}

// A header or footer whose text cannot be made, as the joined text or as
// the host's constant text of its literal, is lost as a lost write is:
// nothing of it reaches the file, not even its line feed.
TEST_P(LogFile, HeaderOrFooterWhoseTextCannotBeMadeGivesFalse) {
  Host().SetPythonLogger({Storing({"line"})});
  Load();
  struct Case {
    const char* name;
    bool header;    // the header's text is lost, else the footer's
    bool constant;  // the host's constant text, else the joined one
  };
  for (const Case& test : {Case{"header joined", true, false}, Case{"footer joined", false, false},
                           Case{"header constant", true, true}, Case{"footer constant", false, true}}) {
    SCOPED_TRACE(test.name);
    if (test.constant)
      Host().SetOddAnswers({.constTextNotMade = test.header ? "Start log regels." : "Einde log regels."});
    else
      FailNext(Site::ConcatString, test.header ? 0 : 2);
    EXPECT_FALSE(RunBalanced());
    EXPECT_EQ(LogBytes(), test.header ? "line\n" + FOOTER : HEADER + "line\n");
    Host().SetOddAnswers({});
  }
}

// Every text written to the file has its length read before each of its
// characters, and once more at its end.
TEST_P(LogFile, LengthIsReadBeforeEveryCharacter) {
  WithLines({U"abc", U"", U"\u00e9\u20ac"});
  Load();
  EXPECT_TRUE(RunBalanced());
  const standin::Events run = LastRun();
  // The texts written: the header, each line with its line feed, the footer.
  const standin::Events joined = run.Of(standin::Match{standin::Call::ConcatStringCString});
  std::vector<uint64_t> texts;
  for (const standin::Event& event : joined.All()) texts.push_back(event.made);
  ASSERT_EQ(texts.size(), 5u);
  const std::vector<int64_t> lengths = {18, 4, 1, 3, 18};
  for (size_t index = 0; index < texts.size(); ++index) {
    SCOPED_TRACE("text " + std::to_string(index));
    const standin::Events reads = run.Of([&](const standin::Event& event) {
      return event.object == texts[index] &&
             (event.call == standin::Call::StringGetLength || event.call == standin::Call::StringGetChar);
    });
    std::vector<standin::Call> expected = {standin::Call::StringGetLength};
    for (int64_t character = 0; character < lengths[index]; ++character)
      expected.insert(expected.end(), {standin::Call::StringGetChar, standin::Call::StringGetLength});
    EXPECT_EQ(reads.Calls(), expected) << reads.Text();
  }
}

TEST_P(LogFile, FailedEchoDoesNotStopTheLine) {
  WithLines({U"one", U"two"});
  Load();
  // The first echo cannot be formatted, the second cannot be written.
  FailNext(Site::FormatText);
  FailNext(Site::LoggerWrite);
  EXPECT_TRUE(RunBalanced());
  EXPECT_EQ(LogBytes(), HEADER + "one\ntwo\n" + FOOTER);
  EXPECT_TRUE(Outputs().empty());
  EXPECT_EQ(Host().ShownConsole().back(), "Console output failed");

  // Without the host's text of that line, nothing is printed in its place.
  Host().SetOddAnswers({.constTextNotMade = "Console output failed"});
  Host().ClearRecords();
  FailNext(Site::FormatText);
  EXPECT_TRUE(RunBalanced());
  EXPECT_TRUE(Host().Console().empty());
  EXPECT_EQ(LogBytes(), HEADER + "one\ntwo\n" + FOOTER);
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, LogFile, ::testing::ValuesIn(harness::Generations()), harness::SetupName);

}  // namespace
