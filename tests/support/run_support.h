// Helpers for the tests of the command's run: the texts a run produces, logger
// types built from raw code points, and a run that checks the module gave
// back everything it took during the run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "standin/faults.h"
#include "support/harness.h"
#include "support/trace_support.h"

namespace run_support {

inline constexpr const char* MARKER = "Velmaris logging done!";
inline const std::string HEADER = "Start log regels.\n";
inline const std::string FOOTER = "Einde log regels.\n";
inline constexpr const char* SOURCE_FILE = "..\\source\\Quistmoor";
inline constexpr int32_t AUDIENCE_ALL = 14;
inline constexpr int32_t WRITEMETA_DEFAULT = 1;
inline constexpr int32_t ICON_EXCLAMATION = 48;
inline constexpr const char* READ_ERROR = "Reading the logger failed.";

inline std::string Found(const std::string& line) {
  return "FOUND " + std::string(MARKER) + " - " + line;
}
inline std::string Message(const std::string& line) {
  return "Message: " + line;
}

// A line-storing logger type holding these code points as they stand.
inline standin::LoggerTypeSpec StoringCodes(std::vector<std::u32string> lines) {
  standin::LoggerTypeSpec type;
  type.lines = std::move(lines);
  return type;
}

// A line-storing logger type whose iteration fails before handing over
// line `failAt`, with or without an error object.
inline standin::LoggerTypeSpec Failing(std::initializer_list<const char*> utf8, int64_t failAt, bool withError = true) {
  standin::LoggerTypeSpec type = harness::Storing(utf8);
  type.failAtLine = failAt;
  type.failWithError = withError;
  return type;
}

// A line-storing logger type with `count` lines "line 0", "line 1", ...
inline standin::LoggerTypeSpec Numbered(int count) {
  standin::LoggerTypeSpec type;
  for (int index = 0; index < count; ++index) {
    const std::string text = "line " + std::to_string(index);
    type.lines.emplace_back(text.begin(), text.end());
  }
  return type;
}

class RunFixture : public harness::ModuleTest {
 protected:
  // Runs the command and expects the run to have released every host object
  // and allocation it took, by kind, its common exit to have released in
  // its order, and a failed read's box to come before that read's releases.
  bool RunBalanced() {
    const standin::LedgerCounts before = Host().GetLedger().Counts();
    const bool answer = Run();
    const standin::LedgerCounts after = Host().GetLedger().Counts();
    for (size_t kind = 0; kind < standin::KIND_COUNT; ++kind)
      EXPECT_EQ(after.moduleHeld[kind], before.moduleHeld[kind])
          << "the run changed what the module holds of kind " << standin::KindName(static_cast<standin::Kind>(kind));
    EXPECT_EQ(after.moduleBytes, before.moduleBytes) << "the run changed the bytes the module holds";
    const standin::Events run = trace_support::LastRun(Host());
    for (const std::string& problem : trace_support::CommonExitProblems(run)) ADD_FAILURE() << problem;
    for (const std::string& problem : trace_support::MessageBoxProblems(run)) ADD_FAILURE() << problem;
    return answer;
  }

  // The events of the last run.
  standin::Events LastRun() const { return trace_support::LastRun(const_cast<RunFixture*>(this)->Host()); }

  // Fails the next `count` calls of `site`, counted from now.
  void FailNext(standin::Site site, int64_t skip = 0, int64_t count = 1) {
    standin::Faults& faults = Host().GetFaults();
    faults.FailSite(site, faults.SiteCalls(site) + skip, count);
  }

  // Puts a consolelog.txt with these bytes into the host folder.
  void PlaceLog(const std::string& bytes) {
    std::ofstream out(LogFile(), std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  // A default logger that would fail the run if it were read: a run that
  // leaves it unread shows no message box.
  void SetUnreadableDefaultLogger() { Host().SetDefaultLogger(std::vector{Failing({"default"}, 0)}); }
};

}  // namespace run_support
