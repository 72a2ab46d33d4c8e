// The cost of one Quistmoor run in the stand-in host, measured on the real
// module of the newest generation:
//   WholeRun      the run that writes consolelog.txt, per character and per line;
//   BareProtocol  only the host calls the file demands: one GetLength, one
//                 GetChar and one WriteHostFileChar per byte, on the same lines;
//   PlainWrite    the same bytes written with one buffered fwrite per line;
//   Alternating   WholeRun and BareProtocol in turn, for their ratio under a
//                 changing load;
//   MarkerFound   the run that finds the end marker in the Python logger's last line;
// and what the module holds in host memory per gathered line. After the
// runs it prints the ratios between them.
//
//   harlwick_bench [benchmark options]   the benchmarks
//   harlwick_bench --profile-lines=N     one run of each kind, for callgrind:
//     valgrind --tool=callgrind --toggle-collect='*ProfiledWholeRun*' harlwick_bench --profile-lines=10000
#include <benchmark/benchmark.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "standin/host.h"
#include "standin/loader.h"
#include "standin/utf8.h"

namespace {

constexpr int32_t QUISTMOOR_ID = 1050115;
constexpr uint32_t NEWEST_FLOOR = 2024900;
constexpr size_t LINE_LENGTH = 100;
// The Python logger of a run that writes the file: a few thousand lines, no marker.
constexpr size_t PYTHON_LINES = 2000;
// The host's default logger lists a type that keeps no lines, then the one that does.
constexpr size_t STORING_TYPE = 1;
constexpr std::string_view HEADER = "Start log regels.\n";
constexpr std::string_view FOOTER = "Einde log regels.\n";
constexpr const char32_t* MARKER = U"Velmaris logging done!";

using Clock = std::chrono::steady_clock;

// The functions that callgrind counts: kept apart, neither inlined nor
// folded together with another of the same code.
#if defined(__clang__)
#define PROFILED __attribute__((noinline))
#else
#define PROFILED __attribute__((noipa))
#endif

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// `count` lines of LINE_LENGTH printable characters. With `nonAscii`, every
// fourth character is one of 2 or 3 UTF-8 bytes.
std::vector<std::u32string> MakeLines(size_t count, bool nonAscii, uint32_t seed) {
  static constexpr char32_t WIDE[] = {0x00E9, 0x00DF, 0x03A9, 0x0436, 0x20AC, 0x2192, 0x4E2D, 0x0151};
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> ascii(0x20, 0x7E);
  std::uniform_int_distribution<size_t> wide(0, std::size(WIDE) - 1);
  std::vector<std::u32string> lines(count);
  for (std::u32string& line : lines) {
    line.resize(LINE_LENGTH);
    for (size_t index = 0; index < LINE_LENGTH; ++index)
      line[index] = nonAscii && index % 4 == 3 ? WIDE[wide(random)] : static_cast<char32_t>(ascii(random));
  }
  return lines;
}

// The characters and bytes of the file a run writes for these lines.
struct FileSize {
  int64_t characters = 0;
  int64_t bytes = 0;
};

FileSize SizeOf(const std::vector<std::u32string>& lines) {
  FileSize size{static_cast<int64_t>(HEADER.size() + FOOTER.size()),
                static_cast<int64_t>(HEADER.size() + FOOTER.size())};
  for (const std::u32string& line : lines) {
    size.characters += static_cast<int64_t>(line.size()) + 1;
    size.bytes += static_cast<int64_t>(standin::EncodeUtf8(line).size()) + 1;
  }
  return size;
}

// One host with the newest module loaded, for the whole program, and the
// lines its loggers hold.
class Session {
 public:
  Session() {
    std::random_device random;
    folder_ = std::filesystem::temp_directory_path() / ("harlwick-bench-" + std::to_string(random()));
    std::filesystem::create_directories(folder_);
    standin::HostOptions options;
    options.hostFolder = folder_;
    options.abortOnLeak = false;
    options.recordDefaultOutputs = false;
    host_ = std::make_unique<standin::Host>(options);
    const std::filesystem::path path =
        std::filesystem::path(HARLWICK_MODULES_DIR) / ("harlwick-" + std::to_string(NEWEST_FLOOR)) / "harlwick.xdl64";
    std::string error;
    module_ = standin::ModuleFile::Open(path, options.frameworks, error);
    if (!module_) Die(error);
    life_ = std::make_unique<standin::ModuleLife>(*host_, *module_);
    if (life_->Init() != 1 || life_->Start() != 1 || life_->Message(BRN_MESSAGE_INIT_RESOURCE) != 1)
      Die("the module did not start");
  }

