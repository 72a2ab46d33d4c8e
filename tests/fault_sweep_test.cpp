// The fault sweep. One cycle is a module's whole life in a fresh host: load
// (action 1), start, message 1, one run of the command, unload. A clean cycle
// of each scenario first counts its fallible host calls (K) and records the
// site of each; then a cycle runs for every index i in [0, K) and every mode:
// call i failed alone, every call from i on failed, or a run of 2, 3 or 4
// calls from i failed. Each cycle must end without a crash, with nothing left
// held by the module, and with an outcome that the failure's way out allows.
//
// Replaying one case (the failure message names the exact command):
//   HARLWICK_FAULT_SCENARIO=<test name> HARLWICK_FAULT_MODE=one|from|run2|run3|run4
//   HARLWICK_FAULT_INDEX=<i> harlwick_tests --gtest_filter='*FaultSweep.<scenario>/Floor<floor>[EndAfter]'
// HARLWICK_FAULT_INDEX alone replays index i in every mode and scenario; a
// replayed case also prints its trace of host calls.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "standin/faults.h"
#include "standin/host.h"
#include "standin/loader.h"
#include "standin/utf8.h"
#include "support/harness.h"
#include "support/trace_support.h"

namespace {

using standin::LoggerTypeSpec;
using standin::Site;

constexpr const char* MARKER = "Velmaris logging done!";
constexpr const char* HEADER = "Start log regels.\n";
constexpr const char* FOOTER = "Einde log regels.\n";
constexpr const char* REGISTERED = "Quistmoor succesvol";
constexpr const char* NOT_REGISTERED = "Could not register plugin - Quistmoor.";

// ---- Scenarios ----

struct Scenario {
  std::string name;
  std::vector<LoggerTypeSpec> python;
  standin::RegistryEntry pythonEntry = standin::RegistryEntry::Logger;
  std::vector<LoggerTypeSpec> defaultTypes;
  // A consolelog.txt that an earlier session left; nullopt: none.
  std::optional<std::string> earlierLog;
};

// Lines are kept short: every byte of the file is one fallible write.
const std::vector<Scenario>& Scenarios() {
  using harness::EmptyEntry;
  using harness::NotStoring;
  using harness::Storing;
  static const std::vector<Scenario> scenarios = {
      {"MarkerFound",
       {Storing({"go", "Velmaris logging done!", "x Velmaris logging done!"})},
       standin::RegistryEntry::Logger,
       {NotStoring(), Storing({"d1"})},
       std::string("earlier log\r\n")},
      {"FileWritten",
       {Storing({"py"})},
       standin::RegistryEntry::Logger,
       {NotStoring(), Storing({"\xC3\xA9\xC3\xA9n", "", "5 \xE2\x82\xAC"})},
       std::nullopt},
      {"NoPythonLogger", {Storing({"unseen"})}, standin::RegistryEntry::NotALogger, {Storing({"only"})}, std::nullopt},
      {"DefaultWithoutLineStoringType",
       {Storing({"p1", "p\xC3\xBC"})},
       standin::RegistryEntry::Logger,
       {NotStoring(), EmptyEntry()},
       std::nullopt},
      // Its first type's nine lines grow the array a second time, by a resize.
      {"SeveralLineStoringTypes",
       {Storing({"1", "2", "3", "4", "5", "6", "7", "8", "9"}), NotStoring(), Storing({"p1", "p2"})},
       standin::RegistryEntry::Logger,
       {Storing({"d-old"}), EmptyEntry(), Storing({"d1", "d2"}), NotStoring()},
       std::string("earlier log\n")},
  };
  return scenarios;
}

const Scenario& ScenarioNamed(const std::string& name) {
  for (const Scenario& scenario : Scenarios())
    if (scenario.name == name) return scenario;
  std::abort();  // only the test bodies below name scenarios
}

// ---- What a run may end with ----

// The lines a gathering leaves: those of the logger's last line-storing type,
// or `before` when it has none.
std::vector<std::string> Gathered(const std::vector<LoggerTypeSpec>& types, std::vector<std::string> before) {
  for (const LoggerTypeSpec& type : types) {
    if (type.emptyEntry || !type.storesLines) continue;
    before.clear();
    for (const std::u32string& line : type.lines) before.push_back(standin::EncodeUtf8(line));
  }
  return before;
}

// One way a run can end that is complete: the marker reported, or the file
// written in full.
struct Completion {
  bool found = false;
  std::string bytes;                 // the file, when not found
  std::vector<std::string> outputs;  // the default logger's outputs
};

// The complete endings a run may have. Some host failures are not failures of
// the run: a list of logger types that cannot be made is an empty list, a
// default logger that does not resolve is the null logger, and a marker that
// cannot be made matches nothing. Each alternative is allowed only when a
// call of its site was failed.
std::vector<Completion> Completions(const Scenario& scenario, const std::set<Site>& failed) {
  const bool typesFailed = failed.count(Site::GetLoggerTypes) != 0;
  const bool resolveFailed = failed.count(Site::ResolveLogger) != 0;
  const bool markerFailed = failed.count(Site::StringCreate) != 0 || failed.count(Site::SetCString) != 0;
  std::vector<Completion> completions;
  for (const bool pythonListed : {true, false}) {
    if (!pythonListed && !typesFailed) continue;
    for (const bool defaultListed : {true, false}) {
      if (!defaultListed && !typesFailed && !resolveFailed) continue;
      for (const bool markerMade : {true, false}) {
        if (!markerMade && !markerFailed) continue;
        Completion completion;
        const bool isLogger = scenario.pythonEntry == standin::RegistryEntry::Logger ||
                              scenario.pythonEntry == standin::RegistryEntry::CompatibleLogger;
        const std::vector<std::string> python =
            pythonListed && isLogger ? Gathered(scenario.python, {}) : std::vector<std::string>{};
        for (const std::string& line : python) {
          if (!markerMade || line.find(MARKER) == std::string::npos) continue;
          completion.found = true;
          completion.outputs.push_back("FOUND " + std::string(MARKER) + " - " + line);
        }
        if (!completion.found) {
          const std::vector<std::string> lines = defaultListed ? Gathered(scenario.defaultTypes, python) : python;
          completion.bytes = HEADER;
          for (const std::string& line : lines) {
            completion.bytes += line + "\n";
            completion.outputs.push_back("Message: " + line);
          }
          completion.bytes += FOOTER;
        }
        completions.push_back(std::move(completion));
      }
    }
  }
  return completions;
}

// Whether `part` is `whole` with some elements left out, the rest in order.
template <typename Sequence>
bool IsSubsequence(const Sequence& part, const Sequence& whole) {
  auto next = whole.begin();
  for (const auto& element : part) {
    next = std::find(next, whole.end(), element);
    if (next == whole.end()) return false;
    ++next;
  }
  return true;
}

// ---- One cycle ----

struct Cycle {
  int32_t init = 0;
  int32_t start = 0;
  int32_t message = 0;
  int32_t end = 0;
  int64_t callsThroughMessage = 0;  // fallible calls of load, start and message 1
  bool registered = false;
  std::optional<bool> answer;
  std::optional<std::string> file;
  std::vector<std::string> outputs;
  std::vector<std::string> boxes;
  std::vector<standin::ConsoleLine> console;
  std::vector<std::string> held;  // what the module still holds after unloading
  std::vector<Site> trace;
  // Orders the run broke (its common exit, a box after the releases it
  // precedes) and the host's rules the module broke (a file freed open).
  std::vector<std::string> orderProblems;
};

std::optional<std::string> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Runs one cycle in a fresh host with the calls [first, first + count)
// failed (first < 0: none). Empty `error` unless the module did not open.
Cycle RunCycle(const harness::Setup& setup, const Scenario& scenario, const std::filesystem::path& folder,
               int64_t first, int64_t count, std::string& error) {
  Cycle cycle;
  const std::filesystem::path log = folder / "consolelog.txt";
  std::filesystem::remove(log);
  if (scenario.earlierLog) std::ofstream(log, std::ios::binary) << *scenario.earlierLog;

  standin::HostOptions options;
  options.hostFolder = folder;
  options.diagnostics = true;
  options.abortOnLeak = false;
  options.trace = true;
  options.endOrder = setup.end;
  standin::Host host(options);
  host.SetPythonLogger(scenario.python, scenario.pythonEntry);
  host.SetDefaultLogger(scenario.defaultTypes);
  // A fresh load each time, so that no module state carries over.
  const std::unique_ptr<standin::ModuleFile> module =
      standin::ModuleFile::Open(harness::ModulePath(setup.floor), options.frameworks, error);
  if (!module) return cycle;
  standin::ModuleLife life(host, *module);

  standin::Faults& faults = host.GetFaults();
  faults.Record(true);
  if (first >= 0) faults.FailCalls(first, count);

  cycle.init = life.Init();
  cycle.start = life.Start();
  cycle.message = life.Message(BRN_MESSAGE_INIT_RESOURCE);
  cycle.callsThroughMessage = faults.Calls();
  for (const standin::RegisteredPlugin& plugin : host.Plugins())
    cycle.registered |= plugin.id == harness::QUISTMOOR_ID && plugin.accepted;
  cycle.answer = host.RunCommand(harness::QUISTMOOR_ID);

  cycle.file = ReadFile(log);
  for (const standin::LogOutput& output : host.DefaultLoggerOutputs()) cycle.outputs.push_back(output.text);
  for (const standin::MessageBoxRecord& box : host.MessageBoxes()) cycle.boxes.push_back(box.text);
  cycle.console = host.Console();
  cycle.end = life.End();
  cycle.held = host.GetLedger().ModuleHeldReport();
  cycle.trace = faults.Trace();
  for (const standin::Events& run : trace_support::Runs(host)) {
    for (std::string& problem : trace_support::CommonExitProblems(run)) cycle.orderProblems.push_back(problem);
    for (std::string& problem : trace_support::MessageBoxProblems(run)) cycle.orderProblems.push_back(problem);
  }
  for (const std::string& fault : host.ProtocolFaults()) cycle.orderProblems.push_back("protocol fault: " + fault);
  return cycle;
}

// ---- Judging a cycle ----

// The file's bytes as printable text: line feeds as \n, every other byte
// outside printable ASCII as \xNN (a lost byte may split a UTF-8 sequence).
std::string Quoted(const std::optional<std::string>& bytes) {
  if (!bytes) return "(no file)";
  std::string text = "\"";
  for (const char c : *bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      text += "\\n";
    } else if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

// The problems of a cycle; none when its outcome is one that the failed
// calls (their sites in `failed`) allow.
std::vector<std::string> Judge(const Scenario& scenario, const Cycle& cycle, const std::set<Site>& failed,
                               const std::set<Site>& failedThroughMessage) {
  std::vector<std::string> problems;
  const bool clean = failed.empty();
  if (cycle.init != 1) problems.push_back("action 1 answered " + std::to_string(cycle.init));
  if (cycle.start != 1) problems.push_back("action 2 answered " + std::to_string(cycle.start));
  if (cycle.end != 1) problems.push_back("action 3 answered " + std::to_string(cycle.end));
  // Message 1 fails only when the resource folder's path or handle could not be had.
  const bool resourceMayFail =
      failedThroughMessage.count(Site::Alloc) != 0 || failedThroughMessage.count(Site::ResourceFolder) != 0;
  if (cycle.message != 1 && !(cycle.message == -1 && resourceMayFail))
    problems.push_back("message 1 answered " + std::to_string(cycle.message));
  problems.insert(problems.end(), cycle.orderProblems.begin(), cycle.orderProblems.end());
  if (!cycle.held.empty()) {
    std::string report = "after unloading, the module still holds:";
    for (const std::string& line : cycle.held) report += "\n      " + line;
    problems.push_back(report);
  }

  // Registration: only an accepted command is reported as a success.
  int64_t registeredLines = 0;
  int64_t refusedLines = 0;
  for (const standin::ConsoleLine& line : cycle.console) {
    registeredLines += line.text == REGISTERED;
    refusedLines += line.text == NOT_REGISTERED && line.shown;
  }
  if (cycle.registered) {
    if (registeredLines != 1 || refusedLines != 0)
      problems.push_back("an accepted registration printed " + std::to_string(registeredLines) + " \"" + REGISTERED +
                         "\" and " + std::to_string(refusedLines) + " \"" + NOT_REGISTERED + "\"");
  } else {
    if (failedThroughMessage.count(Site::Alloc) == 0 && failedThroughMessage.count(Site::RegisterPlugin) == 0)
      problems.push_back("the command was not registered, though neither its allocation nor its registration failed");
    if (refusedLines != 1 || registeredLines != 0)
      problems.push_back("a failed registration printed " + std::to_string(refusedLines) + " \"" + NOT_REGISTERED +
                         "\" and " + std::to_string(registeredLines) + " \"" + REGISTERED + "\"");
    if (cycle.answer) problems.push_back("a command that was not registered ran");
    return problems;
  }
  if (!cycle.answer) {
    problems.push_back("the registered command did not run");
    return problems;
  }

  const std::vector<Completion> completions = Completions(scenario, failed);
  const bool untouched = cycle.file == scenario.earlierLog;
  auto outputsFit = [&] {
    for (const Completion& completion : completions)
      if (clean ? cycle.outputs == completion.outputs : IsSubsequence(cycle.outputs, completion.outputs)) return true;
    return false;
  };
  if (!outputsFit()) problems.push_back("default logger outputs that no way through gives");
  if (cycle.boxes.size() > 1) problems.push_back(std::to_string(cycle.boxes.size()) + " message boxes");

  if (*cycle.answer) {
    // Success: the marker reported with the file untouched, or a complete file.
    bool complete = false;
    for (const Completion& completion : completions)
      complete |= completion.found ? untouched : cycle.file == completion.bytes;
    if (!complete) problems.push_back("answered true with the file " + Quoted(cycle.file));
    if (!cycle.boxes.empty()) problems.push_back("answered true after a message box");
    return problems;
  }

  if (clean) problems.push_back("a clean cycle answered false");
  // The run's three failure exits: a failed read (its message box), or a
  // file that does not open or loses a write.
  auto anyFailed = [&failed](std::initializer_list<Site> sites) {
    return std::any_of(sites.begin(), sites.end(), [&failed](Site site) { return failed.count(site) != 0; });
  };
  if (!cycle.boxes.empty() && !anyFailed({Site::Iterate, Site::Alloc, Site::Realloc}))
    problems.push_back("a message box, though no read and no append failed");
  if (cycle.boxes.empty() &&
      !anyFailed({Site::FileNameFromCString, Site::GetHostPath, Site::JoinFileName, Site::AllocHostFile,
                  Site::OpenHostFile, Site::ConcatString, Site::WriteByte, Site::CloseFile}))
    problems.push_back("answered false, though no read failed and nothing of the file did");
  if (untouched) return problems;
  // A failed run may leave the file touched but not complete: lost writes
  // (a byte, a whole line whose text could not be made, or everything still
  // buffered when the close failed) only leave bytes out, and what reached
  // the file stays in order, so it is a subsequence of a complete file.
  bool lost = false;
  for (const Completion& completion : completions) {
    if (completion.found) continue;
    // With one way through, a false answer must have lost something. With
    // several, a short file of one (lines lost) may equal a complete file of
    // another (fewer lines gathered).
    if (completions.size() == 1 && cycle.file == completion.bytes)
      problems.push_back("answered false with a complete file");
    lost |= cycle.file && IsSubsequence(*cycle.file, completion.bytes);
  }
  if (!lost) problems.push_back("answered false with the file " + Quoted(cycle.file));
  // A failed read ends the run before any line or the footer is written.
  if (!cycle.boxes.empty() && !(cycle.file && IsSubsequence(*cycle.file, std::string(HEADER))))
    problems.push_back("a failed read left the file " + Quoted(cycle.file));
  return problems;
}

// ---- Crashes ----

// The case that runs now, named on stderr when the process dies of it.
char crashText[1024];

void NameCrashedCase(int number) {
  std::fputs(crashText, stderr);
  std::signal(number, SIG_DFL);
  std::raise(number);
}

class CrashNote {
 public:
  using Handler = void (*)(int);
  CrashNote() {
    for (size_t slot = 0; slot < std::size(SIGNALS); ++slot)
      previous_[slot] = std::signal(SIGNALS[slot], &NameCrashedCase);
  }
  ~CrashNote() {
    for (size_t slot = 0; slot < std::size(SIGNALS); ++slot) std::signal(SIGNALS[slot], previous_[slot]);
  }
  CrashNote(const CrashNote&) = delete;
  CrashNote& operator=(const CrashNote&) = delete;
  void Set(const std::string& note) { std::snprintf(crashText, sizeof crashText, "\nfault sweep: %s\n", note.c_str()); }

 private:
  static constexpr int SIGNALS[] = {SIGABRT, SIGSEGV, SIGFPE, SIGILL};
  Handler previous_[std::size(SIGNALS)] = {};
};

// ---- The sweep ----

struct Mode {
  const char* name;
  int64_t count;  // calls failed from the index; -1: all from it
};
constexpr Mode MODES[] = {{"one", 1}, {"from", -1}, {"run2", 2}, {"run3", 3}, {"run4", 4}};

// One case to replay, from the environment; unset fields: every value.
struct Replay {
  bool active = false;
  int64_t index = -1;
  std::string mode;
  std::string scenario;
};

std::optional<std::string> Env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// The replay the environment asks for; a one-line reason in `error` when it
// names no valid case.
Replay ReplayFromEnvironment(std::string& error) {
  Replay replay;
  const std::optional<std::string> index = Env("HARLWICK_FAULT_INDEX");
  if (!index) return replay;
  replay.active = true;
  char* end = nullptr;
  replay.index = std::strtoll(index->c_str(), &end, 10);
  if (end == index->c_str() || *end != '\0' || replay.index < 0) error = "HARLWICK_FAULT_INDEX is no index: " + *index;
  replay.mode = Env("HARLWICK_FAULT_MODE").value_or("");
  if (!replay.mode.empty() &&
      std::none_of(std::begin(MODES), std::end(MODES), [&](const Mode& mode) { return replay.mode == mode.name; }))
    error = "HARLWICK_FAULT_MODE is none of one, from, run2, run3, run4: " + replay.mode;
  replay.scenario = Env("HARLWICK_FAULT_SCENARIO").value_or("");
  if (!replay.scenario.empty() && std::none_of(Scenarios().begin(), Scenarios().end(), [&](const Scenario& scenario) {
        return scenario.name == replay.scenario;
      }))
    error = "HARLWICK_FAULT_SCENARIO names no scenario: " + replay.scenario;
  return replay;
}

std::string TraceText(const std::vector<Site>& trace, int64_t first, int64_t count) {
  std::string text;
  for (size_t index = 0; index < trace.size(); ++index) {
    const auto at = static_cast<int64_t>(index);
    const bool failed = at >= first && (count < 0 || at < first + count);
    text +=
        "    " + std::to_string(index) + " " + standin::SiteName(trace[index]) + (failed ? "  <- failed" : "") + "\n";
  }
  return text;
}

// Sites in call order, a repeated site once with its count: "WriteHostFileChar x3, CloseHostFile".
std::string SiteList(const std::vector<Site>& sites) {
  std::string text;
  for (size_t at = 0; at < sites.size();) {
    size_t repeats = 1;
    while (at + repeats < sites.size() && sites[at + repeats] == sites[at]) ++repeats;
    text += std::string(text.empty() ? "" : ", ") + standin::SiteName(sites[at]);
    if (repeats > 1) text += " x" + std::to_string(repeats);
    at += repeats;
  }
  return text;
}

class FaultSweep : public ::testing::TestWithParam<harness::Setup> {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = std::filesystem::temp_directory_path() /
              ("harlwick-sweep-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  void Sweep(const std::string& name);

 private:
  std::filesystem::path folder_;
};

void FaultSweep::Sweep(const std::string& name) {
  const Scenario& scenario = ScenarioNamed(name);
  const harness::Setup& setup = GetParam();
  const std::string test = name + "/" + harness::SetupName({setup, 0});
  std::string error;
  const Replay replay = ReplayFromEnvironment(error);
  if (!error.empty()) FAIL() << error;
  if (replay.active && !replay.scenario.empty() && replay.scenario != name)
    GTEST_SKIP() << "replaying another scenario";

  // The counting pass: a clean cycle, which must end as the scenario says.
  const Cycle counted = RunCycle(setup, scenario, folder_, -1, 0, error);
  if (!error.empty()) FAIL() << error;
  const std::vector<Site>& sites = counted.trace;
  const auto calls = static_cast<int64_t>(sites.size());
  for (const std::string& problem : Judge(scenario, counted, {}, {}))
    ADD_FAILURE() << "scenario " << test << ", clean cycle: " << problem;
  const Completion expected = Completions(scenario, {}).front();
  if (!expected.found) {
    // One host write per byte of the file.
    EXPECT_EQ(std::count(sites.begin(), sites.end(), Site::WriteByte), static_cast<int64_t>(expected.bytes.size()));
  }
  ASSERT_GT(calls, 0);
  if (replay.active && replay.index >= calls) {
    const std::string beyond = "HARLWICK_FAULT_INDEX " + std::to_string(replay.index) + " lies beyond the " +
                               std::to_string(calls) + " calls of scenario " + name;
    if (replay.scenario.empty()) GTEST_SKIP() << beyond;
    FAIL() << beyond;
  }

  CrashNote crashNote;
  std::set<Site> everFailed;
  int64_t cycles = 0;
  for (const Mode& mode : MODES) {
    if (replay.active && !replay.mode.empty() && replay.mode != mode.name) continue;
    for (int64_t index = 0; index < calls; ++index) {
      if (replay.active && index != replay.index) continue;
      const std::string replayCommand = std::string("HARLWICK_FAULT_SCENARIO=") + name +
                                        " HARLWICK_FAULT_MODE=" + mode.name +
                                        " HARLWICK_FAULT_INDEX=" + std::to_string(index) +
                                        " harlwick_tests --gtest_filter='*FaultSweep." + test + "'";
      const std::string title = "scenario " + test + ", mode " + mode.name + ", index " + std::to_string(index) + " (" +
                                standin::SiteName(sites[static_cast<size_t>(index)]) + ")";
      crashNote.Set("the cycle of " + title + " crashed; replay: " + replayCommand);

      const Cycle cycle = RunCycle(setup, scenario, folder_, index, mode.count, error);
      if (!error.empty()) FAIL() << error;
      ++cycles;
      std::set<Site> failed;
      std::set<Site> failedThroughMessage;
      std::vector<Site> failedInOrder;
      for (int64_t at = index; at < static_cast<int64_t>(cycle.trace.size()); ++at) {
        if (mode.count >= 0 && at >= index + mode.count) break;
        const Site site = cycle.trace[static_cast<size_t>(at)];
        failedInOrder.push_back(site);
        failed.insert(site);
        if (at < cycle.callsThroughMessage) failedThroughMessage.insert(site);
      }
      everFailed.insert(failed.begin(), failed.end());

      std::vector<std::string> problems = Judge(scenario, cycle, failed, failedThroughMessage);
      // Up to the first failed call a cycle repeats the clean one, so that
      // the index names the same call in both.
      if (cycle.trace.size() <= static_cast<size_t>(index) ||
          !std::equal(sites.begin(), sites.begin() + index + 1, cycle.trace.begin()))
        problems.push_back("the host calls up to the failed one differ from those of the clean cycle");
      if (!problems.empty() || replay.active) {
        std::string report = title + "; failed calls: " + SiteList(failedInOrder) + "; answer " +
                             (cycle.answer ? (*cycle.answer ? "true" : "false") : "none") + ", file " +
                             Quoted(cycle.file);
        for (const std::string& problem : problems) report += "\n    - " + problem;
        report += "\n    replay: " + replayCommand;
        if (replay.active) report += "\n  host calls:\n" + TraceText(cycle.trace, index, mode.count);
        if (problems.empty()) {
          std::cout << "[ replay ] " << report << "\n";
        } else {
          ADD_FAILURE() << report;
        }
      }
    }
  }

  if (!replay.active) {
    // The sweep failed every fallible host operation that the cycle reaches,
    // the failure paths' own calls (the out-of-memory error, an error's text)
    // included; a cycle that writes the file reaches every one but the
    // resize, which only a pass of more than eight lines needs.
    std::set<Site> reached(sites.begin(), sites.end());
    reached.insert({Site::CreateError, Site::ErrorToString});
    if (!expected.found)
      for (size_t site = 0; site < standin::SITE_COUNT; ++site)
        if (static_cast<Site>(site) != Site::Realloc) reached.insert(static_cast<Site>(site));
    std::vector<Site> neverFailed;
    std::set_difference(reached.begin(), reached.end(), everFailed.begin(), everFailed.end(),
                        std::back_inserter(neverFailed));
    EXPECT_TRUE(neverFailed.empty()) << "scenario " << name << " never failed: " << SiteList(neverFailed);
  }
  std::cout << "[ sweep  ] " << test << ": K = " << calls << ", " << cycles << " cycles with injected faults\n";
}

TEST_P(FaultSweep, MarkerFound) {
  Sweep("MarkerFound");
}
TEST_P(FaultSweep, FileWritten) {
  Sweep("FileWritten");
}
TEST_P(FaultSweep, NoPythonLogger) {
  Sweep("NoPythonLogger");
}
TEST_P(FaultSweep, DefaultWithoutLineStoringType) {
  Sweep("DefaultWithoutLineStoringType");
}
TEST_P(FaultSweep, SeveralLineStoringTypes) {
  Sweep("SeveralLineStoringTypes");
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, FaultSweep, ::testing::ValuesIn(harness::BothEndOrders()), harness::SetupName);

}  // namespace
