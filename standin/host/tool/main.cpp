// harlwick-host: loads a module into the stand-in host, starts it, runs its
// command and unloads it, then prints what the host saw.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "standin/host.h"
#include "standin/loader.h"
#include "standin/utf8.h"

namespace {

constexpr int32_t QUISTMOOR_ID = 1050115;

enum Exit { OK = 0, RUN_FAILED = 1, USAGE = 2, NOT_LOADED = 3, LEAKED = 4, STOPPED = 5 };

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
    "options:\n"
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
    "\n"
    "exit codes:\n"
    "  0  every run answered true\n"
    "  1  a run answered false, or the command was not registered\n"
    "  2  a wrong argument, a log file that cannot be read, or no host folder\n"
    "  3  the module was not loaded: no such file, not a complete shared library\n"
    "     of this platform, no entry or declaration, or it refused to load\n"
    "  4  the module still held host objects when it had ended, or broke\n"
    "     one of the host's rules (a file freed while still open)\n"
    "  5  the host stopped on an error of its own, such as running out of memory\n";

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
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    auto value = [&](std::string& out) {
      if (index + 1 >= argc) {
        error = "option " + argument + " needs a value";
        return false;
      }
      out = argv[++index];
      return true;
    };
    std::string text;
    if (argument == "--help" || argument == "-h") {
      help = true;
    } else if (argument == "--diagnostics") {
      arguments.diagnostics = true;
    } else if (argument == "--api-version") {
      if (!value(text)) return false;
      if (!ParseNumber(text, arguments.apiVersion)) {
        error = "--api-version wants a whole number from 0 to 4294967295, not '" + text + "'";
        return false;
      }
    } else if (argument == "--runs") {
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
    } else if (argument == "--host-folder") {
      if (!value(text)) return false;
      arguments.hostFolder = standin::PathFromUtf8(text);
      arguments.hostFolderGiven = true;
    } else if (argument == "--python-log") {
      if (!value(text)) return false;
      arguments.pythonLogs.push_back(standin::PathFromUtf8(text));
    } else if (argument == "--default-log") {
      if (!value(text)) return false;
      arguments.defaultLogs.push_back(standin::PathFromUtf8(text));
    } else if (argument.size() > 1 && argument[0] == '-') {
      error = "unknown option '" + argument + "' (try --help)";
      return false;
    } else if (moduleGiven) {
      error = "one module at a time; '" + argument + "' is a second one (try --help)";
      return false;
    } else {
      arguments.module = standin::PathFromUtf8(argument);
      moduleGiven = true;
    }
  }
  if (!moduleGiven && !help) {
    error = "no module file given (try --help)";
    return false;
  }
  return true;
}

// One stored line per line of UTF-8; a line ends at LF or CR LF.
bool ReadLog(const std::filesystem::path& file, standin::LoggerTypeSpec& type, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read log file [" + standin::Utf8FromPath(file) + "]";
    return false;
  }
  // A stream keeps what stopped it to itself unless asked: memory that runs
  // out is no unreadable file.
  in.exceptions(std::ios::badbit);
  std::string line;
  try {
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      type.lines.push_back(standin::DecodeUtf8(line));
    }
  } catch (const std::ios_base::failure&) {
    error = "cannot read log file [" + standin::Utf8FromPath(file) + "]";
    return false;
  }
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

std::filesystem::path SampleFolder(const char* argv0) {
#ifdef HARLWICK_SAMPLE_DIR
  if (std::filesystem::is_directory(HARLWICK_SAMPLE_DIR)) return HARLWICK_SAMPLE_DIR;
#endif
  return std::filesystem::path(argv0).parent_path() / "sample";
}

