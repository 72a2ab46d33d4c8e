// libFuzzer target: one whole module cycle in a fresh stand-in host per input.
//
// The input chooses the host's loggers (their types, the lines they store,
// the Python registry entry, the null-logger object), a few host switches and
// at most one injected fault. Each input loads the module, starts it, sends
// message 1, runs the command once and unloads it. Properties:
//   - nothing crashes (the sanitizers and the host's ledger watch);
//   - afterwards the module holds no host object;
//   - a run that answers true when no gathered Python line holds the end
//     marker wrote exactly the header, each gathered line as UTF-8 (a code
//     that is no Unicode scalar value as U+FFFD) with a line feed, and the
//     footer;
//   - a run that answers true when a gathered Python line holds the marker
//     writes no file, unless the marker itself could not be made.
//
// Input layout (bytes read in order; a missing byte reads as 0):
//   switches  bits 0-1 Python registry entry (logger, compatible logger, not
//             a logger, missing); bit 2 the host has a null-logger object;
//             bit 3 the host has no default logger; bit 4 no logger data
//             type; bit 5 no empty String; bit 6 no null-return error;
//             bit 7 no error slot
//   fault     bits 0-4 the site plus one (0, or past the last site: none);
//             bit 5 every call from the index on, not just one
//   index     the fault's index among the site's calls
//   then the Python logger, the default logger and the null-logger object,
//   each as: a count of types (low 3 bits), then per type
//     kind    bit 0 keeps no lines; bit 1 empty entry; bit 2 iterate fails
//             (the next byte gives the line); bit 3 ... without an error
//     count   of lines (low 6 bits), then each line as units up to 0xFF:
//             0x00-0x7F   that code (0 and line feeds included)
//             0x80-0xF8   with the next byte, the code ((b - 0x80) << 8) | next
//             0xF9 n      an edge code of UTF-8 and UTF-32 (EDGE_CODES[n % count])
//             0xFA        the line is the null String
//             0xFB n      the previous code n * 64 more times (a long line)
//             0xFC a b c d  the 32-bit code dcba (surrogates, above U+10FFFF)
//             0xFD v n    the marker altered by v: prefix of n, suffix from
//                         n, upper case, one letter's case flipped at n
//             0xFE        the marker "Velmaris logging done!" whole
//             0xFF        end of the line
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "brannoc_abi/module.h"
#include "standin/host.h"
#include "standin/loader.h"
#include "standin/utf8.h"

