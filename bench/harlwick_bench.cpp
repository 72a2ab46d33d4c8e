// The cost of one Quistmoor run in the stand-in host, measured on the real
// module of the newest generation, on the thread's CPU time:
//   Rounds        three runs on the same lines, timed in turn in one loop,
//                 forward and backward by turns, after a warm-up round of each
//                 order: the run that writes consolelog.txt (whole run); the
//                 bare host protocol the file demands (one GetLength, one
//                 GetChar and one WriteHostFileChar per byte, through the
//                 function table); and the line calls, the bare protocol with
//                 the host calls a run makes per line around it (the line's
//                 String with its line feed, the "Message: @" text and its
//                 write, their releases). Ratios are medians of the rounds'
//                 own ratios, with their spread. Shapes: 10k, 100k and 1M lines
//                 of 100 characters, and the line lengths 1, 10, 100 and 10,000
//                 (plus an empty log, the cost of a run without lines), ASCII
//                 and mixed;
//   PlainWrite    the same bytes written with one buffered fwrite per line;
//   MarkerFound   the run that finds the end marker in the Python logger's last line;
//   GatheredLineMemory  the most host memory the module holds per gathered
//                 line, over a sweep of line counts;
//   EchoMemory    the host memory the run's "Message: @" echoes add, which
//                 the default logger keeps.
// After the runs it prints the ratios, the fit of cost per line and per
// character over the line lengths, and the memory figures.
//
//   harlwick_bench [benchmark options]   the benchmarks
//   harlwick_bench --profile-lines=N [--profile-length=L] [--profile-nonascii] [--profile-trace]
//     one run of each kind, for callgrind (tools/callgrind.sh): the functions
//     to count are ProfiledWholeRun, ProfiledLineCalls and ProfiledBareProtocol;
//     with --profile-trace the host records its call trace during them.
#include <benchmark/benchmark.h>
#include <time.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
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
constexpr size_t MARKER_LENGTH = 22;

// The shapes of the rounds: lines of 100 characters in three log sizes, and
// the line-length sweep (0 lines: what a run costs without any).
struct Shape {
  int64_t lines;
  int64_t length;
};
constexpr Shape SIZE_SHAPES[] = {{10'000, 100}, {100'000, 100}, {1'000'000, 100}};
constexpr Shape LENGTH_SHAPES[] = {{0, 0}, {100'000, 1}, {100'000, 10}, {10'000, 100}, {100, 10'000}};
// Rounds per shape: about this much CPU time, within the bounds.
constexpr double ROUND_SECONDS = 2.5;
constexpr int64_t MIN_ROUNDS = 15;
constexpr int64_t MAX_ROUNDS = 301;

// The functions that callgrind counts: kept apart, neither inlined nor
// folded together with another of the same code.
#if defined(__clang__)
#define PROFILED __attribute__((noinline))
#else
#define PROFILED __attribute__((noipa))
#endif

