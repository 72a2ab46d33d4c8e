// harlwick-host: loads a module into the stand-in host, starts it, runs its
// command and unloads it, then prints what the host saw.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "standin/host.h"
#include "standin/loader.h"
#include "standin/utf8.h"

namespace {

constexpr int32_t QUISTMOOR_ID = 1050115;

enum Exit { OK = 0, RUN_FAILED = 1, USAGE = 2, NOT_LOADED = 3, LEAKED = 4, STOPPED = 5, REPORT_LOST = 6 };

// More runs than anyone reads the report of; each run also writes every
// line the runs before it echoed.
constexpr int MAX_RUNS = 1000;

const char* const USAGE_TEXT =
    "usage: harlwick-host [options] MODULE\n"
    "\n"
    "Loads MODULE (a harlwick.xdl64; a name without a folder is looked for in\n"
    "the current folder) into the stand-in host, starts it, sends message 1,\n"
    "runs its command, unloads it and prints the host's console, the default\n"
    "logger's outputs, any message box, the file operations the system refused\n"
    "and the written log file. Each run's answer is printed as the run ends.\n"
    "\n"
    "options (each that takes a value also as --option=VALUE; after --, an\n"
    "argument is the module even when it starts with -):\n"
    "  --help               this text\n"
    "  --api-version N      the host API version the module is given (default 2025000)\n"
    "  --diagnostics        show the console's diagnostic lines\n"
    "  --host-folder DIR    the host folder, where consolelog.txt goes\n"
    "                       (default: harlwick-output, made once the module has loaded)\n"
    "  --runs N             how often to run the command, 0 to 1000 (default 1);\n"
    "                       the default logger keeps each run's \"Message: <line>\"\n"
    "                       echoes, so the next run writes them too (every run\n"
    "                       writes twice the lines of the one before)\n"
    "  --python-log FILE    one line-storing type of the Python logger, holding\n"
    "                       FILE's lines (one per line of UTF-8); repeat for more\n"
    "                       types; a run keeps only the last type's lines\n"
    "  --default-log FILE   the same for the default logger; without it the\n"
    "                       default logger stores no lines, and a run writes the\n"
    "                       Python logger's lines into consolelog.txt\n"
    "\n"
    "Without --python-log and --default-log it runs the bundled sample session.\n"
    "A log file may be a pipe; a UTF-8 byte-order mark at its start is skipped.\n"
    "\n"
    "exit codes:\n"
    "  0  every run answered true\n"
    "  1  a run answered false, or the command was not registered\n"
    "  2  a wrong argument, a log file that cannot be read, or no host folder\n"
    "  3  the module was not loaded: no such file, not a complete shared library\n"
    "     of this platform, no entry or declaration, or it refused to load\n"
    "  4  the module still held host objects when it had ended, or broke\n"
    "     one of the host's rules (a file freed while still open)\n"
    "  5  the host stopped on an error of its own, such as running out of memory\n"
    "  6  the report could not be written to standard output (a full device, a\n"
    "     closed stream, a write error); in place of 0, 1 or 4\n";

struct Arguments {
  std::filesystem::path module;
  uint32_t apiVersion = standin::HOST_API_VERSION;
  bool diagnostics = false;
  std::filesystem::path hostFolder = "harlwick-output";
  bool hostFolderGiven = false;
  int runs = 1;
  std::vector<std::filesystem::path> pythonLogs;
  std::vector<std::filesystem::path> defaultLogs;
};

// Standard output through a buffer of its own, so that the first write the
// system refuses keeps its reason: a report that is lost is told, not taken
// for success. Once a write has failed the rest is dropped.
class ReportBuffer : public std::streambuf {
 public:
  ReportBuffer() { setp(buffer_, buffer_ + sizeof(buffer_)); }
  // Hands what is buffered to the system; false once a write has failed.
  bool Flush() {
    Drain();
    if (error_ == 0) {
      errno = 0;
      if (std::fflush(stdout) != 0) error_ = errno != 0 ? errno : EIO;
    }
    return error_ == 0;
  }
  // A reason known before anything is written (a closed stream).
  void Refuse(int error) { error_ = error; }
  // The system's reason for the first failed write, when the report had
  // anything to say; 0 when it all went out.
  int Lost() const { return written_ ? error_ : 0; }