  // Unloads the module; false when it still holds a host object.
  bool End() {
    life_->End();
    const std::vector<std::string> held = host_->GetLedger().ModuleHeldReport();
    for (const std::string& line : held) std::cerr << "harlwick_bench: the module still holds " << line << "\n";
    life_.reset();
    module_.reset();
    host_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    return held.empty();
  }

  [[noreturn]] static void Die(const std::string& message) {
    std::cerr << "harlwick_bench: " << message << "\n";
    std::exit(2);
  }

  standin::Host& Host() { return *host_; }
  const brn_host_api& Table() { return *host_->Table(); }
  std::filesystem::path File(const char* name) const { return folder_ / name; }

  // The default logger's stored lines: `count` lines, made once per shape.
  void UseDefaultLines(size_t count, bool nonAscii) {
    if (defaultShape_ == std::make_pair(count, nonAscii)) {
      Restore();
      return;
    }
    defaultLines_ = MakeLines(count, nonAscii, 1);
    if (!host_->SetStoredLines(standin::DEFAULT_LOGGER_ID, STORING_TYPE, defaultLines_))
      Die("the default logger has no line-storing type");
    defaultShape_ = {count, nonAscii};
    defaultSize_ = SizeOf(defaultLines_);
    handles_.clear();
    utf8Lines_.clear();
    Settle();
  }

  // The Python logger: `count` lines of one line-storing type; with
  // `marker`, the last one holds the end marker.
  void UsePythonLines(size_t count, bool marker) {
    if (pythonShape_ == std::make_pair(count, marker)) return;
    standin::LoggerTypeSpec type;
    type.lines = MakeLines(count, false, 2);
    if (marker && count > 0)
      type.lines.back().replace(LINE_LENGTH / 2, std::char_traits<char32_t>::length(MARKER), MARKER);
    host_->SetPythonLogger({type});
    pythonShape_ = {count, marker};
    Settle();
  }

  // Drops what a run added to the default logger (its "Message: @"
  // outputs), so that every run gathers the same lines.
  void Restore() { host_->TrimStoredLines(standin::DEFAULT_LOGGER_ID, STORING_TYPE, defaultLines_.size()); }

  // Has the allocator merge what a change of lines freed, so that the next
  // timed run does not pay for it.
  static void Settle() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
  }

  FileSize DefaultSize() const {
    return defaultSize_;
  }

  // The host's handles of the default logger's stored lines, read through
  // the function table as a module would.
  const std::vector<const brn_string*>& Handles() {
    if (!handles_.empty() || defaultLines_.empty()) return handles_;
    const brn_host_api& t = Table();
    brn_datatype* type = nullptr;
    const void* value = t.find_entry_value(standin::LOGGER_REGISTRY_ID, standin::DEFAULT_LOGGER_ID, -1, &type);
    if (value == nullptr) Die("the default logger is not registered");
    t.release(type);
    brn_array types{};
    t.get_logger_types(*static_cast<const brn_logger* const*>(value), &types);
    auto* entries = static_cast<brn_logger_type_entry*>(types.data);
    const brn_logger_type* storing =
        STORING_TYPE < static_cast<size_t>(types.count) ? entries[STORING_TYPE].type : nullptr;
    brn_error* error = nullptr;
    auto collect = [](void* context, const brn_log_line_record* record, brn_error**) -> int32_t {
      static_cast<std::vector<const brn_string*>*>(context)->push_back(record->text);
      return 1;
    };
    if (storing == nullptr || t.iterate(storing, collect, &handles_, &error) != 1)
      Die("cannot read the default logger");
    handles_.resize(defaultLines_.size());
    for (int64_t index = types.count; index-- > 0;)
      if (entries[index].type != nullptr) t.release(entries[index].type);
    t.free(types.data);
    return handles_;
  }

