// The stand-in host application: the function table a module is given, and
// the state behind it (console, loggers, registered commands, files),
// which tests and the command-line host set up and read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brannoc_abi/host_api.h"
#include "standin/answers.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/trace.h"

namespace standin {

// The API version the stand-in host reports unless told otherwise.
inline constexpr uint32_t HOST_API_VERSION = 2025000;

inline constexpr const char* PYTHON_LOGGER_ID = "net.brannoc.logger.python";
inline constexpr const char* DEFAULT_LOGGER_ID = "net.brannoc.core.logger.default";
inline constexpr const char* LOGGER_REGISTRY_ID = "net.brannoc.core.registry.loggers";

// The host frameworks the stand-in host offers.
std::vector<std::string> AllFrameworks();

struct HostOptions {
  uint32_t apiVersion = HOST_API_VERSION;
  // The folder of path kind 8.
  std::filesystem::path hostFolder = ".";
  // Whether the console shows OUTPUT::DIAGNOSTIC lines.
  bool diagnostics = false;
  std::vector<std::string> frameworks = AllFrameworks();
  // How many released objects stay readable, so that a late use is named.
  size_t quarantine = 1 << 16;
  // Whether the host aborts when it ends with objects a module still holds.
  bool abortOnLeak = true;
  // Whether outputs to the default logger are recorded for
  // DefaultLoggerOutputs(); false mutes them (its types still store lines).
  bool recordDefaultOutputs = true;
  // Whether every call is recorded in the trace.
  bool trace = false;
  // When a module's end ends its plug-in objects.
  EndOrder endOrder = EndOrder::ObjectsFirst;
  // The answers of the table's entries that differ from the usual ones.
  OddAnswers answers;
};

// One logger type of a logger, as a test or the command-line host sets it up.
struct LoggerTypeSpec {
  bool storesLines = true;  // implements brannoc.UserLoggerTypeInterface
  bool emptyEntry = false;  // listed as an empty reference
  std::vector<std::u32string> lines;
  std::vector<bool> nullLines;  // where true, that line's text is the null String
  int64_t failAtLine = -1;      // iterate fails before handing over this line
  bool failWithError = true;    // ... with an error object, or without
};

// How the Python logger's registry entry looks.
enum class RegistryEntry { Logger, CompatibleLogger, NotALogger, Missing };

struct ConsoleLine {
  int32_t level;  // 0 for print_to_console, else the OUTPUT flags
  std::string text;
  bool shown;        // whether the console output type let it through
  std::string file;  // the source location given with the line, if any
  int32_t line = 0;
};

struct LogOutput {
  int32_t audience;
  int32_t meta;
  std::string text;
  std::string file;
  int32_t line;
};

struct MessageBoxRecord {
  std::string text;
  int32_t flags;
};

// A file operation that the system refused, with its reason.
struct FileFailure {
  std::string operation;  // "open", "write" or "close"
  std::string path;       // UTF-8
  std::string reason;     // the system's text, such as "No space left on device"
};

struct RegisteredPlugin {
  int32_t type;
  int32_t id;
  std::string name;
  int32_t info;
  bool hasIcon;
  std::string help;
  void* object;
  brn_command_dispatch dispatch;
  bool accepted;
  bool destroyed = false;
};

class HostState;

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The one host of the process, which the table's functions serve.
  static Host& Current();

  // The function table the host offers a module.
  const brn_host_api* Table() const;
  // Offers only the first `bytes` of the table, as an older host would (its
  // table_size says so); what lies past them cannot be read at all.
  void OfferTable(size_t bytes);
  const HostOptions& Options() const;
  void SetApiVersion(uint32_t version);
  void SetDiagnostics(bool shown);
  void SetHostFolder(const std::filesystem::path& folder);
  void SetEndOrder(EndOrder order);
  void SetOddAnswers(OddAnswers answers);

  // ---- Loggers ----
  void SetPythonLogger(std::vector<LoggerTypeSpec> types, RegistryEntry entry = RegistryEntry::Logger);
  void SetPythonEntry(RegistryEntry entry);
  // The default logger; std::nullopt: the host has none to resolve.
  void SetDefaultLogger(std::optional<std::vector<LoggerTypeSpec>> types);
  // The host's null-logger object; std::nullopt: the host has none.
  void SetNullLogger(std::optional<std::vector<LoggerTypeSpec>> types);
  void SetLoggerDataTypeAvailable(bool available);
  void SetEmptyStringAvailable(bool available);
  void SetNullReturnErrorAvailable(bool available);
  void SetErrorSlotAvailable(bool available);
  // The lines a logger type now stores, as UTF-32 (null lines as empty).
  std::vector<std::u32string> StoredLines(const std::string& loggerId, size_t typeIndex) const;
  // Replaces the lines of a line-storing type in place, so that a module
  // that resolved the logger sees them; false when there is no such type.
  bool SetStoredLines(const std::string& loggerId, size_t typeIndex, const std::vector<std::u32string>& lines);
  // Keeps the first `count` lines of a line-storing type and drops the rest.
  bool TrimStoredLines(const std::string& loggerId, size_t typeIndex, size_t count);
  // Ledger serials, for reading the trace: the logger (0: none), its types
  // (0 for an empty entry), and a type's stored lines (0 for a null line).
  uint64_t LoggerSerial(const std::string& loggerId) const;
  std::vector<uint64_t> LoggerTypeSerials(const std::string& loggerId) const;
  std::vector<uint64_t> StoredLineSerials(const std::string& loggerId, size_t typeIndex) const;

  // ---- What the host recorded ----
  const std::vector<ConsoleLine>& Console() const;
  // The console lines that were shown, in order.
  std::vector<std::string> ShownConsole() const;
  const std::vector<LogOutput>& DefaultLoggerOutputs() const;
  const std::vector<MessageBoxRecord>& MessageBoxes() const;
  // The file operations the system refused.
  const std::vector<FileFailure>& FileFailures() const;
  // Breaches of the host's rules that a lenient host forgives (a file freed
  // while still open), one line each; none for a module that keeps them.
  const std::vector<std::string>& ProtocolFaults() const;
  // How often a module asked the host to resolve the default logger's
  // declaration, successfully or not.
  int64_t DefaultLoggerResolutions() const;
  void ClearRecords();

  // ---- The call trace ----
  // Starts or stops recording (HostOptions::trace sets it at the start).
  void SetTracing(bool on);
  Trace& GetTrace();
  Events TraceEvents() const;

  // ---- Plug-ins ----
  std::vector<RegisteredPlugin>& Plugins();
  // Runs the accepted command of that id; nullopt when there is none.
  std::optional<bool> RunCommand(int32_t id);
  // Ends every registered object (accepted or not) through its callback.
  // A module's end does it before or after the module's last action 3, as
  // the end order says.
  void DestroyPlugins();
  // Drops what the host resolved or kept for a module that ends.
  void EndModule();

  Faults& GetFaults();
  Ledger& GetLedger();
  HostState& State();

 private:
  std::unique_ptr<HostState> state_;
};

}  // namespace standin