 protected:
  int_type overflow(int_type c) override {
    Drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  void Drain() {
    const size_t size = static_cast<size_t>(pptr() - pbase());
    if (size > 0) written_ = true;
    if (size > 0 && error_ == 0) {
      errno = 0;
      if (std::fwrite(pbase(), 1, size, stdout) != size) error_ = errno != 0 ? errno : EIO;
    }
    setp(buffer_, buffer_ + sizeof(buffer_));
  }
  char buffer_[1 << 14];
  int error_ = 0;
  bool written_ = false;
};

ReportBuffer reportBuffer;
std::ostream report(&reportBuffer);

int Fail(int code, const std::string& message) {
  std::cerr << "harlwick-host: " << message << "\n";
  return code;
}

template <typename Number>
bool ParseNumber(const std::string& text, Number& value) {
  const char* end = text.data() + text.size();
  auto [last, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && last == end;
}

// Parses the command line; on a wrong argument, sets `error` and answers false.
bool Parse(int argc, char** argv, Arguments& arguments, bool& help, std::string& error) {
  bool moduleGiven = false;
  bool optionsEnded = false;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || argument.size() <= 1 || argument[0] != '-') {
      if (moduleGiven) {
        error = "one module at a time; '" + argument + "' is a second one (try --help)";
        return false;
      }
      arguments.module = standin::PathFromUtf8(argument);
      moduleGiven = true;
      continue;
    }
    // --option=value, or the value as the next argument.
    std::string name = argument;
    std::optional<std::string> attached;
    const size_t equals = argument.find('=');
    if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = argument.substr(0, equals);
      attached = argument.substr(equals + 1);
    }
    auto value = [&](std::string& out) {
      if (attached) {
        out = *attached;
      } else if (index + 1 < argc) {
        out = argv[++index];
      } else {
        error = "option " + name + " needs a value";
        return false;
      }
      return true;
    };
    auto flag = [&](bool& out) {
      if (attached) {
        error = "option " + name + " takes no value, not '" + *attached + "'";
        return false;
      }
      out = true;
      return true;
    };
    std::string text;
    if (name == "--help" || name == "-h") {
      if (!flag(help)) return false;
    } else if (name == "--diagnostics") {
      if (!flag(arguments.diagnostics)) return false;
    } else if (name == "--api-version") {
      if (!value(text)) return false;
      if (!ParseNumber(text, arguments.apiVersion)) {
        error = "--api-version wants a whole number from 0 to 4294967295, not '" + text + "'";
        return false;
      }
    } else if (name == "--runs") {
      if (!value(text)) return false;
      const bool digits =
          !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (!digits) {
        error = "--runs wants a whole number from 0 to " + std::to_string(MAX_RUNS) + ", not '" + text + "'";
        return false;
      }
      if (!ParseNumber(text, arguments.runs) || arguments.runs > MAX_RUNS) {
        error = "--runs " + text + " is above the bound of " + std::to_string(MAX_RUNS) + " runs";
        return false;
      }
    } else if (name == "--host-folder") {
      if (!value(text)) return false;
      arguments.hostFolder = standin::PathFromUtf8(text);
      arguments.hostFolderGiven = true;
    } else if (name == "--python-log") {
      if (!value(text)) return false;
      arguments.pythonLogs.push_back(standin::PathFromUtf8(text));
    } else if (name == "--default-log") {
      if (!value(text)) return false;
      arguments.defaultLogs.push_back(standin::PathFromUtf8(text));
    } else {
      error = "unknown option '" + name + "' (try --help)";
      return false;
    }
  }
  if (!moduleGiven && !help) {
    error = "no module file given (try --help)";
    return false;
  }
  return true;
}

std::FILE* OpenForReading(const std::filesystem::path& file) {
#ifdef _WIN32
  return _wfopen(file.c_str(), L"rb");
#else
  return std::fopen(file.c_str(), "rb");
#endif
}