  // The default logger's lines as the UTF-8 bytes of the file, line feed included.
  const std::vector<std::string>& Utf8Lines() {
    if (!utf8Lines_.empty()) return utf8Lines_;
    utf8Lines_.reserve(defaultLines_.size());
    for (const std::u32string& line : defaultLines_) utf8Lines_.push_back(standin::EncodeUtf8(line) + "\n");
    return utf8Lines_;
  }

  // The bytes of host allocations the module holds now.
  int64_t ModuleBytes() {
    return host_->GetLedger().Counts().moduleBytes;
  }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<standin::Host> host_;
  std::unique_ptr<standin::ModuleFile> module_;
  std::unique_ptr<standin::ModuleLife> life_;
  std::optional<std::pair<size_t, bool>> defaultShape_;
  std::optional<std::pair<size_t, bool>> pythonShape_;
  std::vector<std::u32string> defaultLines_;
  FileSize defaultSize_;
  std::vector<const brn_string*> handles_;
  std::vector<std::string> utf8Lines_;
};

Session* session = nullptr;

int64_t FileBytes(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  return error ? -1 : static_cast<int64_t>(size);
}

// ---- The three ways of writing the same file ----

PROFILED bool ProfiledWholeRun() {
  const std::optional<bool> answer = session->Host().RunCommand(QUISTMOOR_ID);
  return answer.value_or(false);
}

// The same call, named apart for callgrind: the run that finds the marker.
PROFILED bool ProfiledMarkerRun() {
  const std::optional<bool> answer = session->Host().RunCommand(QUISTMOOR_ID);
  return answer.value_or(false);
}

// Writes one character as its UTF-8 bytes, as the module does.
inline void WriteUtf8(const brn_host_api& t, brn_file* file, uint32_t code) {
  if (code < 0x80) {
    t.write_host_file_char(file, static_cast<uint8_t>(code));
  } else if (code < 0x800) {
    t.write_host_file_char(file, static_cast<uint8_t>(0xC0 | (code >> 6)));
    t.write_host_file_char(file, static_cast<uint8_t>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    t.write_host_file_char(file, static_cast<uint8_t>(0xE0 | (code >> 12)));
    t.write_host_file_char(file, static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)));
    t.write_host_file_char(file, static_cast<uint8_t>(0x80 | (code & 0x3F)));
  } else {
    t.write_host_file_char(file, static_cast<uint8_t>(0xF0 | (code >> 18)));
    t.write_host_file_char(file, static_cast<uint8_t>(0x80 | ((code >> 12) & 0x3F)));
    t.write_host_file_char(file, static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)));
    t.write_host_file_char(file, static_cast<uint8_t>(0x80 | (code & 0x3F)));
  }
}

// The host calls alone: the file opened and closed as the run does, and per
// character of each line one GetLength, one GetChar and its byte writes.
PROFILED bool ProfiledBareProtocol(const std::vector<const brn_string*>& lines, const brn_filename* name) {
  const brn_host_api& t = session->Table();
  brn_file* file = t.alloc_host_file();
  if (t.open_host_file(file, name, BRN_FILEOPEN_WRITE, BRN_FILEDIALOG_NONE, BRN_BYTEORDER_V_MOTOROLA, 0x42524E43,
                       0x42524E31) != 1) {
    t.free_host_file(file);
    return false;
  }
  for (char byte : HEADER) t.write_host_file_char(file, static_cast<uint8_t>(byte));
  for (const brn_string* line : lines) {
    for (int64_t index = 0; index < t.string_get_length(line); ++index)
      WriteUtf8(t, file, t.string_get_char(line, index));
    t.write_host_file_char(file, '\n');
  }
  for (char byte : FOOTER) t.write_host_file_char(file, static_cast<uint8_t>(byte));
  const bool closed = t.close_host_file(file) == 1;
  t.free_host_file(file);
  return closed;
}

PROFILED bool ProfiledPlainWrite(const std::vector<std::string>& lines, const std::filesystem::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(HEADER.data(), 1, HEADER.size(), file) == HEADER.size();
  for (const std::string& line : lines) written &= std::fwrite(line.data(), 1, line.size(), file) == line.size();
  written &= std::fwrite(FOOTER.data(), 1, FOOTER.size(), file) == FOOTER.size();
  return std::fclose(file) == 0 && written;
}

// ---- Benchmarks ----

