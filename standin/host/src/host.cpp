#include "standin/host.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "standin/utf8.h"
#include "state.h"

namespace standin {

namespace {

Host* currentHost = nullptr;

template <typename Object>
void DeleteObject(ObjectHeader* header) {
  delete static_cast<Object*>(header);
}

}  // namespace

std::vector<std::string> AllFrameworks() {
  return {"net.brannoc.core.framework", "net.brannoc.application.framework", "net.brannoc.misc.framework"};
}

const char* SiteName(Site site) {
  switch (site) {
    case Site::Alloc:
      return "Alloc";
    case Site::Realloc:
      return "Realloc";
    case Site::StringCreate:
      return "StringCreate";
    case Site::SetCString:
      return "SetCString";
    case Site::ConcatString:
      return "ConcatStringCString";
    case Site::FormatText:
      return "FormatXArgs";
    case Site::ErrorToString:
      return "ToString";
    case Site::CreateError:
      return "CreateStandardError";
    case Site::GetHostPath:
      return "GetHostPath";
    case Site::FileNameFromCString:
      return "FileNameFromCString";
    case Site::JoinFileName:
      return "JoinFileName";
    case Site::AllocHostFile:
      return "AllocHostFile";
    case Site::OpenHostFile:
      return "OpenHostFile";
    case Site::WriteByte:
      return "WriteHostFileChar";
    case Site::CloseFile:
      return "CloseHostFile";
    case Site::RegisterPlugin:
      return "RegisterHostCommand";
    case Site::ResourceFolder:
      return "InitModuleResource";
    case Site::ResolveLogger:
      return "ResolveDefaultLogger";
    case Site::GetLoggerTypes:
      return "GetLoggerTypes";
    case Site::Iterate:
      return "Iterate";
    case Site::LoggerWrite:
      return "Write";
    case Site::Count:
      break;
  }
  return "?";
}

void Faults::Clear() {
  *this = Faults();
}

// ---- HostState ----

HostState::HostState(HostOptions hostOptions) : options(std::move(hostOptions)), ledger(options.quarantine) {
  ledger.SetKind(
      Kind::String, [](Ledger&, ObjectHeader* o) { std::u32string().swap(static_cast<StringObject*>(o)->text); },
      &DeleteObject<StringObject>);
  ledger.SetKind(
      Kind::Error, [](Ledger&, ObjectHeader* o) { std::string().swap(static_cast<ErrorObject*>(o)->text); },
      &DeleteObject<ErrorObject>);
  ledger.SetKind(
      Kind::DataType, [](Ledger&, ObjectHeader*) {}, &DeleteObject<DataTypeObject>);
  ledger.SetKind(
      Kind::LoggerType,
      [](Ledger& owner, ObjectHeader* o) {
        auto* type = static_cast<LoggerTypeObject*>(o);
        for (StringObject* line : type->lines)
          if (line != nullptr) owner.HostRelease(line);
        std::vector<StringObject*>().swap(type->lines);
      },
      &DeleteObject<LoggerTypeObject>);
  ledger.SetKind(
      Kind::Logger,
      [](Ledger& owner, ObjectHeader* o) {
        auto* logger = static_cast<LoggerObject*>(o);
        for (LoggerTypeObject* type : logger->types)
          if (type != nullptr) owner.HostRelease(type);
        logger->types.clear();
      },
      &DeleteObject<LoggerObject>);
  ledger.SetKind(
      Kind::FileName, [](Ledger&, ObjectHeader* o) { std::string().swap(static_cast<FileNameObject*>(o)->path); },
      &DeleteObject<FileNameObject>);
  ledger.SetKind(
      Kind::File,
      [](Ledger&, ObjectHeader* o) {
        auto* file = static_cast<FileObject*>(o);
        if (file->stream != nullptr) std::fclose(file->stream);
        file->stream = nullptr;
        std::vector<unsigned char>().swap(file->buffer);
      },
      &DeleteObject<FileObject>);
  ledger.SetKind(
      Kind::Resource, [](Ledger&, ObjectHeader*) {}, &DeleteObject<ResourceObject>);

  FillTable(table);
  table.api_version = options.apiVersion;
  usual = table;
  SetAnswerEntries(*this);
  SetTracing(options.trace);

  emptyString = NewString(U"", "host: empty String", true);
  receivingText = NewString(U"(what the receiving String held)", "host: formatter's receiving String", true);
  nullReturnError = NewError("A null reference was returned.", "host: null-return error", true);
  auto newType = [this](const char* id, const DataTypeObject* compatibleWith) {
    auto* type = new DataTypeObject();
    type->id = id;
    type->compatibleWith = compatibleWith;
    ledger.Register(type, Kind::DataType, "host: data type", true);
    return type;
  };
  loggerDataType = newType("net.brannoc.datatype.loggerref", nullptr);
  compatibleDataType = newType("net.brannoc.datatype.pythonloggerref", loggerDataType);
  numberDataType = newType("net.brannoc.datatype.int64", nullptr);
}

HostState::~HostState() {
  for (RegisteredPlugin& plugin : plugins)
    if (!plugin.destroyed) std::fprintf(stderr, "harlwick-host: plug-in %d never destroyed\n", plugin.id);
  for (ObjectHeader* resolution : resolutions) ReleaseHostRef(resolution);
  for (auto& [thread, error] : currentErrors)
    if (error != nullptr) ReleaseHostRef(FromHandle<ErrorObject>(error));
  registry.clear();
  ReleaseHostRef(pythonLogger);
  ReleaseHostRef(defaultLogger);
  ReleaseHostRef(nullLogger);
  for (auto& [key, string] : constStrings) ReleaseHostRef(string);
  ReleaseHostRef(emptyString);
  ReleaseHostRef(receivingText);
  ReleaseHostRef(nullReturnError);
  ReleaseHostRef(loggerDataType);
  ReleaseHostRef(compatibleDataType);
  ReleaseHostRef(numberDataType);

  const LedgerCounts counts = ledger.Counts();
  int64_t live = 0;
  for (const int64_t count : counts.live) live += count;
  if (live == 0) return;
  // One line however many there are: the count and the first few. The
  // names need memory of their own; without it, the count alone.
  constexpr size_t NAMED = 3;
  try {
    const std::vector<std::string> left = ledger.LiveReport();
    std::string line = "harlwick-host: " + std::to_string(left.size()) + " host objects outlive the host: ";
    for (size_t index = 0; index < left.size() && index < NAMED; ++index) line += (index > 0 ? "; " : "") + left[index];
    if (left.size() > NAMED) line += "; and " + std::to_string(left.size() - NAMED) + " more";
    std::fprintf(stderr, "%s\n", line.c_str());
  } catch (...) {
    std::fprintf(stderr, "harlwick-host: %lld host objects outlive the host\n", static_cast<long long>(live));
  }
  if (options.abortOnLeak) Fatal("objects outlive the host");
}

void HostState::SetTracing(bool on) {
  trace.SetOn(on);
  SetPerCharacterEntries(table, on);
  RefreshOffered();
}

void HostState::RefreshOffered() {
  // A shorter table on offer is a copy of the first bytes of this one, and
  // keeps its own size.
  if (!shortTable) return;
  const uint32_t bytes = offered->table_size;
  std::memcpy(offered, &table, bytes);
  offered->table_size = bytes;
}

StringObject* HostState::NewString(std::u32string text, const char* madeBy, bool hostKept) {
  auto* string = new StringObject();
  string->text = std::move(text);
  ledger.Register(string, Kind::String, madeBy, hostKept);
  return string;
}

ErrorObject* HostState::NewError(std::string text, const char* madeBy, bool hostKept) {
  auto* error = new ErrorObject();
  error->text = std::move(text);
  ledger.Register(error, Kind::Error, madeBy, hostKept);
  return error;
}

LoggerObject* HostState::NewLogger(const std::string& id, const std::vector<LoggerTypeSpec>& types) {
  auto made = std::make_unique<LoggerObject>();
  made->id = id;
  LoggerObject* logger = made.release();
  ledger.Register(logger, Kind::Logger, "host: logger", true);
  // Memory that runs out half-way leaves no half-built logger behind: its
  // release gives back every type and line made so far.
  try {
    logger->types.reserve(types.size());
    for (const LoggerTypeSpec& spec : types) {
      if (spec.emptyEntry) {
        logger->types.push_back(nullptr);
        continue;
      }
      auto* type = new LoggerTypeObject();
      type->storesLines = spec.storesLines;
      type->failAtLine = spec.failAtLine;
      type->failWithError = spec.failWithError;
      ledger.Register(type, Kind::LoggerType, "host: logger type", true);
      logger->types.push_back(type);
      type->lines.reserve(spec.lines.size());
      for (size_t index = 0; index < spec.lines.size(); ++index) {
        const bool isNull = index < spec.nullLines.size() && spec.nullLines[index];
        type->lines.push_back(isNull ? nullptr : NewString(spec.lines[index], "host: stored line", true));
      }
    }
  } catch (...) {
    ledger.HostRelease(logger);
    throw;
  }
  return logger;
}

ObjectHeader* HostState::Counted(const void* handle, const char* operation) const {
  ObjectHeader* object = ledger.CheckCounted(handle, operation);
  switch (object->kind) {
    case Kind::String:
    case Kind::Error:
    case Kind::Logger:
    case Kind::LoggerType:
    case Kind::DataType:
      return object;
    default:
      Fatal(std::string(operation) + ": " + KindName(object->kind) + " #" + std::to_string(object->serial) +
            " made by " + object->madeBy + " is not counted; it has a free operation");
  }
}

void HostState::SetRegistryEntries() {
  registry.erase(PYTHON_LOGGER_ID);
  registry.erase(DEFAULT_LOGGER_ID);
  if (defaultLogger != nullptr) registry[DEFAULT_LOGGER_ID] = {loggerDataType, ToHandle<brn_logger>(defaultLogger), 0};
  switch (pythonEntry) {
    case RegistryEntry::Logger:
      if (pythonLogger != nullptr) registry[PYTHON_LOGGER_ID] = {loggerDataType, ToHandle<brn_logger>(pythonLogger), 0};
      break;
    case RegistryEntry::CompatibleLogger:
      if (pythonLogger != nullptr)
        registry[PYTHON_LOGGER_ID] = {compatibleDataType, ToHandle<brn_logger>(pythonLogger), 0};
      break;
    case RegistryEntry::NotALogger:
      registry[PYTHON_LOGGER_ID] = {numberDataType, nullptr, 42};
      break;
    case RegistryEntry::Missing:
      break;
  }
}

void HostState::Record(int32_t level, std::string text, const char* file, int32_t line) {
  const int32_t shownLevels = options.diagnostics ? (BRN_OUTPUT_DIAGNOSTIC | BRN_OUTPUT_WARNING | BRN_OUTPUT_CRITICAL)
                                                  : (BRN_OUTPUT_WARNING | BRN_OUTPUT_CRITICAL);
  console.push_back(
      {level, std::move(text), level == 0 || (level & shownLevels) != 0, file != nullptr ? file : "", line});
}

// ---- Host ----

HostState* currentState = nullptr;

Host::Host(HostOptions options) {
  if (currentHost != nullptr) Fatal("a second host in one process");
  currentHost = this;
  state_ = std::make_unique<HostState>(std::move(options));
  currentState = state_.get();
  SetDefaultLogger(std::vector<LoggerTypeSpec>{{false, false, {}, {}, -1, true}, {true, false, {}, {}, -1, true}});
}

Host::~Host() {
  currentState = nullptr;
  state_.reset();
  currentHost = nullptr;
}

Host& Host::Current() {
  if (currentHost == nullptr) Fatal("a module called the host after the host ended");
  return *currentHost;
}

const brn_host_api* Host::Table() const {
  return state_->offered;
}

void Host::OfferTable(size_t bytes) {
  HostState& s = *state_;
  s.offered = &s.table;
  s.shortTable.reset();
  if (bytes >= sizeof(brn_host_api)) return;
  // The version and the size always come first.
  bytes = std::max(bytes, offsetof(brn_host_api, print_to_console));
  s.shortTable = std::make_unique<GuardedBlock>(bytes);
  if (s.shortTable->Data() == nullptr) Fatal("no memory for a shorter function table");
  std::memcpy(s.shortTable->Data(), &s.table, bytes);
  s.offered = static_cast<brn_host_api*>(s.shortTable->Data());
  s.offered->table_size = static_cast<uint32_t>(bytes);
}
const HostOptions& Host::Options() const {
  return state_->options;
}
void Host::SetApiVersion(uint32_t version) {
  state_->options.apiVersion = version;
  state_->table.api_version = version;
  state_->offered->api_version = version;
}
void Host::SetDiagnostics(bool shown) {
  state_->options.diagnostics = shown;
}
void Host::SetHostFolder(const std::filesystem::path& folder) {
  state_->options.hostFolder = folder;
}
void Host::SetEndOrder(EndOrder order) {
  state_->options.endOrder = order;
}
void Host::SetOddAnswers(OddAnswers answers) {
  state_->options.answers = std::move(answers);
  SetAnswerEntries(*state_);
}

void Host::SetPythonLogger(std::vector<LoggerTypeSpec> types, RegistryEntry entry) {
  HostState& s = *state_;
  LoggerObject* previous = s.pythonLogger;
  s.pythonLogger = s.NewLogger(PYTHON_LOGGER_ID, types);
  s.pythonEntry = entry;
  s.SetRegistryEntries();
  s.ReleaseHostRef(previous);
}

void Host::SetPythonEntry(RegistryEntry entry) {
  state_->pythonEntry = entry;
  state_->SetRegistryEntries();
}

void Host::SetDefaultLogger(std::optional<std::vector<LoggerTypeSpec>> types) {
  HostState& s = *state_;
  LoggerObject* previous = s.defaultLogger;
  s.defaultLogger = types ? s.NewLogger(DEFAULT_LOGGER_ID, *types) : nullptr;
  s.SetRegistryEntries();
  s.ReleaseHostRef(previous);
}

void Host::SetNullLogger(std::optional<std::vector<LoggerTypeSpec>> types) {
  HostState& s = *state_;
  LoggerObject* previous = s.nullLogger;
  s.nullLogger = types ? s.NewLogger("net.brannoc.logger.null", *types) : nullptr;
  s.ReleaseHostRef(previous);
}

void Host::SetLoggerDataTypeAvailable(bool available) {
  state_->loggerDataTypeAvailable = available;
}
void Host::SetEmptyStringAvailable(bool available) {
  state_->emptyStringAvailable = available;
}
void Host::SetNullReturnErrorAvailable(bool available) {
  state_->nullReturnErrorAvailable = available;
}
void Host::SetErrorSlotAvailable(bool available) {
  state_->errorSlotAvailable = available;
}

std::vector<std::u32string> Host::StoredLines(const std::string& loggerId, size_t typeIndex) const {
  std::vector<std::u32string> lines;
  if (const LoggerTypeObject* type = state_->TypeAt(loggerId, typeIndex))
    for (const StringObject* line : type->lines) lines.push_back(line ? line->text : U"");
  return lines;
}

namespace {

LoggerTypeObject* StoringType(const HostState& s, const std::string& loggerId, size_t typeIndex) {
  LoggerTypeObject* type = s.TypeAt(loggerId, typeIndex);
  return type != nullptr && type->storesLines ? type : nullptr;
}

}  // namespace

bool Host::SetStoredLines(const std::string& loggerId, size_t typeIndex, const std::vector<std::u32string>& lines) {
  HostState& s = *state_;
  if (!TrimStoredLines(loggerId, typeIndex, 0)) return false;
  LoggerTypeObject* type = StoringType(s, loggerId, typeIndex);
  type->lines.reserve(lines.size());
  for (const std::u32string& line : lines) type->lines.push_back(s.NewString(line, "host: stored line", true));
  return true;
}

bool Host::TrimStoredLines(const std::string& loggerId, size_t typeIndex, size_t count) {
  HostState& s = *state_;
  LoggerTypeObject* type = StoringType(s, loggerId, typeIndex);
  if (type == nullptr) return false;
  while (type->lines.size() > count) {
    s.ReleaseHostRef(type->lines.back());
    type->lines.pop_back();
  }
  return true;
}

uint64_t Host::LoggerSerial(const std::string& loggerId) const {
  return HostState::SerialOf(state_->LoggerNamed(loggerId));
}

std::vector<uint64_t> Host::LoggerTypeSerials(const std::string& loggerId) const {
  std::vector<uint64_t> serials;
  if (const LoggerObject* logger = state_->LoggerNamed(loggerId))
    for (const LoggerTypeObject* type : logger->types) serials.push_back(HostState::SerialOf(type));
  return serials;
}

std::vector<uint64_t> Host::StoredLineSerials(const std::string& loggerId, size_t typeIndex) const {
  std::vector<uint64_t> serials;
  if (const LoggerTypeObject* type = state_->TypeAt(loggerId, typeIndex))
    for (const StringObject* line : type->lines) serials.push_back(HostState::SerialOf(line));
  return serials;
}

const std::vector<ConsoleLine>& Host::Console() const {
  return state_->console;
}

std::vector<std::string> Host::ShownConsole() const {
  std::vector<std::string> shown;
  for (const ConsoleLine& line : state_->console)
    if (line.shown) shown.push_back(line.text);
  return shown;
}

const std::vector<LogOutput>& Host::DefaultLoggerOutputs() const {
  return state_->outputs;
}
const std::vector<MessageBoxRecord>& Host::MessageBoxes() const {
  return state_->messageBoxes;
}

const std::vector<FileFailure>& Host::FileFailures() const {
  return state_->fileFailures;
}
const std::vector<std::string>& Host::ProtocolFaults() const {
  return state_->protocolFaults;
}
int64_t Host::DefaultLoggerResolutions() const {
  return state_->defaultLoggerResolutions;
}

void Host::ClearRecords() {
  state_->console.clear();
  state_->outputs.clear();
  state_->messageBoxes.clear();
  state_->fileFailures.clear();
  state_->trace.Clear();
}

void Host::SetTracing(bool on) {
  state_->SetTracing(on);
}

Trace& Host::GetTrace() {
  return state_->trace;
}
Events Host::TraceEvents() const {
  return Events(state_->trace.Events());
}

std::vector<RegisteredPlugin>& Host::Plugins() {
  return state_->plugins;
}

std::optional<bool> Host::RunCommand(int32_t id) {
  Trace& trace = state_->trace;
  for (RegisteredPlugin& plugin : state_->plugins) {
    if (plugin.id != id || !plugin.accepted || plugin.destroyed) continue;
    trace.Add(Event{Call::Run});
    const bool answer = plugin.dispatch.run_command(plugin.object, nullptr, nullptr) != 0;
    trace.SetArg(trace.Add(Event{Call::RunEnd}), 0, answer ? 1 : 0);
    return answer;
  }
  return std::nullopt;
}

void Host::DestroyPlugins() {
  for (RegisteredPlugin& plugin : state_->plugins) {
    if (plugin.destroyed) continue;
    plugin.destroyed = true;
    plugin.dispatch.destroy(plugin.object);
  }
}

void Host::EndModule() {
  HostState& s = *state_;
  for (ObjectHeader* resolution : s.resolutions) s.ReleaseHostRef(resolution);
  s.resolutions.clear();
  std::lock_guard lock(s.errorMutex);
  for (auto& [thread, error] : s.currentErrors)
    if (error != nullptr) s.ReleaseHostRef(FromHandle<ErrorObject>(error));
  s.currentErrors.clear();
}

Faults& Host::GetFaults() {
  return state_->faults;
}
Ledger& Host::GetLedger() {
  return state_->ledger;
}
HostState& Host::State() {
  return *state_;
}

}  // namespace standin