// One stored line per line of UTF-8; a line ends at LF or CR LF. A UTF-8
// byte-order mark at the start is no part of the first line. The file is
// read as a stream, so that it may be a pipe.
bool ReadLog(const std::filesystem::path& file, standin::LoggerTypeSpec& type, std::string& error) {
  auto unreadable = [&](int reason) {
    error = "cannot read log file [" + standin::Utf8FromPath(file) + "]: " + std::strerror(reason);
    return false;
  };
  // Some systems open a folder for reading and refuse only its reads.
  std::error_code ignored;
  if (std::filesystem::is_directory(file, ignored)) return unreadable(EISDIR);
  errno = 0;
  std::FILE* in = OpenForReading(file);
  if (in == nullptr) return unreadable(errno != 0 ? errno : EIO);
  struct Closer {
    std::FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{in};

  std::string line;
  bool first = true;
  auto store = [&] {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    type.lines.push_back(standin::DecodeUtf8(line));
    line.clear();
  };
  // On the heap: memory that runs out then throws rather than overrunning the stack.
  constexpr size_t BUFFER_SIZE = size_t{1} << 16;
  const std::unique_ptr<char[]> bytes(new char[BUFFER_SIZE]);
  char* const buffer = bytes.get();
  for (;;) {
    errno = 0;
    const size_t got = std::fread(buffer, 1, BUFFER_SIZE, in);
    const int reason = errno;
    for (const char* at = buffer; at < buffer + got;) {
      const char* end = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(buffer + got - at)));
      line.append(at, end != nullptr ? end : buffer + got);
      if (end == nullptr) break;
      store();
      at = end + 1;
    }
    if (got == BUFFER_SIZE) continue;
    if (std::ferror(in)) return unreadable(reason != 0 ? reason : EIO);
    break;
  }
  // The last line, without a line feed; a file of only a byte-order mark has none.
  if (first && line == "\xEF\xBB\xBF") line.clear();
  if (!line.empty()) store();
  return true;
}

bool ReadLogs(const std::vector<std::filesystem::path>& files, std::vector<standin::LoggerTypeSpec>& types,
              std::string& error) {
  for (const std::filesystem::path& file : files) {
    standin::LoggerTypeSpec type;
    if (!ReadLog(file, type, error)) return false;
    types.push_back(std::move(type));
  }
  return true;
}

// "no host folder [X]: <the system's reason>"; a path that names something
// else than a folder is not one.
std::string NoHostFolder(const std::filesystem::path& folder, std::error_code reason) {
  if (!reason) reason = std::make_error_code(std::errc::not_a_directory);
  return "no host folder [" + standin::Utf8FromPath(folder) + "]: " + reason.message();
}

std::filesystem::path SampleFolder(const char* argv0) {
#ifdef HARLWICK_SAMPLE_DIR
  if (std::filesystem::is_directory(HARLWICK_SAMPLE_DIR)) return HARLWICK_SAMPLE_DIR;
#endif
  return std::filesystem::path(argv0).parent_path() / "sample";
}

void PrintSection(const std::string& title, const std::vector<std::string>& lines) {
  report << "== " << title << " ==\n";
  if (lines.empty()) report << "(none)\n";
  for (const std::string& line : lines) report << line << "\n";
}

// What the program is doing, for the message of an unexpected stop; kept
// as static text so that the message needs no memory of its own.
struct Stage {
  const char* doing = "starting";
  int run = 0;  // the run under way, or 0
};
Stage stage;

// The one-line message of a stop on an error the host did not expect.
int Stopped(const char* reason) noexcept {
  char line[512];
  if (stage.run > 0)
    std::snprintf(line, sizeof(line), "harlwick-host: stopped in run %d: %s", stage.run, reason);
  else
    std::snprintf(line, sizeof(line), "harlwick-host: stopped while %s: %s", stage.doing, reason);
  for (char* c = line; *c != '\0'; ++c)
    if (*c == '\n' || *c == '\r') *c = ' ';
  reportBuffer.Flush();
  std::fprintf(stderr, "%s\n", line);
  return STOPPED;
}

// The exit code once the report is out: a report the system refused is
// told in one line, and the exit code says so unless it tells worse.
int Finish(int code) {
  reportBuffer.Flush();
  const int lost = reportBuffer.Lost();
  if (lost == 0) return code;
  std::fprintf(stderr, "harlwick-host: the report could not be written to standard output: %s\n", std::strerror(lost));
  return code == OK || code == RUN_FAILED || code == LEAKED ? REPORT_LOST : code;
}

// The last way out: memory so short that not even the exception for it
// can be made ends the program here, as does an exception that escapes.
[[noreturn]] void Terminated() noexcept {
  const char* reason = "out of memory";
  if (const std::exception_ptr escaped = std::current_exception()) {
    try {
      std::rethrow_exception(escaped);
    } catch (const std::bad_alloc&) {
    } catch (const std::exception& error) {
      reason = error.what();
    } catch (...) {
      reason = "an unknown error";
    }
  }
  std::_Exit(Finish(Stopped(reason)));
}