// Per-character and per-line figures of a loop whose timed part took `seconds`.
void SetFileCounters(benchmark::State& state, double seconds, FileSize size, size_t lines) {
  const auto runs = static_cast<double>(state.iterations());
  if (runs == 0 || seconds <= 0) return;
  state.counters["ns_per_char"] = seconds * 1e9 / (runs * static_cast<double>(size.characters));
  state.counters["ns_per_line"] = lines > 0 ? seconds * 1e9 / (runs * static_cast<double>(lines)) : 0;
  state.counters["MB_per_s"] = runs * static_cast<double>(size.bytes) / seconds / 1e6;
}

// Times `run` once per iteration, each from the session's restored state,
// with the most host memory the module held beyond what it held before and
// the Strings one run made. Null when a run answered false.
struct ModuleRunFigures {
  double seconds = 0;
  int64_t peakBytes = 0;
  int64_t stringsMade = 0;
};
std::optional<ModuleRunFigures> TimeModuleRuns(benchmark::State& state, bool (*run)()) {
  standin::Ledger& ledger = session->Host().GetLedger();
  ModuleRunFigures figures;
  for (auto _ : state) {
    session->Restore();
    const int64_t before = session->ModuleBytes();
    const int64_t made = ledger.Counts().Made(standin::Kind::String);
    ledger.ResetPeak();
    const Clock::time_point start = Clock::now();
    const bool answer = run();
    const Clock::duration took = Clock::now() - start;
    state.SetIterationTime(Seconds(took));
    figures.seconds += Seconds(took);
    const standin::LedgerCounts after = ledger.Counts();
    figures.peakBytes = std::max(figures.peakBytes, after.peakModuleBytes - before);
    figures.stringsMade = after.Made(standin::Kind::String) - made;
    if (!answer) {
      state.SkipWithError("the run answered false");
      return std::nullopt;
    }
  }
  return figures;
}

void WholeRun(benchmark::State& state) {
  const auto lines = static_cast<size_t>(state.range(0));
  session->UsePythonLines(PYTHON_LINES, false);
  session->UseDefaultLines(lines, state.range(1) != 0);
  const std::optional<ModuleRunFigures> figures = TimeModuleRuns(state, &ProfiledWholeRun);
  if (!figures) return;
  const auto [seconds, peakBytes, stringsMade] = *figures;
  if (FileBytes(session->File("consolelog.txt")) != session->DefaultSize().bytes) {
    state.SkipWithError("consolelog.txt does not hold the lines");
    return;
  }
  SetFileCounters(state, seconds, session->DefaultSize(), lines);
  state.counters["peak_bytes_per_line"] = static_cast<double>(peakBytes) / static_cast<double>(lines);
  state.counters["strings_per_line"] = static_cast<double>(stringsMade) / static_cast<double>(lines);
}

void BareProtocol(benchmark::State& state) {
  const auto lines = static_cast<size_t>(state.range(0));
  session->UseDefaultLines(lines, state.range(1) != 0);
  const std::vector<const brn_string*>& handles = session->Handles();
  const brn_host_api& t = session->Table();
  brn_filename* name = t.filename_from_cstring(session->File("protocol.txt").c_str());
  double seconds = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const bool written = ProfiledBareProtocol(handles, name);
    const Clock::duration took = Clock::now() - start;
    state.SetIterationTime(Seconds(took));
    seconds += Seconds(took);
    if (!written) {
      state.SkipWithError("the protocol's file was not written");
      break;
    }
  }
  t.free_filename(name);
  if (FileBytes(session->File("protocol.txt")) != session->DefaultSize().bytes) {
    state.SkipWithError("protocol.txt does not hold the lines");
    return;
  }
  SetFileCounters(state, seconds, session->DefaultSize(), lines);
}

void PlainWrite(benchmark::State& state) {
  const auto lines = static_cast<size_t>(state.range(0));
  session->UseDefaultLines(lines, state.range(1) != 0);
  const std::vector<std::string>& utf8 = session->Utf8Lines();
  const std::filesystem::path path = session->File("plain.txt");
  double seconds = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const bool written = ProfiledPlainWrite(utf8, path);
    const Clock::duration took = Clock::now() - start;
    state.SetIterationTime(Seconds(took));
    seconds += Seconds(took);
    if (!written) {
      state.SkipWithError("plain.txt was not written");
      return;
    }
  }
  SetFileCounters(state, seconds, session->DefaultSize(), lines);
}