namespace {

constexpr int32_t QUISTMOOR_ID = 1050115;
constexpr std::u32string_view MARKER = U"Velmaris logging done!";
// Keeps one input's work bounded: codes beyond this are dropped.
constexpr size_t MAX_CODES = 1 << 18;
// Where UTF-8 changes length, the surrogates, the replacement character
// itself, the last scalar value and beyond.
constexpr char32_t EDGE_CODES[] = {0x0,    0x7F,   0x80,   0x7FF,   0x800,      0xD7FF,     0xD800,     0xDBFF,
                                   0xDC00, 0xDFFF, 0xE000, 0xFFFD,  0xFFFF,     0x10000,    0x10FFFF,   0x110000,
                                   0xE9,   0x20AC, 0xFEFF, 0x1F600, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x0A};

[[noreturn]] void Violated(const std::string& what) {
  std::fprintf(stderr, "quistmoor_fuzz: property violated: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  // Like Byte, but the end of the input ends a line.
  uint8_t Unit() { return position_ < size_ ? data_[position_++] : 0xFF; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

struct Line {
  std::u32string text;
  bool null = false;
};

char32_t FlipCase(char32_t code) {
  if (code >= U'a' && code <= U'z') return code - U'a' + U'A';
  if (code >= U'A' && code <= U'Z') return code - U'A' + U'a';
  return code;
}

std::u32string AlteredMarker(uint8_t variant, uint8_t at) {
  std::u32string marker(MARKER);
  const size_t n = at % (marker.size() + 1);
  switch (variant % 4) {
    case 0:
      return marker.substr(0, n);
    case 1:
      return marker.substr(n);
    case 2:
      for (char32_t& code : marker)
        if (code >= U'a' && code <= U'z') code = FlipCase(code);
      return marker;
    default:
      if (n < marker.size()) marker[n] = FlipCase(marker[n]);
      return marker;
  }
}

Line ReadLine(Reader& in, size_t& budget) {
  Line line;
  auto add = [&](char32_t code, size_t times) {
    for (; times > 0 && budget > 0; --times, --budget) line.text.push_back(code);
  };
  auto addText = [&](std::u32string_view text) {
    for (char32_t code : text) add(code, 1);
  };
  for (uint8_t unit = in.Unit(); unit != 0xFF; unit = in.Unit()) {
    if (unit < 0x80) {
      add(unit, 1);
    } else if (unit < 0xF9) {
      add(static_cast<char32_t>(((unit - 0x80) << 8) | in.Byte()), 1);
    } else if (unit == 0xF9) {
      add(EDGE_CODES[in.Byte() % std::size(EDGE_CODES)], 1);
    } else if (unit == 0xFA) {
      line.null = true;
    } else if (unit == 0xFB) {
      const size_t times = static_cast<size_t>(in.Byte()) * 64;
      if (!line.text.empty()) add(line.text.back(), times);
    } else if (unit == 0xFC) {
      uint32_t code = 0;
      for (int shift = 0; shift < 32; shift += 8) code |= static_cast<uint32_t>(in.Byte()) << shift;
      add(code, 1);
    } else if (unit == 0xFD) {
      const uint8_t variant = in.Byte();
      addText(AlteredMarker(variant, in.Byte()));
    } else {
      addText(MARKER);
    }
  }
  if (line.null) line.text.clear();
  return line;
}

// One logger type as the input lays it out, kept for the expected result.
struct TypeLayout {
  standin::LoggerTypeSpec spec;
  std::vector<Line> lines;
};

std::vector<TypeLayout> ReadLogger(Reader& in, size_t& budget) {
  std::vector<TypeLayout> types(in.Byte() & 7);
  for (TypeLayout& type : types) {
    const uint8_t kind = in.Byte();
    type.spec.storesLines = (kind & 1) == 0;
    type.spec.emptyEntry = (kind & 2) != 0;
    if ((kind & 4) != 0) type.spec.failAtLine = in.Byte();
    type.spec.failWithError = (kind & 8) == 0;
    const size_t count = in.Byte() & 0x3F;
    for (size_t index = 0; index < count; ++index) {
      type.lines.push_back(ReadLine(in, budget));
      type.spec.lines.push_back(type.lines.back().text);
      type.spec.nullLines.push_back(type.lines.back().null);
    }
  }
  return types;
}

std::vector<standin::LoggerTypeSpec> Specs(const std::vector<TypeLayout>& types) {
  std::vector<standin::LoggerTypeSpec> specs;
  for (const TypeLayout& type : types) specs.push_back(type.spec);
  return specs;
}

// One gathering as the run must do it: the lines of the logger's last
// line-storing type, or `lines` unchanged when it has none (the null
// logger without the host's object, or a list of types the host failed to
// give, has none).
void Gather(const std::vector<TypeLayout>* logger, bool listFails, std::vector<Line>& lines) {
  if (logger == nullptr || listFails) return;
  for (const TypeLayout& type : *logger)
    if (!type.spec.emptyEntry && type.spec.storesLines) lines = type.lines;
}

struct Input {
  uint8_t switches = 0;
  std::optional<standin::Site> faultSite;
  bool faultOnward = false;
  int64_t faultIndex = 0;
  std::vector<TypeLayout> python;
  std::vector<TypeLayout> byDefault;
  std::vector<TypeLayout> nullLogger;

  standin::RegistryEntry Entry() const {
    static constexpr standin::RegistryEntry entries[] = {
        standin::RegistryEntry::Logger, standin::RegistryEntry::CompatibleLogger, standin::RegistryEntry::NotALogger,
        standin::RegistryEntry::Missing};
    return entries[switches & 3];
  }
  bool HasNullLogger() const { return (switches & 4) != 0; }
  bool HasDefaultLogger() const { return (switches & 8) == 0; }
  bool HasLoggerDataType() const { return (switches & 16) == 0; }
  // Whether the call of `site` with this index at that site is made to fail.
  bool Fails(standin::Site site, int64_t index) const {
    return faultSite == site && index >= faultIndex && (faultOnward || index == faultIndex);
  }
};

Input ReadInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  Input input;
  input.switches = in.Byte();
  const uint8_t fault = in.Byte();
  const size_t site = fault & 0x1F;
  if (site != 0 && site - 1 < standin::SITE_COUNT) input.faultSite = static_cast<standin::Site>(site - 1);
  input.faultOnward = (fault & 0x20) != 0;
  input.faultIndex = in.Byte();
  size_t budget = MAX_CODES;
  input.python = ReadLogger(in, budget);
  input.byDefault = ReadLogger(in, budget);
  input.nullLogger = ReadLogger(in, budget);
  return input;
}

struct Expected {
  std::vector<Line> pythonLines;  // what the marker test searches
  std::vector<Line> fileLines;    // what a written file holds
  bool markerFound = false;
};

Expected Expect(const Input& input) {
  Expected expected;
  const std::vector<TypeLayout>* nullLogger = input.HasNullLogger() ? &input.nullLogger : nullptr;
  // The host counts a request for the list of types only for a logger
  // whose list is not empty.
  int64_t listCalls = 0;
  auto listFails = [&](const std::vector<TypeLayout>* logger) {
    if (logger == nullptr || logger->empty()) return false;
    return input.Fails(standin::Site::GetLoggerTypes, listCalls++);
  };

  const bool pythonIsLogger =
      (input.Entry() == standin::RegistryEntry::Logger || input.Entry() == standin::RegistryEntry::CompatibleLogger) &&
      input.HasLoggerDataType();
  const std::vector<TypeLayout>* python = pythonIsLogger ? &input.python : nullLogger;
  Gather(python, listFails(python), expected.pythonLines);
  for (const Line& line : expected.pythonLines)
    if (line.text.find(MARKER) != std::u32string::npos) expected.markerFound = true;

  // The default logger is resolved at the file phase's first use of it.
  const bool resolved = input.HasDefaultLogger() && !input.Fails(standin::Site::ResolveLogger, 0);
  const std::vector<TypeLayout>* byDefault = resolved ? &input.byDefault : nullLogger;
  expected.fileLines = expected.pythonLines;
  Gather(byDefault, listFails(byDefault), expected.fileLines);
  return expected;
}

std::string ExpectedFile(const std::vector<Line>& lines) {
  std::string bytes = "Start log regels.\n";
  for (const Line& line : lines) bytes += standin::EncodeUtf8(line.text) + "\n";
  return bytes + "Einde log regels.\n";
}

std::optional<std::string> ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

// The module file and the host folder live for the whole process: the
// module's coverage counters must stay mapped while libFuzzer reads them.
struct Fixture {
  std::filesystem::path folder;
  std::unique_ptr<standin::ModuleFile> module;
};

Fixture& TheFixture() {
  static Fixture fixture = [] {
    Fixture made;
    made.folder = std::filesystem::temp_directory_path() / ("quistmoor-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(made.folder);
    std::string error;
    made.module = standin::ModuleFile::Open(HARLWICK_FUZZ_MODULE, standin::AllFrameworks(), error);
    if (!made.module) {
      std::fprintf(stderr, "quistmoor_fuzz: %s\n", error.c_str());
      std::exit(2);
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(TheFixture().folder, ignored);
    });
    return made;
  }();
  return fixture;
}

void RunOneCycle(const Input& input) {
  Fixture& fixture = TheFixture();
  const std::filesystem::path logFile = fixture.folder / "consolelog.txt";
  std::error_code ignored;
  std::filesystem::remove(logFile, ignored);

  standin::HostOptions options;
  options.hostFolder = fixture.folder;
  options.quarantine = 4096;
  standin::Host host(options);
  host.SetPythonLogger(Specs(input.python), input.Entry());
  host.SetDefaultLogger(input.HasDefaultLogger() ? std::optional(Specs(input.byDefault)) : std::nullopt);
  host.SetNullLogger(input.HasNullLogger() ? std::optional(Specs(input.nullLogger)) : std::nullopt);
  host.SetLoggerDataTypeAvailable(input.HasLoggerDataType());
  host.SetEmptyStringAvailable((input.switches & 32) == 0);
  host.SetNullReturnErrorAvailable((input.switches & 64) == 0);
  host.SetErrorSlotAvailable((input.switches & 128) == 0);
  if (input.faultSite) host.GetFaults().FailSite(*input.faultSite, input.faultIndex, input.faultOnward ? -1 : 1);

  standin::ModuleLife life(host, *fixture.module);
  if (life.Init() != 1) Violated("the module refused to load");
  life.Start();
  life.Message(BRN_MESSAGE_INIT_RESOURCE);
  const std::optional<bool> answer = host.RunCommand(QUISTMOOR_ID);
  life.End();

  const std::vector<std::string> held = host.GetLedger().ModuleHeldReport();
  if (!held.empty()) Violated("after the unload the module still holds " + held.front());
  if (!answer) return;  // not registered: an injected failure

  const Expected expected = Expect(input);
  const std::optional<std::string> written = ReadFile(logFile);
  if (std::getenv("QUISTMOOR_FUZZ_VERBOSE") != nullptr) {
    // What the run did, for reading a crash input or a seed.
    std::fprintf(stderr, "answer %s, marker %s, file %s\n", *answer ? "true" : "false",
                 expected.markerFound ? "found" : "not found",
                 written ? ("\"" + Printable(*written) + "\"").c_str() : "(none)");
    for (const standin::LogOutput& output : host.DefaultLoggerOutputs())
      std::fprintf(stderr, "  output: %s\n", Printable(output.text).c_str());
    for (const standin::MessageBoxRecord& box : host.MessageBoxes())
      std::fprintf(stderr, "  message box: %s\n", Printable(box.text).c_str());
  }
  const bool markerMade = !input.faultSite || (*input.faultSite != standin::Site::StringCreate &&
                                               *input.faultSite != standin::Site::SetCString);
  if (*answer && expected.markerFound && markerMade && written)
    Violated("a run that found the marker wrote consolelog.txt");
  if (*answer && !expected.markerFound) {
    const std::string want = ExpectedFile(expected.fileLines);
    if (written != want)
      Violated("consolelog.txt holds \"" + Printable(written.value_or("(no file)")) + "\", expected \"" +
               Printable(want) + "\"");
  }
}

}  // namespace

// Loads the module before fuzzing starts, so that libFuzzer counts its
// coverage from the first input on.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  TheFixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunOneCycle(ReadInput(data, size));
  return 0;
}