// Ends the module on every way out once it has loaded, before the host
// ends: a stop then leaves only what the module itself kept.
class ModuleEnd {
 public:
  explicit ModuleEnd(standin::ModuleLife& life) : life_(life) {}
  ~ModuleEnd() {
    if (!done_) life_.End();
  }
  ModuleEnd(const ModuleEnd&) = delete;
  ModuleEnd& operator=(const ModuleEnd&) = delete;
  void Now() {
    done_ = true;
    life_.End();
  }
  // A module that refused to load is not ended.
  void Skip() { done_ = true; }

 private:
  standin::ModuleLife& life_;
  bool done_ = false;
};

int Run(int argc, char** argv) {
  stage.doing = "reading the arguments";
  // The arguments as UTF-8 on every platform.
  std::vector<std::string> utf8Arguments = standin::ArgumentsAsUtf8(argc, argv);
  std::vector<char*> utf8Argv;
  for (std::string& argument : utf8Arguments) utf8Argv.push_back(argument.data());
  utf8Argv.push_back(nullptr);
  argv = utf8Argv.data();

  Arguments arguments;
  bool help = false;
  std::string error;
  if (!Parse(argc, argv, arguments, help, error)) return Fail(USAGE, error);
  if (help) {
    report << USAGE_TEXT;
    return OK;
  }

  stage.doing = "reading the log files";
  std::vector<standin::LoggerTypeSpec> pythonTypes;
  std::vector<standin::LoggerTypeSpec> defaultTypes;
  if (arguments.pythonLogs.empty() && arguments.defaultLogs.empty()) {
    const std::filesystem::path sample = SampleFolder(argv[0]);
    arguments.pythonLogs.push_back(sample / "python.log");
    arguments.defaultLogs.push_back(sample / "default.log");
  }
  if (!ReadLogs(arguments.pythonLogs, pythonTypes, error) || !ReadLogs(arguments.defaultLogs, defaultTypes, error))
    return Fail(USAGE, error);

  if (arguments.hostFolderGiven) {
    std::error_code reason;
    if (!std::filesystem::is_directory(arguments.hostFolder, reason))
      return Fail(USAGE, NoHostFolder(arguments.hostFolder, reason));
  }

  stage.doing = "setting up the host";
  // Declared before the host, so that the host ends while the module's code
  // is still there, on every way out.
  std::unique_ptr<standin::ModuleFile> module;
  standin::HostOptions options;
  options.apiVersion = arguments.apiVersion;
  options.diagnostics = arguments.diagnostics;
  options.hostFolder = arguments.hostFolder;
  options.abortOnLeak = false;
  standin::Host host(options);
  stage.doing = "storing the log lines";
  host.SetPythonLogger(pythonTypes);
  // The default logger echoes nothing itself; its line-storing types follow.
  defaultTypes.insert(defaultTypes.begin(), standin::LoggerTypeSpec{false, false, {}, {}, -1, true});
  host.SetDefaultLogger(defaultTypes);
  // The host holds its own copies now.
  std::vector<standin::LoggerTypeSpec>().swap(pythonTypes);
  std::vector<standin::LoggerTypeSpec>().swap(defaultTypes);

  stage.doing = "loading the module";
  module = standin::ModuleFile::Open(arguments.module, options.frameworks, error);
  if (!module) return Fail(NOT_LOADED, error);
  const standin::ModuleDeclaration& declared = module->Declaration();
  report << "loaded " << declared.moduleId << " (API floor " << declared.apiFloor << ") from "
         << standin::Utf8FromPath(arguments.module) << "\n";

  standin::ModuleLife life(host, *module);
  ModuleEnd ending(life);
  const int32_t initAnswer = life.Init();
  if (initAnswer != 1) {
    ending.Skip();
    return Fail(NOT_LOADED, "the module refused to load (answer " + std::to_string(initAnswer) +
                                "): host API version " + std::to_string(arguments.apiVersion) + ", module floor " +
                                std::to_string(declared.apiFloor));
  }
  // The default host folder, once there is a module to write into it; the
  // reason it could not be made is the one told.
  std::error_code made;
  if (!arguments.hostFolderGiven) std::filesystem::create_directories(arguments.hostFolder, made);
  std::error_code found;
  if (!std::filesystem::is_directory(arguments.hostFolder, found)) {
    ending.Now();
    return Fail(USAGE, NoHostFolder(arguments.hostFolder, made ? made : found));
  }
  int exitCode = OK;
  stage.doing = "starting the module";
  life.Start();
  if (life.Message(BRN_MESSAGE_INIT_RESOURCE) != 1) report << "note: the module's resource folder is not available\n";

  const std::filesystem::path logFile = arguments.hostFolder / "consolelog.txt";
  std::error_code timeError;
  const auto before = std::filesystem::last_write_time(logFile, timeError);
  const bool existedBefore = !timeError;
  // Whether the last run that took a host file answered true: a run that
  // answered false may have left its file half-written.
  bool fileComplete = true;
  report << "== runs ==\n";
  if (arguments.runs == 0) report << "(none)\n";
  report.flush();
  for (int run = 1; run <= arguments.runs; ++run) {
    stage.run = run;
    const int64_t filesBefore = host.GetLedger().Counts().Made(standin::Kind::File);
    const std::optional<bool> answer = host.RunCommand(QUISTMOOR_ID);
    if (!answer) {
      report << "run " << run << ": the command is not registered" << std::endl;
      exitCode = RUN_FAILED;
      break;
    }
    report << "run " << run << ": Quistmoor answered " << (*answer ? "true" : "false") << std::endl;
    if (!*answer) exitCode = RUN_FAILED;
    if (host.GetLedger().Counts().Made(standin::Kind::File) != filesBefore) fileComplete = *answer;
  }
  stage.run = 0;
  stage.doing = "ending the module";
  ending.Now();

  stage.doing = "printing the report";
  PrintSection("console", host.ShownConsole());
  report << "== default logger ==\n";
  if (host.DefaultLoggerOutputs().empty()) report << "(none)\n";
  for (const standin::LogOutput& output : host.DefaultLoggerOutputs()) report << output.text << "\n";
  std::vector<std::string> boxes;
  for (const standin::MessageBoxRecord& box : host.MessageBoxes()) boxes.push_back("[!] " + box.text);
  PrintSection("message box", boxes);
  if (!host.FileFailures().empty()) {
    std::vector<std::string> failures;
    for (const standin::FileFailure& failure : host.FileFailures())
      failures.push_back(failure.operation + " [" + failure.path + "]: " + failure.reason);
    PrintSection("file operations the system refused", failures);
  }

  // Only a file this session wrote, and only a plain file (not a device
  // that the name may lead to).
  const auto after = std::filesystem::last_write_time(logFile, timeError);
  if (!timeError && (!existedBefore || after != before) && std::filesystem::is_regular_file(logFile, timeError)) {
    std::ifstream in(logFile, std::ios::binary);
    const uintmax_t size = std::filesystem::file_size(logFile, timeError);
    report << "== " << standin::Utf8FromPath(logFile) << " (" << size << " bytes"
           << (fileComplete ? "" : ", incomplete: the run that wrote it answered false") << ") ==\n";
    if (size > 0) {
      // A file cut short may end inside a line; what follows starts on a line of its own.
      char last = '\n';
      in.seekg(-1, std::ios::end);
      in.get(last);
      in.seekg(0);
      report << in.rdbuf();
      if (last != '\n') report << "\n";
    }
  }

  const std::vector<std::string> held = host.GetLedger().ModuleHeldReport();
  if (!held.empty()) {
    PrintSection("host objects the module still holds", held);
    exitCode = LEAKED;
  } else {
    report << "== host objects: every one the module took was released ==\n";
  }
  if (!host.ProtocolFaults().empty()) {
    PrintSection("the host's rules the module broke", host.ProtocolFaults());
    exitCode = LEAKED;
  }
  // What the host recorded is printed; without it the host has room to end
  // in after a session that used up the memory.
  stage.doing = "ending the host";
  host.ClearRecords();
  return exitCode;
}

// Standard streams that are closed are held open on the null device, so
// that no file the host opens takes their place (the report would land in
// consolelog.txt); a closed standard output still counts as lost.
void HoldStandardStreams() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
    if (fd == 1) reportBuffer.Refuse(EBADF);
  }
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(Terminated);
  HoldStandardStreams();
#ifndef _WIN32
  // A write beyond a file-size limit fails, and is reported, as any lost
  // write; it does not end the program.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  // The report buffers itself; each write then reaches the system at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // Whatever the host did not expect ends in one line and an exit code of its own.
  int code = OK;
  try {
    code = Run(argc, argv);
  } catch (const std::bad_alloc&) {
    code = Stopped("out of memory");
  } catch (const std::exception& error) {
    code = Stopped(error.what());
  } catch (...) {
    code = Stopped("an unknown error");
  }
  return Finish(code);
}