void MarkerFound(benchmark::State& state) {
  const auto lines = static_cast<size_t>(state.range(0));
  session->UsePythonLines(lines, true);
  session->UseDefaultLines(0, false);
  std::filesystem::remove(session->File("consolelog.txt"));
  const std::optional<ModuleRunFigures> figures = TimeModuleRuns(state, &ProfiledMarkerRun);
  if (!figures) return;
  const auto [seconds, peakBytes, stringsMade] = *figures;
  if (std::filesystem::exists(session->File("consolelog.txt"))) {
    state.SkipWithError("a run that found the marker wrote consolelog.txt");
    return;
  }
  const auto runs = static_cast<double>(state.iterations());
  if (runs > 0) state.counters["ns_per_line"] = seconds * 1e9 / (runs * static_cast<double>(lines));
  state.counters["peak_bytes_per_line"] = static_cast<double>(peakBytes) / static_cast<double>(lines);
  // The marker's String and the "FOUND @ - @" text; gathering makes none.
  state.counters["strings_made"] = static_cast<double>(stringsMade);
}

// The whole run and the bare protocol in turn, each iteration both: their
// ratio per character with the machine's load shared alike.
void Alternating(benchmark::State& state) {
  const auto lines = static_cast<size_t>(state.range(0));
  session->UsePythonLines(PYTHON_LINES, false);
  session->UseDefaultLines(lines, state.range(1) != 0);
  const std::vector<const brn_string*>& handles = session->Handles();
  const brn_host_api& t = session->Table();
  brn_filename* name = t.filename_from_cstring(session->File("protocol.txt").c_str());
  double whole = 0;
  double bare = 0;
  for (auto _ : state) {
    session->Restore();
    const Clock::time_point start = Clock::now();
    const bool answer = ProfiledWholeRun();
    const Clock::time_point middle = Clock::now();
    const bool written = ProfiledBareProtocol(handles, name);
    const Clock::time_point end = Clock::now();
    state.SetIterationTime(Seconds(end - start));
    whole += Seconds(middle - start);
    bare += Seconds(end - middle);
    if (!answer || !written) {
      state.SkipWithError("a file was not written");
      break;
    }
  }
  t.free_filename(name);
  const double characters =
      static_cast<double>(state.iterations()) * static_cast<double>(session->DefaultSize().characters);
  if (characters == 0 || bare <= 0) return;
  state.counters["whole_ns_per_char"] = whole * 1e9 / characters;
  state.counters["bare_ns_per_char"] = bare * 1e9 / characters;
  state.counters["whole_per_bare"] = whole / bare;
}

void FileShapes(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"lines", "nonascii"})->UseManualTime()->Unit(benchmark::kMillisecond);
  for (int64_t nonAscii : {0, 1})
    for (int64_t lines : {10'000, 100'000, 1'000'000}) benchmark->Args({lines, nonAscii});
}

BENCHMARK(WholeRun)->Apply(FileShapes);
BENCHMARK(BareProtocol)->Apply(FileShapes);
BENCHMARK(PlainWrite)->Apply(FileShapes);
BENCHMARK(Alternating)->Apply(FileShapes);
BENCHMARK(MarkerFound)
    ->ArgName("lines")
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- The summary: ratios between the runs ----

