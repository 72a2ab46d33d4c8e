// The stand-in host's objects and state, shared by the table's functions
// and the Host class. Internal to the host library.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "guarded.h"
#include "standin/host.h"

// The boundary's opaque handles are pointers to the host's objects below,
// each of which starts with its ObjectHeader. Only the decoding is a plain
// record.
struct brn_decoder {
  const char* id;
};

namespace standin {

struct StringObject : ObjectHeader {
  std::u32string text;
};

struct ErrorObject : ObjectHeader {
  std::string text;
};

struct DataTypeObject : ObjectHeader {
  std::string id;
  const DataTypeObject* compatibleWith = nullptr;
};

struct LoggerTypeObject : ObjectHeader {
  bool storesLines = true;
  std::vector<StringObject*> lines;  // host references; null: the null String
  int64_t failAtLine = -1;
  bool failWithError = true;
};

struct LoggerObject : ObjectHeader {
  std::string id;
  std::vector<LoggerTypeObject*> types;  // host references; null: an empty entry
};

struct FileNameObject : ObjectHeader {
  std::string path;  // UTF-8
};

inline constexpr size_t FILE_BUFFER_SIZE = size_t{1} << 16;

struct FileObject : ObjectHeader {
  std::FILE* stream = nullptr;
  std::vector<unsigned char> buffer;  // while open: FILE_BUFFER_SIZE bytes
  size_t used = 0;                    // bytes of it not yet handed to the stream
  bool lost = false;                  // a write did not reach the stream
  std::string path;
};

struct ResourceObject : ObjectHeader {
  std::string folder;
};

// Handle and object are one address.
template <typename Object, typename Handle>
Object* FromHandle(const Handle* handle) {
  return reinterpret_cast<Object*>(const_cast<Handle*>(handle));
}
template <typename Handle, typename Object>
Handle* ToHandle(Object* object) {
  return reinterpret_cast<Handle*>(object);
}

class HostState {
 public:
  explicit HostState(HostOptions options);
  ~HostState();

  // New objects, registered with the ledger.
  StringObject* NewString(std::u32string text, const char* madeBy, bool hostKept);
  ErrorObject* NewError(std::string text, const char* madeBy, bool hostKept);
  LoggerObject* NewLogger(const std::string& id, const std::vector<LoggerTypeSpec>& types);

  // The object behind a module's handle, checked. Null handles give null.
  StringObject* String(const brn_string* handle, const char* operation) const {
    return Checked<StringObject, Kind::String>(handle, operation);
  }
  template <typename Object, Kind kind, typename Handle>
  Object* Checked(const Handle* handle, const char* operation) const {
    if (handle == nullptr) return nullptr;
    ledger.Check(handle, kind, operation);
    return FromHandle<Object>(handle);
  }
  // The header behind a handle of any counted kind, checked.
  ObjectHeader* Counted(const void* handle, const char* operation) const;

  void ReleaseHostRef(ObjectHeader* object) {
    if (object != nullptr) ledger.HostRelease(object);
  }
  void SetRegistryEntries();
  void Record(int32_t level, std::string text, const char* file = nullptr, int32_t line = 0);

  // The default or the Python logger by its id, else the null logger (may be null).
  LoggerObject* LoggerNamed(const std::string& id) const {
    return id == DEFAULT_LOGGER_ID ? defaultLogger : id == PYTHON_LOGGER_ID ? pythonLogger : nullLogger;
  }
  // That logger's type at `index`; null when there is none or it is an empty entry.
  LoggerTypeObject* TypeAt(const std::string& id, size_t index) const {
    const LoggerObject* logger = LoggerNamed(id);
    return logger != nullptr && index < logger->types.size() ? logger->types[index] : nullptr;
  }
  // Starts or stops the trace, with the table's per-character entries.
  void SetTracing(bool on);
  // Puts the table's entries into the shorter copy on offer, if any.
  void RefreshOffered();
  // A breach of the host's rules that the host forgives.
  void ProtocolFault(std::string text) { protocolFaults.push_back(std::move(text)); }
  // Serials for the trace; 0 for null.
  static uint64_t SerialOf(const ObjectHeader* object) { return object != nullptr ? object->serial : 0; }

  HostOptions options;
  Ledger ledger;
  Faults faults;
  Trace trace;
  brn_host_api table{};
  // The table as FillTable made it, with the usual answers.
  brn_host_api usual{};
  // What a module is given: `table`, or a shorter copy of it (OfferTable).
  brn_host_api* offered = &table;
  std::unique_ptr<GuardedBlock> shortTable;
  brn_decoder utf8Decoder{"net.brannoc.stringdecoding.utf8"};

  std::map<std::pair<const char*, int64_t>, StringObject*> constStrings;
  StringObject* emptyString = nullptr;
  bool emptyStringAvailable = true;
  ErrorObject* nullReturnError = nullptr;
  bool nullReturnErrorAvailable = true;
  std::mutex errorMutex;
  std::unordered_map<std::thread::id, brn_error*> currentErrors;
  bool errorSlotAvailable = true;

  DataTypeObject* loggerDataType = nullptr;
  DataTypeObject* compatibleDataType = nullptr;
  DataTypeObject* numberDataType = nullptr;
  bool loggerDataTypeAvailable = true;

  struct RegistryValue {
    DataTypeObject* type = nullptr;
    brn_logger* logger = nullptr;
    int64_t number = 0;
  };
  std::map<std::string, RegistryValue> registry;
  RegistryEntry pythonEntry = RegistryEntry::Logger;
  LoggerObject* pythonLogger = nullptr;
  LoggerObject* defaultLogger = nullptr;
  LoggerObject* nullLogger = nullptr;
  std::vector<ObjectHeader*> resolutions;  // host references kept for a module

  // Put into every receiving String before its converter runs, as the one
  // reference the converter must release.
  StringObject* receivingText = nullptr;
  int64_t defaultLoggerResolutions = 0;

  std::vector<ConsoleLine> console;
  std::vector<FileFailure> fileFailures;
  std::vector<std::string> protocolFaults;
  std::vector<LogOutput> outputs;
  std::vector<MessageBoxRecord> messageBoxes;
  std::vector<RegisteredPlugin> plugins;
};

// Fills the function table; defined with the table's functions.
void FillTable(brn_host_api& table);
// Puts the recording or the plain build of the per-character entries into the table.
void SetPerCharacterEntries(brn_host_api& table, bool traced);
// Puts the entries of the options' odd answers, or the usual ones, into the
// table; defined with the odd answers.
void SetAnswerEntries(HostState& state);

// The state of the process's one host while it lives, else null; what the
// table's functions serve.
extern HostState* currentState;

}  // namespace standin