// The calling thread's CPU time: what the other developers' builds on the
// machine take from it does not count.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// `count` lines of `length` printable characters. With `nonAscii`, every
// fourth character of the log is one of 2 or 3 UTF-8 bytes.
std::vector<std::u32string> MakeLines(size_t count, size_t length, bool nonAscii, uint32_t seed) {
  static constexpr char32_t WIDE[] = {0x00E9, 0x00DF, 0x03A9, 0x0436, 0x20AC, 0x2192, 0x4E2D, 0x0151};
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> ascii(0x20, 0x7E);
  std::uniform_int_distribution<size_t> wide(0, std::size(WIDE) - 1);
  std::vector<std::u32string> lines(count);
  size_t position = 0;
  for (std::u32string& line : lines) {
    line.resize(length);
    for (char32_t& character : line)
      character = nonAscii && position++ % 4 == 3 ? WIDE[wide(random)] : static_cast<char32_t>(ascii(random));
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

  // The default logger's stored lines: `count` lines of `length`
  // characters, made once per shape.
  void UseDefaultLines(size_t count, size_t length, bool nonAscii) {
    const DefaultShape shape{count, length, nonAscii};
    if (defaultShape_ == shape) {
      Restore();
      return;
    }
    defaultLines_ = MakeLines(count, length, nonAscii, 1);
    if (!host_->SetStoredLines(standin::DEFAULT_LOGGER_ID, STORING_TYPE, defaultLines_))
      Die("the default logger has no line-storing type");
    defaultShape_ = shape;
    defaultSize_ = SizeOf(defaultLines_);
    handles_.clear();
    utf8Lines_.clear();
    Settle();
  }

  // The Python logger: `count` lines of `length` characters of one
  // line-storing type; with `marker`, the last one holds the end marker.
  void UsePythonLines(size_t count, bool marker, size_t length = LINE_LENGTH) {
    const PythonShape shape{count, length, marker};
    if (pythonShape_ == shape) return;
    standin::LoggerTypeSpec type;
    type.lines = MakeLines(count, length, false, 2);
    if (marker && count > 0) {
      std::u32string& last = type.lines.back();
      if (last.size() < MARKER_LENGTH) last.resize(MARKER_LENGTH, U' ');
      last.replace((last.size() - MARKER_LENGTH) / 2, MARKER_LENGTH, MARKER);
    }
    host_->SetPythonLogger({type});
    pythonShape_ = shape;
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
  size_t DefaultCount() const {
    return defaultLines_.size();
  }

  // The host's handles of the default logger's stored lines, read through
  // the function table as a module would.
  const std::vector<const brn_string*>& Handles() {
    if (!handles_.empty() || defaultLines_.empty()) return handles_;
    const brn_host_api& t = Table();
    brn_array types{};
    t.get_logger_types(DefaultLogger(), &types);
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

  // The default logger, borrowed from its registry entry.
  const brn_logger* DefaultLogger() {
    const brn_host_api& t = Table();
    brn_datatype* type = nullptr;
    const void* value = t.find_entry_value(standin::LOGGER_REGISTRY_ID, standin::DEFAULT_LOGGER_ID, -1, &type);
    if (value == nullptr) Die("the default logger is not registered");
    t.release(type);
    return *static_cast<const brn_logger* const*>(value);
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
  struct DefaultShape {
    size_t count, length;
    bool nonAscii;
    bool operator==(const DefaultShape&) const = default;
  };
  struct PythonShape {
    size_t count, length;
    bool marker;
    bool operator==(const PythonShape&) const = default;
  };

  std::filesystem::path folder_;
  std::unique_ptr<standin::Host> host_;
  std::unique_ptr<standin::ModuleFile> module_;
  std::unique_ptr<standin::ModuleLife> life_;
  std::optional<DefaultShape> defaultShape_;
  std::optional<PythonShape> pythonShape_;
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

// The file opened as the run opens it, with its header line; null when it
// does not open.
brn_file* OpenWithHeader(const brn_host_api& t, const brn_filename* name) {
  brn_file* file = t.alloc_host_file();
  if (t.open_host_file(file, name, BRN_FILEOPEN_WRITE, BRN_FILEDIALOG_NONE, BRN_BYTEORDER_V_MOTOROLA, 0x42524E43,
                       0x42524E31) != 1) {
    t.free_host_file(file);
    return nullptr;
  }
  for (char byte : HEADER) t.write_host_file_char(file, static_cast<uint8_t>(byte));
  return file;
}

// The host calls alone: the file opened and closed as the run does, and per
// character of each line one GetLength, one GetChar and its byte writes.
PROFILED bool ProfiledBareProtocol(const std::vector<const brn_string*>& lines, const brn_filename* name) {
  const brn_host_api& t = session->Table();
  brn_file* file = OpenWithHeader(t, name);
  if (file == nullptr) return false;
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

// The format argument converter of the line calls, as the SDK's: the
// receiving String shares the argument's text; what it held is released.
void ShareArgument(brn_string** receiving, const void* argument) {
  const brn_host_api& t = session->Table();
  auto* text = const_cast<brn_string*>(*static_cast<const brn_string* const*>(argument));
  if (text != nullptr) t.acquire(text);
  brn_string* previous = std::exchange(*receiving, text);
  if (previous != nullptr) t.release(previous);
}

// The bare protocol with the host calls a run makes per line around it, in
// the run's order, without the module: "Message: @" formatted with the line
// and written to the default logger, then the line and its line feed made as
// one String, written character by character, and both Strings released.
PROFILED bool ProfiledLineCalls(const std::vector<const brn_string*>& lines, const brn_filename* name,
                                const brn_logger* logger) {
  static constexpr brn_format_converter CONVERTERS[] = {&ShareArgument, nullptr};
  const brn_host_api& t = session->Table();
  brn_file* file = OpenWithHeader(t, name);
  if (file == nullptr) return false;
  for (const brn_string* line : lines) {
    const void* const arguments[] = {&line, nullptr};
    brn_string* message = t.format_x_args("Message: @", 1, arguments, CONVERTERS);
    brn_error* error = nullptr;
    if (t.logger_write(logger, BRN_TARGETAUDIENCE_ALL, message, {__FILE__, __LINE__}, BRN_WRITEMETA_DEFAULT, &error) ==
            0 &&
        error != nullptr)
      t.release(error);
    t.release(message);
    brn_string* text = t.concat_string_cstring(line, "\n");
    for (int64_t index = 0; index < t.string_get_length(text); ++index)
      WriteUtf8(t, file, t.string_get_char(text, index));
    t.release(text);
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

// ---- Statistics ----

// The value below which `share` of the sorted values lie (linear between ranks).
double Quantile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = share * static_cast<double>(values.size() - 1);
  const auto below = static_cast<size_t>(std::floor(rank));
  const size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (values[above] - values[below]) * (rank - static_cast<double>(below));
}

double Median(const std::vector<double>& values) {
  return Quantile(values, 0.5);
}

// ---- Benchmarks ----

// A whole run and a bare protocol run, each on the thread's CPU time, in
// the order given; the whole run starts from the session's restored state.
// One round: a whole run, the line calls and a bare protocol run, each on
// the thread's CPU time and from the session's restored state, in that
// order or the reverse.
struct RoundTimes {
  double whole = 0;
  double lines = 0;
  double bare = 0;
  bool written = true;
};
RoundTimes RunRound(bool forward, const std::vector<const brn_string*>& handles, const brn_filename* name,
                    const brn_logger* logger) {
  RoundTimes times;
  for (int turn = 0; turn < 3; ++turn) {
    const int which = forward ? turn : 2 - turn;
    session->Restore();
    const double start = ThreadSeconds();
    const bool written = which == 0   ? ProfiledWholeRun()
                         : which == 1 ? ProfiledLineCalls(handles, name, logger)
                                      : ProfiledBareProtocol(handles, name);
    (which == 0 ? times.whole : which == 1 ? times.lines : times.bare) = ThreadSeconds() - start;
    times.written &= written;
  }
  return times;
}

// The median of the ratios of two series, with its spread.
void SetRatioCounters(benchmark::State& state, const std::string& name, const std::vector<double>& numerators,
                      const std::vector<double>& denominators) {
  std::vector<double> ratios;
  for (size_t index = 0; index < numerators.size(); ++index)
    ratios.push_back(denominators[index] > 0 ? numerators[index] / denominators[index] : 0);
  state.counters[name] = Median(ratios);
  state.counters[name + "_p10"] = Quantile(ratios, 0.1);
  state.counters[name + "_p90"] = Quantile(ratios, 0.9);
  state.counters[name + "_min"] = Quantile(ratios, 0);
  state.counters[name + "_max"] = Quantile(ratios, 1);
}

// Each iteration is one round, forward and backward in turn, after one
// warm-up round of each order.
void Rounds(benchmark::State& state, Shape shape, bool nonAscii) {
  session->UsePythonLines(PYTHON_LINES, false);
  session->UseDefaultLines(static_cast<size_t>(shape.lines), static_cast<size_t>(shape.length), nonAscii);
  const std::vector<const brn_string*>& handles = session->Handles();
  const brn_logger* logger = session->DefaultLogger();
  const brn_host_api& t = session->Table();
  brn_filename* name = t.filename_from_cstring(session->File("protocol.txt").c_str());
  bool written = RunRound(true, handles, name, logger).written && RunRound(false, handles, name, logger).written;
  std::vector<double> wholes, lines, bares;
  int64_t round = 0;
  for (auto _ : state) {
    const RoundTimes times = RunRound(round++ % 2 == 0, handles, name, logger);
    state.SetIterationTime(times.whole + times.lines + times.bare);
    written &= times.written;
    wholes.push_back(times.whole);
    lines.push_back(times.lines);
    bares.push_back(times.bare);
  }
  session->Restore();
  t.free_filename(name);
  const int64_t bytes = session->DefaultSize().bytes;
  if (!written || FileBytes(session->File("consolelog.txt")) != bytes ||
      FileBytes(session->File("protocol.txt")) != bytes) {
    state.SkipWithError("a file does not hold the lines");
    return;
  }
  const auto characters = static_cast<double>(session->DefaultSize().characters);
  state.counters["whole_ns_per_run"] = Median(wholes) * 1e9;
  state.counters["lines_ns_per_run"] = Median(lines) * 1e9;
  state.counters["bare_ns_per_run"] = Median(bares) * 1e9;
  state.counters["whole_ns_per_char"] = Median(wholes) * 1e9 / characters;
  state.counters["lines_ns_per_char"] = Median(lines) * 1e9 / characters;
  state.counters["bare_ns_per_char"] = Median(bares) * 1e9 / characters;
  SetRatioCounters(state, "ratio", wholes, bares);
  SetRatioCounters(state, "lines_ratio", lines, bares);
  SetRatioCounters(state, "whole_per_lines", wholes, lines);
}

// Times `run` once per iteration on the thread's CPU time, after one
// warm-up run; false when a run answered false.
template <typename Run>
bool TimeRuns(benchmark::State& state, Run run, std::vector<double>& seconds) {
  bool answered = run();
  for (auto _ : state) {
    const double start = ThreadSeconds();
    answered &= run();
    const double took = ThreadSeconds() - start;
    state.SetIterationTime(took);
    seconds.push_back(took);
  }
  return answered;
}

// Args: lines, nonascii; lines of 100 characters.
void PlainWrite(benchmark::State& state) {
  session->UseDefaultLines(static_cast<size_t>(state.range(0)), LINE_LENGTH, state.range(1) != 0);
  const std::vector<std::string>& utf8 = session->Utf8Lines();
  const std::filesystem::path path = session->File("plain.txt");
  std::vector<double> seconds;
  if (!TimeRuns(
          state, [&] { return ProfiledPlainWrite(utf8, path); }, seconds) ||
      FileBytes(path) != session->DefaultSize().bytes) {
    state.SkipWithError("plain.txt does not hold the lines");
    return;
  }
  state.counters["ns_per_char"] = Median(seconds) * 1e9 / static_cast<double>(session->DefaultSize().characters);
}

// Args: lines of 100 characters in the Python logger, the marker in the last.
void MarkerFound(benchmark::State& state) {
  const auto lines = static_cast<size_t>(state.range(0));
  session->UsePythonLines(lines, true);
  session->UseDefaultLines(0, 0, false);
  std::filesystem::remove(session->File("consolelog.txt"));
  standin::Ledger& ledger = session->Host().GetLedger();
  const int64_t made = ledger.Counts().Made(standin::Kind::String);
  std::vector<double> seconds;
  if (!TimeRuns(state, &ProfiledMarkerRun, seconds) || std::filesystem::exists(session->File("consolelog.txt"))) {
    state.SkipWithError("the run did not find the marker, or wrote consolelog.txt");
    return;
  }
  state.counters["ns_per_line"] = Median(seconds) * 1e9 / static_cast<double>(lines);
  // The marker's String and the "FOUND @ - @" text; gathering makes none.
  const auto runs = static_cast<double>(state.iterations() + 1);
  state.counters["strings_per_run"] = static_cast<double>(ledger.Counts().Made(standin::Kind::String) - made) / runs;
}

// The most host memory the module holds at once during a run that gathers
// `count` lines (the Python logger's, the marker in the last), per line,
// over counts from 1,000 to 30,000, each 1% above the one before: the
// array's growth makes the figure vary with the count.
void GatheredLineMemory(benchmark::State& state) {
  standin::Ledger& ledger = session->Host().GetLedger();
  session->UseDefaultLines(0, 0, false);
  double most = 0;
  double least = 1e9;
  int64_t mostAt = 0;
  int64_t counts = 0;
  bool found = true;
  for (auto _ : state) {
    for (double count = 1000; count <= 30'000; count *= 1.01) {
      const auto lines = static_cast<size_t>(count);
      session->UsePythonLines(lines, true, 30);
      const int64_t before = session->ModuleBytes();
      ledger.ResetPeak();
      found &= ProfiledMarkerRun();
      const double perLine = static_cast<double>(ledger.Counts().peakModuleBytes - before) / static_cast<double>(lines);
      if (perLine > most) mostAt = static_cast<int64_t>(lines);
      most = std::max(most, perLine);
      least = std::min(least, perLine);
      ++counts;
    }
  }
  if (!found) {
    state.SkipWithError("a run did not find the marker");
    return;
  }
  state.counters["max_bytes_per_line"] = most;
  state.counters["min_bytes_per_line"] = least;
  state.counters["max_at_lines"] = static_cast<double>(mostAt);
  state.counters["counts"] = static_cast<double>(counts);
}

// Host memory in use by the process's allocator, in bytes.
double HeapInUse() {
#if defined(__GLIBC__)
  return static_cast<double>(mallinfo2().uordblks);
#else
  return 0;
#endif
}

// Arg: line length. The host memory one run leaves behind per line of
// 10,000: the "Message: @" echoes that the default logger keeps (allocator
// overhead included), after warm-up runs have filled the host's quarantine
// of released objects, so that it frees as much as it takes.
void EchoMemory(benchmark::State& state) {
  constexpr size_t LINES = 10'000;
  session->UsePythonLines(PYTHON_LINES, false);
  session->UseDefaultLines(LINES, static_cast<size_t>(state.range(0)), false);
  bool written = true;
  for (int warmUp = 0; warmUp < 6; ++warmUp) {
    session->Restore();
    written &= ProfiledWholeRun();
  }
  std::vector<double> perLine;
  for (auto _ : state) {
    session->Restore();
    Session::Settle();
    const double before = HeapInUse();
    written &= ProfiledWholeRun();
    perLine.push_back((HeapInUse() - before) / static_cast<double>(LINES));
  }
  session->Restore();
  if (!written || HeapInUse() == 0) {
    state.SkipWithError(written ? "no allocator figures on this platform" : "a run answered false");
    return;
  }
  state.counters["echo_bytes_per_line"] = Median(perLine);
}

// Rounds per shape: about ROUND_SECONDS of CPU time on a machine like the
// one of the README, within MIN_ROUNDS..MAX_ROUNDS.
int64_t RoundsFor(Shape shape) {
  const double perRound =
      6e-4 + static_cast<double>(shape.lines) * (2.4e-6 + 2.6e-8 * static_cast<double>(shape.length));
  return std::clamp(static_cast<int64_t>(ROUND_SECONDS / perRound), MIN_ROUNDS, MAX_ROUNDS);
}

std::string ShapeArgs(Shape shape, int nonAscii) {
  return "lines:" + std::to_string(shape.lines) + "/length:" + std::to_string(shape.length) +
         "/nonascii:" + std::to_string(nonAscii);
}

void RegisterBenchmarks() {
  std::vector<std::pair<Shape, int>> shapes;
  for (int nonAscii : {0, 1}) {
    for (Shape shape : SIZE_SHAPES) shapes.push_back({shape, nonAscii});
    for (Shape shape : LENGTH_SHAPES)
      if ((shape.lines > 0 || nonAscii == 0) && !(shape.lines == 10'000 && shape.length == 100))
        shapes.push_back({shape, nonAscii});
  }
  for (const auto& [shape, nonAscii] : shapes)
    benchmark::RegisterBenchmark(("Rounds/" + ShapeArgs(shape, nonAscii)).c_str(), &Rounds, shape, nonAscii != 0)
        ->Iterations(RoundsFor(shape))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("PlainWrite", &PlainWrite)
      ->ArgNames({"lines", "nonascii"})
      ->Args({10'000, 0})
      ->Args({10'000, 1})
      ->Args({100'000, 0})
      ->Args({100'000, 1})
      ->Iterations(51)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("MarkerFound", &MarkerFound)
      ->ArgName("lines")
      ->Arg(10'000)
      ->Arg(100'000)
      ->Arg(1'000'000)
      ->Iterations(15)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("GatheredLineMemory", &GatheredLineMemory)->Iterations(1)->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("EchoMemory", &EchoMemory)
      ->ArgName("length")
      ->Arg(1)
      ->Arg(10)
      ->Arg(100)
      ->Arg(1000)
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
}

// ---- The summary ----

// A weighted least-squares line y = fixed + slope * x.
struct Fit {
  double fixed = 0;
  double slope = 0;
};
// Weights 1/y^2: each point counts by its relative error, so that the long
// lines do not drown the short ones.
Fit FitLine(const std::vector<std::pair<double, double>>& points) {
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [x, y] : points) {
    if (y <= 0) continue;
    const double w = 1 / (y * y);
    sw += w, sx += w * x, sy += w * y, sxx += w * x * x, sxy += w * x * y;
  }
  const double determinant = sw * sxx - sx * sx;
  if (determinant == 0) return {};
  return {(sxx * sy - sx * sxy) / determinant, (sw * sxy - sx * sy) / determinant};
}

// Shows the runs as the console reporter does, keeps their counters, and
// prints the ratios, the fits and the memory figures at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      std::string key = run.run_name.function_name;
      if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
      for (const auto& [name, counter] : run.counters) values_[key][name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    char line[240];
    out << "\nMedians of rounds on thread CPU time; ratios are medians of each round's own, with p10..p90 and "
           "min..max\n";
    out << "  shape                                   ns/char: whole   lines    bare   whole/bare  p10..p90     "
           "min..max      lines/bare  whole/lines\n";
    for (int nonAscii : {0, 1}) {
      std::vector<Shape> shapes(std::begin(SIZE_SHAPES), std::end(SIZE_SHAPES));
      shapes.insert(shapes.end(), std::begin(LENGTH_SHAPES), std::end(LENGTH_SHAPES));
      for (Shape shape : shapes) {
        const std::string key = RoundsKey(shape, nonAscii);
        if (shape.lines == 0 || Value(key, "ratio") <= 0 || !printed_.insert(key).second) continue;
        std::snprintf(line, sizeof line, "  %-38s %14.2f %7.2f %7.2f %10.3f  %5.3f..%5.3f  %5.3f..%6.3f %9.3f %11.3f\n",
                      ShapeArgs(shape, nonAscii).c_str(), Value(key, "whole_ns_per_char"),
                      Value(key, "lines_ns_per_char"), Value(key, "bare_ns_per_char"), Value(key, "ratio"),
                      Value(key, "ratio_p10"), Value(key, "ratio_p90"), Value(key, "ratio_min"),
                      Value(key, "ratio_max"), Value(key, "lines_ratio"), Value(key, "whole_per_lines"));
        out << line;
      }
    }

    PrintLineLengths(out);

    out << "Growth: whole run's ns per line at 1M lines / at 10k lines (100 characters)\n";
    for (int nonAscii : {0, 1}) {
      const double small = Value(RoundsKey({10'000, 100}, nonAscii), "whole_ns_per_run") / 1e4;
      const double large = Value(RoundsKey({1'000'000, 100}, nonAscii), "whole_ns_per_run") / 1e6;
      if (small <= 0 || large <= 0) continue;
      std::snprintf(line, sizeof line, "  nonascii:%d  %8.1f -> %8.1f ns/line  x%.3f\n", nonAscii, small, large,
                    large / small);
      out << line;
    }
    for (int nonAscii : {0, 1}) {
      const double plain = Value("PlainWrite/lines:10000/nonascii:" + std::to_string(nonAscii), "ns_per_char");
      const double whole = Value(RoundsKey({10'000, 100}, nonAscii), "whole_ns_per_char");
      if (plain <= 0 || whole <= 0) continue;
      std::snprintf(line, sizeof line,
                    "Plain buffered write, 10k lines, nonascii:%d: %.2f ns/char (whole run %.1f times that)\n",
                    nonAscii, plain, whole / plain);
      out << line;
    }
    const double markerSmall = Value("MarkerFound/lines:10000", "ns_per_line");
    const double markerLarge = Value("MarkerFound/lines:1000000", "ns_per_line");
    if (markerSmall > 0) {
      std::snprintf(line, sizeof line,
                    "Finding the marker: %.1f ns per line at 10k lines, %.1f at 1M; %.0f Strings made per run\n",
                    markerSmall, markerLarge, Value("MarkerFound/lines:10000", "strings_per_run"));
      out << line;
    }

    if (Value("GatheredLineMemory", "counts") > 0) {
      std::snprintf(line, sizeof line,
                    "Module's host memory per gathered line, over %.0f counts from 1,000 to 30,000: at most %.2f "
                    "bytes (at %.0f lines), at least %.2f\n",
                    Value("GatheredLineMemory", "counts"), Value("GatheredLineMemory", "max_bytes_per_line"),
                    Value("GatheredLineMemory", "max_at_lines"), Value("GatheredLineMemory", "min_bytes_per_line"));
      out << line;
    }
    std::vector<std::pair<double, double>> echoes;
    for (int length : {1, 10, 100, 1000}) {
      const double bytes = Value("EchoMemory/length:" + std::to_string(length), "echo_bytes_per_line");
      if (bytes > 0) echoes.push_back({static_cast<double>(length), bytes});
    }
    if (!echoes.empty()) {
      out << "Host memory the run's echoes add, per line (the default logger keeps each \"Message: @\"):";
      for (const auto& [length, bytes] : echoes) {
        std::snprintf(line, sizeof line, "  %.0f chars: %.0f B", length, bytes);
        out << line;
      }
      const Fit fit = FitLine(echoes);
      std::snprintf(line, sizeof line, "\n  fit: %.0f bytes per line + %.2f per character\n", fit.fixed, fit.slope);
      out << line;
    }
  }

  // The per-line cost of each kind by line length, less a run without
  // lines, and its fit; nothing when the sweep did not run.
  void PrintLineLengths(std::ostream& out) const {
    char line[240];
    const std::string empty = RoundsKey({0, 0}, 0);
    const std::array<const char*, 3> kinds = {"whole", "lines", "bare"};
    std::array<double, 3> emptyRun{};
    for (size_t kind = 0; kind < kinds.size(); ++kind)
      emptyRun[kind] = Value(empty, std::string(kinds[kind]) + "_ns_per_run");
    if (emptyRun[0] <= 0) return;
    std::snprintf(line, sizeof line,
                  "\nA run without lines: whole %.0f ns, lines %.0f ns, bare %.0f ns (taken off below)\n", emptyRun[0],
                  emptyRun[1], emptyRun[2]);
    out << line;
    out << "Per line by line length, ns (the line feed counts to the line):\n";
    for (int nonAscii : {0, 1}) {
      std::array<std::vector<std::pair<double, double>>, 3> points;
      for (Shape shape : LENGTH_SHAPES) {
        const std::string key = RoundsKey(shape, nonAscii);
        if (shape.lines == 0 || Value(key, "ratio") <= 0) continue;
        std::array<double, 3> perLine{};
        for (size_t kind = 0; kind < kinds.size(); ++kind) {
          perLine[kind] = (Value(key, std::string(kinds[kind]) + "_ns_per_run") - emptyRun[kind]) /
                          static_cast<double>(shape.lines);
          points[kind].push_back({static_cast<double>(shape.length), perLine[kind]});
        }
        std::snprintf(line, sizeof line,
                      "  %-6s %6lld chars  whole %10.1f  lines %10.1f  bare %10.1f  whole/bare %6.3f (rounds' "
                      "median %6.3f)\n",
                      nonAscii != 0 ? "mixed" : "ASCII", static_cast<long long>(shape.length), perLine[0], perLine[1],
                      perLine[2], perLine[2] > 0 ? perLine[0] / perLine[2] : 0, Value(key, "ratio"));
        out << line;
      }
      if (points[0].size() < 2) continue;
      out << "  " << (nonAscii != 0 ? "mixed" : "ASCII") << " fit (least squares on relative error):";
      for (size_t kind = 0; kind < kinds.size(); ++kind) {
        const Fit fit = FitLine(points[kind]);
        std::snprintf(line, sizeof line, "  %s %.1f ns per line + %.2f per char;", kinds[kind], fit.fixed, fit.slope);
        out << line;
      }
      out << "\n";
    }
  }

 private:
  // The 10k lines of 100 characters belong to both sweeps and run once.
  static std::string RoundsKey(Shape shape, int nonAscii) { return "Rounds/" + ShapeArgs(shape, nonAscii); }
  double Value(const std::string& key, const std::string& counter) const {
    const auto run = values_.find(key);
    if (run == values_.end()) return 0;
    const auto found = run->second.find(counter);
    return found != run->second.end() ? found->second : 0;
  }

  std::map<std::string, std::map<std::string, double>> values_;
  std::set<std::string> printed_;
};

// One run of each kind on `lines` lines of `length` characters, after one
// warm-up run, then one that finds the marker in the last of `lines` Python
// lines; the functions to count under callgrind are the Profiled* ones.
// With `trace`, the host records its call trace during the profiled runs.
int Profile(size_t lines, size_t length, bool nonAscii, bool trace) {
  session->UsePythonLines(PYTHON_LINES, false);
  session->UseDefaultLines(lines, length, nonAscii);
  bool done = session->Host().RunCommand(QUISTMOOR_ID).value_or(false);
  session->Restore();
  Session::Settle();
  standin::Trace& events = session->Host().GetTrace();
  session->Host().SetTracing(trace);
  done &= ProfiledWholeRun();
  events.Clear();
  const brn_host_api& t = session->Table();
  brn_filename* name = t.filename_from_cstring(session->File("protocol.txt").c_str());
  done &= ProfiledBareProtocol(session->Handles(), name);
  events.Clear();
  done &= ProfiledLineCalls(session->Handles(), name, session->DefaultLogger());
  session->Restore();
  events.Clear();
  session->Host().SetTracing(false);
  t.free_filename(name);
  done &= ProfiledPlainWrite(session->Utf8Lines(), session->File("plain.txt"));
  const FileSize size = session->DefaultSize();
  if (lines > 0) {
    session->UsePythonLines(lines, true);
    done &= session->Host().RunCommand(QUISTMOOR_ID).value_or(false);
    session->Restore();
    Session::Settle();
    done &= ProfiledMarkerRun();
  }
  std::printf("%zu lines of %zu characters, %lld characters, %lld bytes per file; %s\n", lines, length,
              static_cast<long long>(size.characters), static_cast<long long>(size.bytes),
              done ? "every run answered true" : "A RUN FAILED");
  return done ? 0 : 1;
}

// Takes `--name=N` out of the arguments; nullopt when it is not there.
std::optional<size_t> TakeNumber(int& argc, char** argv, std::string_view name) {
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (argument.substr(0, name.size()) != name) continue;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(argv[index] + name.size(), &end, 10);
    if (end == argv[index] + name.size() || *end != '\0') Session::Die("not a number: " + std::string(argument));
    std::copy(argv + index + 1, argv + argc + 1, argv + index);
    --argc;
    return static_cast<size_t>(value);
  }
  return std::nullopt;
}

bool TakeFlag(int& argc, char** argv, std::string_view name) {
  for (int index = 1; index < argc; ++index) {
    if (std::string_view(argv[index]) != name) continue;
    std::copy(argv + index + 1, argv + argc + 1, argv + index);
    --argc;
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<size_t> profileLines = TakeNumber(argc, argv, "--profile-lines=");
  const size_t profileLength = TakeNumber(argc, argv, "--profile-length=").value_or(LINE_LENGTH);
  const bool profileNonAscii = TakeFlag(argc, argv, "--profile-nonascii");
  const bool profileTrace = TakeFlag(argc, argv, "--profile-trace");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  Session host;
  session = &host;
  int status = 0;
  if (profileLines) {
    status = Profile(*profileLines, profileLength, profileNonAscii, profileTrace);
  } else {
    RegisterBenchmarks();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  session = nullptr;
  if (!host.End()) status = 3;
  return status;
}