// Shows the runs as the console reporter does, keeps their counters, and
// prints the ratios at the end (medians over repetitions).
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string key = run.run_name.function_name + "/" + run.run_name.args;
      // With --benchmark_report_aggregates_only only the aggregates come.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        for (const auto& [name, counter] : run.counters) medians_[key][name] = counter.value;
      if (run.run_type == Run::RT_Iteration)
        for (const auto& [name, counter] : run.counters) values_[key][name].push_back(counter.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    char line[200];
    out << "\nRatios (medians over repetitions)\n";
    for (const char* nonAscii : {"0", "1"}) {
      for (const char* lines : {"10000", "100000", "1000000"}) {
        const std::string args = std::string("lines:") + lines + "/nonascii:" + nonAscii;
        const double whole = Median("WholeRun/" + args, "ns_per_char");
        const double bare = Median("BareProtocol/" + args, "ns_per_char");
        const double plain = Median("PlainWrite/" + args, "ns_per_char");
        const double alternating = Median("Alternating/" + args, "whole_per_bare");
        if (whole <= 0) continue;
        std::snprintf(line, sizeof line,
                      "  %-28s whole %6.2f ns/char  bare protocol %6.2f  plain %5.2f  whole/bare %4.2f "
                      "(alternating %4.2f)  whole/plain %5.1f\n",
                      args.c_str(), whole, bare, plain, bare > 0 ? whole / bare : 0, alternating,
                      plain > 0 ? whole / plain : 0);
        out << line;
      }
    }
    out << "Growth: ns per line at 1M lines / at 10k lines\n";
    for (const char* nonAscii : {"0", "1"}) {
      const std::string suffix = std::string("/nonascii:") + nonAscii;
      for (const char* kind : {"WholeRun", "BareProtocol"}) {
        const double small = Median(std::string(kind) + "/lines:10000" + suffix, "ns_per_line");
        const double large = Median(std::string(kind) + "/lines:1000000" + suffix, "ns_per_line");
        if (small <= 0 || large <= 0) continue;
        std::snprintf(line, sizeof line, "  %-14s nonascii:%s  %8.1f -> %8.1f ns/line  x%.3f\n", kind, nonAscii, small,
                      large, large / small);
        out << line;
      }
    }
    const double small = Median("MarkerFound/lines:10000", "ns_per_line");
    const double large = Median("MarkerFound/lines:1000000", "ns_per_line");
    if (small > 0 && large > 0) {
      std::snprintf(line, sizeof line, "  %-14s             %8.1f -> %8.1f ns/line  x%.3f\n", "MarkerFound", small,
                    large, large / small);
      out << line;
    }
  }

 private:
  double Median(const std::string& key, const std::string& counter) const {
    if (const auto aggregate = medians_.find(key); aggregate != medians_.end()) {
      const auto found = aggregate->second.find(counter);
      return found != aggregate->second.end() ? found->second : 0;
    }
    const auto run = values_.find(key);
    if (run == values_.end()) return 0;
    const auto found = run->second.find(counter);
    if (found == run->second.end() || found->second.empty()) return 0;
    std::vector<double> values = found->second;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  }

  std::map<std::string, std::map<std::string, std::vector<double>>> values_;
  std::map<std::string, std::map<std::string, double>> medians_;
};

// One run of each kind on `lines` ASCII lines, after one warm-up run, then
// one that finds the marker in the last of `lines` Python lines; the
// functions to count under callgrind are the Profiled* ones.
int Profile(size_t lines) {
  session->UsePythonLines(PYTHON_LINES, false);
  session->UseDefaultLines(lines, false);
  bool done = session->Host().RunCommand(QUISTMOOR_ID).value_or(false);
  session->Restore();
  Session::Settle();
  done &= ProfiledWholeRun();
  const brn_host_api& t = session->Table();
  brn_filename* name = t.filename_from_cstring(session->File("protocol.txt").c_str());
  done &= ProfiledBareProtocol(session->Handles(), name);
  t.free_filename(name);
  done &= ProfiledPlainWrite(session->Utf8Lines(), session->File("plain.txt"));
  const FileSize size = session->DefaultSize();
  session->UsePythonLines(lines, true);
  done &= session->Host().RunCommand(QUISTMOOR_ID).value_or(false);
  session->Restore();
  Session::Settle();
  done &= ProfiledMarkerRun();
  std::printf("%zu lines, %lld characters, %lld bytes per file; %s\n", lines, static_cast<long long>(size.characters),
              static_cast<long long>(size.bytes), done ? "every run answered true" : "A RUN FAILED");
  return done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<size_t> profileLines;
  constexpr std::string_view PROFILE = "--profile-lines=";
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (argument.substr(0, PROFILE.size()) != PROFILE) continue;
    profileLines = std::strtoull(argv[index] + PROFILE.size(), nullptr, 10);
    std::copy(argv + index + 1, argv + argc + 1, argv + index);
    --argc;
    break;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  Session host;
  session = &host;
  int status = 0;
  if (profileLines) {
    status = Profile(*profileLines);
  } else {
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  session = nullptr;
  if (!host.End()) status = 3;
  return status;
}
