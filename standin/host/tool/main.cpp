// harlwick-host: loads a module into the stand-in host, starts it, runs its
// command and unloads it, then prints what the host saw.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "standin/host.h"
#include "standin/loader.h"
#include "standin/utf8.h"

namespace {

constexpr int32_t QUISTMOOR_ID = 1050115;

enum Exit { OK = 0, RUN_FAILED = 1, USAGE = 2, NOT_LOADED = 3, LEAKED = 4 };

const char* const USAGE_TEXT =
    "usage: harlwick-host [options] MODULE\n"
    "\n"
    "Loads MODULE (a harlwick.xdl64) into the stand-in host, starts it, sends\n"
    "message 1, runs its command, unloads it and prints the host's console,\n"
    "the default logger's outputs, any message box and the written log file.\n"
    "\n"
    "options:\n"
    "  --help               this text\n"
    "  --api-version N      the host API version the module is given (default 2025000)\n"
    "  --diagnostics        show the console's diagnostic lines\n"
    "  --host-folder DIR    the host folder, where consolelog.txt goes\n"
    "                       (default: harlwick-output, made when missing)\n"
    "  --runs N             how often to run the command (default 1)\n"
    "  --python-log FILE    lines of one line-storing type of the Python logger,\n"
    "                       one per line of UTF-8; repeat for more types\n"
    "  --default-log FILE   the same for the default logger\n"
    "\n"
    "Without --python-log and --default-log it runs the bundled sample session.\n";

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
      if (!ParseNumber(text, arguments.runs) || arguments.runs < 0) {
        error = "--runs wants a whole number of 0 or more, not '" + text + "'";
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
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    type.lines.push_back(standin::DecodeUtf8(line));
  }
  if (in.bad()) {
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

}  // namespace

int main(int argc, char** argv) {
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
  if (!arguments.hostFolderGiven) std::filesystem::create_directories(arguments.hostFolder, folderError);
  if (!std::filesystem::is_directory(arguments.hostFolder, folderError))
    return Fail(USAGE, "no host folder [" + standin::Utf8FromPath(arguments.hostFolder) + "]");

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

  std::unique_ptr<standin::ModuleFile> module = standin::ModuleFile::Open(arguments.module, options.frameworks, error);
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
  int exitCode = OK;
  life.Start();
  if (life.Message(BRN_MESSAGE_INIT_RESOURCE) != 1)
    std::cout << "note: the module's resource folder is not available\n";

  const std::filesystem::path logFile = arguments.hostFolder / "consolelog.txt";
  std::error_code timeError;
  const auto before = std::filesystem::last_write_time(logFile, timeError);
  const bool existedBefore = !timeError;
  std::vector<std::string> answers;
  for (int run = 1; run <= arguments.runs; ++run) {
    const std::optional<bool> answer = host.RunCommand(QUISTMOOR_ID);
    if (!answer) {
      answers.push_back("run " + std::to_string(run) + ": the command is not registered");
      exitCode = RUN_FAILED;
      break;
    }
    answers.push_back("run " + std::to_string(run) + ": Quistmoor answered " + (*answer ? "true" : "false"));
    if (!*answer) exitCode = RUN_FAILED;
  }
  life.End();

  PrintSection("console", host.ShownConsole());
  PrintSection("runs", answers);
  std::vector<std::string> outputs;
  for (const standin::LogOutput& output : host.DefaultLoggerOutputs()) outputs.push_back(output.text);
  PrintSection("default logger", outputs);
  std::vector<std::string> boxes;
  for (const standin::MessageBoxRecord& box : host.MessageBoxes()) boxes.push_back("[!] " + box.text);
  PrintSection("message box", boxes);

  const auto after = std::filesystem::last_write_time(logFile, timeError);
  if (!timeError && (!existedBefore || after != before)) {
    std::ifstream in(logFile, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    std::cout << "== " << standin::Utf8FromPath(logFile) << " (" << bytes.size() << " bytes) ==\n" << bytes;
  }

  const std::vector<std::string> held = host.GetLedger().ModuleHeldReport();
  if (!held.empty()) {
    PrintSection("host objects the module still holds", held);
    return LEAKED;
  }
  std::cout << "== host objects: every one the module took was released ==\n";
  return exitCode;
}