void PrintSection(const std::string& title, const std::vector<std::string>& lines) {
  std::cout << "== " << title << " ==\n";
  if (lines.empty()) std::cout << "(none)\n";
  for (const std::string& line : lines) std::cout << line << "\n";
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
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", line);
  return STOPPED;
}

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
    std::cout << USAGE_TEXT;
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

  std::error_code folderError;
  if (arguments.hostFolderGiven && !std::filesystem::is_directory(arguments.hostFolder, folderError))
    return Fail(USAGE, "no host folder [" + standin::Utf8FromPath(arguments.hostFolder) + "]");

  stage.doing = "loading the module";
  // Declared before the host, so that the host ends while the module's code
  // is still there, on every way out.
  std::unique_ptr<standin::ModuleFile> module;
  standin::HostOptions options;
  options.apiVersion = arguments.apiVersion;
  options.diagnostics = arguments.diagnostics;
  options.hostFolder = arguments.hostFolder;
  options.abortOnLeak = false;
  standin::Host host(options);
  host.SetPythonLogger(pythonTypes);
  // The default logger echoes nothing itself; its line-storing types follow.
  defaultTypes.insert(defaultTypes.begin(), standin::LoggerTypeSpec{false, false, {}, {}, -1, true});
  host.SetDefaultLogger(defaultTypes);

  module = standin::ModuleFile::Open(arguments.module, options.frameworks, error);
  if (!module) return Fail(NOT_LOADED, error);
  const standin::ModuleDeclaration& declared = module->Declaration();
  std::cout << "loaded " << declared.moduleId << " (API floor " << declared.apiFloor << ") from "
            << standin::Utf8FromPath(arguments.module) << "\n";

  standin::ModuleLife life(host, *module);
  const int32_t initAnswer = life.Init();
  if (initAnswer != 1) {
    return Fail(NOT_LOADED, "the module refused to load (answer " + std::to_string(initAnswer) +
                                "): host API version " + std::to_string(arguments.apiVersion) + ", module floor " +
                                std::to_string(declared.apiFloor));
  }
  // The default host folder, once there is a module to write into it.
  if (!arguments.hostFolderGiven) std::filesystem::create_directories(arguments.hostFolder, folderError);
  if (!std::filesystem::is_directory(arguments.hostFolder, folderError)) {
    life.End();
    return Fail(USAGE, "no host folder [" + standin::Utf8FromPath(arguments.hostFolder) + "]" +
                           (folderError ? ": " + folderError.message() : std::string()));
  }
  int exitCode = OK;
  stage.doing = "starting the module";
  life.Start();
  if (life.Message(BRN_MESSAGE_INIT_RESOURCE) != 1)
    std::cout << "note: the module's resource folder is not available\n";

  const std::filesystem::path logFile = arguments.hostFolder / "consolelog.txt";
  std::error_code timeError;
  const auto before = std::filesystem::last_write_time(logFile, timeError);
  const bool existedBefore = !timeError;
  // Whether the last run that took a host file answered true: a run that
  // answered false may have left its file half-written.
  bool fileComplete = true;
  std::cout << "== runs ==\n";
  if (arguments.runs == 0) std::cout << "(none)\n";
  std::cout.flush();
  for (int run = 1; run <= arguments.runs; ++run) {
    stage.run = run;
    const int64_t filesBefore = host.GetLedger().Counts().Made(standin::Kind::File);
    const std::optional<bool> answer = host.RunCommand(QUISTMOOR_ID);
    if (!answer) {
      std::cout << "run " << run << ": the command is not registered" << std::endl;
      exitCode = RUN_FAILED;
      break;
    }
    std::cout << "run " << run << ": Quistmoor answered " << (*answer ? "true" : "false") << std::endl;
    if (!*answer) exitCode = RUN_FAILED;
    if (host.GetLedger().Counts().Made(standin::Kind::File) != filesBefore) fileComplete = *answer;
  }
  stage.run = 0;
  stage.doing = "ending the module";
  life.End();

  stage.doing = "printing the report";
  PrintSection("console", host.ShownConsole());
  std::cout << "== default logger ==\n";
  if (host.DefaultLoggerOutputs().empty()) std::cout << "(none)\n";
  for (const standin::LogOutput& output : host.DefaultLoggerOutputs()) std::cout << output.text << "\n";
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
    std::cout << "== " << standin::Utf8FromPath(logFile) << " (" << size << " bytes"
              << (fileComplete ? "" : ", incomplete: the run that wrote it answered false") << ") ==\n";
    if (size > 0) {
      // A file cut short may end inside a line; what follows starts on a line of its own.
      char last = '\n';
      in.seekg(-1, std::ios::end);
      in.get(last);
      in.seekg(0);
      std::cout << in.rdbuf();
      if (last != '\n') std::cout << "\n";
    }
  }

  const std::vector<std::string> held = host.GetLedger().ModuleHeldReport();
  if (!held.empty()) {
    PrintSection("host objects the module still holds", held);
    exitCode = LEAKED;
  } else {
    std::cout << "== host objects: every one the module took was released ==\n";
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

}  // namespace

int main(int argc, char** argv) {
  // Whatever the host did not expect ends in one line and an exit code of its own.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    return Stopped("out of memory");
  } catch (const std::exception& error) {
    return Stopped(error.what());
  } catch (...) {
    return Stopped("an unknown error");
  }
}
