// The function table's entries. Each checks every handle it is given
// against the ledger, asks Faults first where the operation can fail, and
// keeps the ledger's count of what the module holds exact.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform.h"
#include "standin/utf8.h"
#include "state.h"

namespace standin {

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void NoHost() {
  Fatal("a module called the host after the host ended");
}

HostState& S() {
  if (currentState == nullptr) [[unlikely]]
    NoHost();
  return *currentState;
}

std::string Where(brn_source_location where) {
  return std::string(where.file != nullptr ? where.file : "?") + ":" + std::to_string(where.line);
}

std::string Utf8Of(const StringObject* string) {
  return string != nullptr ? EncodeUtf8(string->text) : std::string();
}

brn_string* NewModuleString(std::u32string text, const char* madeBy) {
  return ToHandle<brn_string>(S().NewString(std::move(text), madeBy, false));
}

// ---- Console, message box ----

void PrintToConsole(const brn_string* text) {
  HostState& s = S();
  s.Record(0, Utf8Of(s.String(text, "print_to_console")));
}

void ConsoleOutputText(int32_t flags, const char* utf8, int32_t line, const char* file) {
  S().Record(flags, utf8 != nullptr ? utf8 : "", file, line);
}

void ConsoleOutputString(int32_t flags, const brn_string* text, int32_t line, const char* file) {
  HostState& s = S();
  s.Record(flags, Utf8Of(s.String(text, "console_output_string")), file, line);
}

int32_t GetConsoleOutputType() {
  return S().options.diagnostics ? (BRN_OUTPUT_DIAGNOSTIC | BRN_OUTPUT_WARNING | BRN_OUTPUT_CRITICAL)
                                 : (BRN_OUTPUT_WARNING | BRN_OUTPUT_CRITICAL);
}

int32_t ShowErrorMessage(const brn_string* text, int32_t flags) {
  HostState& s = S();
  s.messageBoxes.push_back({Utf8Of(s.String(text, "show_error_message")), flags});
  return 1;
}

// ---- Registration ----

int32_t RegisterPlugin(int32_t type, int32_t id, const brn_string* name, int32_t info, const void* icon,
                       const brn_string* help, void* object, const brn_command_dispatch* dispatch) {
  HostState& s = S();
  RegisteredPlugin plugin{type,
                          id,
                          Utf8Of(s.String(name, "register_plugin")),
                          info,
                          icon != nullptr,
                          Utf8Of(s.String(help, "register_plugin")),
                          object,
                          dispatch != nullptr ? *dispatch : brn_command_dispatch{},
                          false};
  // The host owns what it was given, accepted or not.
  if (object != nullptr) s.ledger.TakeOverAllocation(object);
  bool duplicate = false;
  // A command ended at a module's unload no longer holds its id.
  for (const RegisteredPlugin& other : s.plugins) duplicate |= other.accepted && !other.destroyed && other.id == id;
  plugin.accepted = object != nullptr && dispatch != nullptr && !duplicate && !s.faults.Fail(Site::RegisterPlugin);
  plugin.destroyed = object == nullptr;
  s.plugins.push_back(plugin);
  return plugin.accepted ? 1 : 0;
}

// ---- Memory ----

void* Alloc(int64_t size, brn_source_location where) {
  HostState& s = S();
  if (s.faults.Fail(Site::Alloc)) return nullptr;
  return s.ledger.Allocate(size, Where(where));
}

void* Realloc(void* memory, int64_t size, brn_source_location where) {
  HostState& s = S();
  if (s.faults.Fail(Site::Realloc)) return nullptr;
  return s.ledger.Reallocate(memory, size, Where(where));
}

void Free(void* memory) {
  S().ledger.Free(memory, "free");
}

void FreeWithDestructor(void* object, void (*destructor)(void*)) {
  if (object == nullptr) return;
  HostState& s = S();
  if (!s.ledger.IsAllocation(object)) Fatal("free_with_destructor: given memory the host never allocated");
  destructor(object);
  s.ledger.Free(object, "free_with_destructor");
}

// ---- Counted references ----

void Acquire(const void* object) {
  if (object == nullptr) return;
  HostState& s = S();
  s.ledger.ModuleAcquire(s.Counted(object, "acquire"));
}

void Release(const void* object) {
  if (object == nullptr) return;
  HostState& s = S();
  s.ledger.ModuleRelease(s.Counted(object, "release"), "release");
}

// ---- Errors ----

brn_error* const* CreateStandardError(brn_source_location where, int32_t kind) {
  HostState& s = S();
  if (!s.errorSlotAvailable) return nullptr;
  brn_error* made = nullptr;
  if (!s.faults.Fail(Site::CreateError)) {
    const char* text = kind == BRN_ERROR_OUT_OF_MEMORY ? "Not enough memory." : "A null reference was returned.";
    made =
        ToHandle<brn_error>(s.NewError(std::string(text) + " [" + Where(where) + "]", "create_standard_error", true));
  }
  std::lock_guard lock(s.errorMutex);
  brn_error*& slot = s.currentErrors[std::this_thread::get_id()];
  if (slot != nullptr) s.ReleaseHostRef(FromHandle<ErrorObject>(slot));
  slot = made;
  return &slot;
}

const brn_error* GetNullReturnError(int32_t) {
  HostState& s = S();
  return s.nullReturnErrorAvailable ? ToHandle<brn_error>(s.nullReturnError) : nullptr;
}

brn_string* ErrorToString(const brn_error* error) {
  HostState& s = S();
  const ErrorObject* object = s.Checked<ErrorObject, Kind::Error>(error, "error_to_string");
  if (object == nullptr || s.faults.Fail(Site::ErrorToString)) return nullptr;
  return NewModuleString(DecodeUtf8(object->text), "ToString");
}

// ---- Strings ----

const brn_string* GetAndCacheConstString(const char* utf8, int64_t bytes, int64_t) {
  HostState& s = S();
  if (utf8 == nullptr) return nullptr;
  StringObject*& cached = s.constStrings[{utf8, bytes}];
  if (cached == nullptr) {
    const size_t length = bytes < 0 ? std::strlen(utf8) : static_cast<size_t>(bytes);
    cached = s.NewString(DecodeUtf8(std::string_view(utf8, length)), "ConstString", true);
  }
  return ToHandle<brn_string>(cached);
}

const brn_string* GetEmptyString() {
  HostState& s = S();
  return s.emptyStringAvailable ? ToHandle<brn_string>(s.emptyString) : nullptr;
}

brn_string* StringCreate() {
  if (S().faults.Fail(Site::StringCreate)) return nullptr;
  return NewModuleString(U"", "string_create");
}

int32_t StringSetCString(brn_string* string, const char* text, int64_t length, const brn_decoder* decoding,
                         brn_error** error) {
  HostState& s = S();
  StringObject* target = s.String(string, "string_set_cstring");
  if (target == nullptr || text == nullptr || decoding != &s.utf8Decoder || s.faults.Fail(Site::SetCString)) {
    if (error != nullptr)
      *error = ToHandle<brn_error>(s.NewError("The text could not be decoded.", "string_set_cstring", false));
    return 0;
  }
  if (target->refs - target->hostRefs > 1) Fatal("string_set_cstring: the String is shared");
  const size_t bytes = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  target->text = DecodeUtf8(std::string_view(text, bytes));
  return 1;
}

const brn_decoder* GetUtf8Decoder() {
  return &S().utf8Decoder;
}

brn_string* ConcatStringCString(const brn_string* string, const char* utf8) {
  HostState& s = S();
  const StringObject* first = s.String(string, "concat_string_cstring");
  if (s.faults.Fail(Site::ConcatString)) return nullptr;
  const std::string_view suffix = utf8 != nullptr ? std::string_view(utf8) : std::string_view();
  std::u32string text;
  // One allocation: a byte of UTF-8 gives at most one character.
  text.reserve((first != nullptr ? first->text.size() : 0) + suffix.size());
  if (first != nullptr) text += first->text;
  text += DecodeUtf8(suffix);
  return NewModuleString(std::move(text), "ConcatStringCString");
}

int64_t StringGetLength(const brn_string* string) {
  const StringObject* object = S().String(string, "string_get_length");
  return object != nullptr ? static_cast<int64_t>(object->text.size()) : 0;
}

uint32_t StringGetChar(const brn_string* string, int64_t index) {
  const StringObject* object = S().String(string, "string_get_char");
  if (object == nullptr || index < 0 || static_cast<size_t>(index) >= object->text.size()) return 0;
  return object->text[static_cast<size_t>(index)];
}

int64_t StringFindIndex(const brn_string* string, const brn_string* pattern, int64_t start) {
  HostState& s = S();
  const StringObject* text = s.String(string, "string_find_index");
  const StringObject* sought = s.String(pattern, "string_find_index");
  // An empty pattern occurs nowhere.
  if (text == nullptr || sought == nullptr || sought->text.empty() || start < 0) return -1;
  const size_t found = text->text.find(sought->text, static_cast<size_t>(start));
  return found == std::u32string::npos ? -1 : static_cast<int64_t>(found);
}

brn_string* FormatXArgs(const char* format, int32_t count, const void* const* arguments,
                        const brn_format_converter* converters) {
  HostState& s = S();
  if (format == nullptr || s.faults.Fail(Site::FormatText)) return nullptr;
  // "@" is a byte that no multi-byte UTF-8 sequence holds, so the format
  // splits at its "@"s into parts that decode alone; ASCII needs no decoding.
  const std::string_view pattern(format);
  std::u32string text;
  text.reserve(pattern.size());
  auto appendPart = [&text](std::string_view part) {
    if (std::all_of(part.begin(), part.end(), [](char byte) { return static_cast<unsigned char>(byte) < 0x80; }))
      text.append(part.begin(), part.end());
    else
      text += DecodeUtf8(part);
  };
  int32_t next = 0;
  for (size_t start = 0;;) {
    const size_t at = pattern.find('@', start);
    appendPart(pattern.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
    if (next >= count) {
      text.push_back(U'@');
      continue;
    }
    // The converter fills a String of the formatter's; the reference it
    // leaves there becomes the host's.
    brn_string* receiving = nullptr;
    converters[next](&receiving, arguments[next]);
    ++next;
    if (receiving == nullptr) continue;
    StringObject* argument = s.String(receiving, "format_x_args");
    s.ledger.HandToHost(argument);
    // Room for the argument and the rest of the format at once.
    text.reserve(text.size() + argument->text.size() + (pattern.size() - start));
    text += argument->text;
    s.ledger.HostRelease(argument);
  }
  return NewModuleString(std::move(text), "FormatXArgs");
}

// ---- File names and files ----

brn_filename* NewFileName(std::string path, const char* madeBy) {
  auto* name = new FileNameObject();
  name->path = std::move(path);
  S().ledger.Register(name, Kind::FileName, madeBy, false);
  return ToHandle<brn_filename>(name);
}

brn_filename* GetHostPath(int32_t kind) {
  HostState& s = S();
  if (kind != BRN_HOSTPATH_USER_FOLDER || s.faults.Fail(Site::GetHostPath)) return nullptr;
  return NewFileName(Utf8FromPath(s.options.hostFolder), "GetHostPath");
}

brn_filename* FileNameFromCString(const char* utf8) {
  if (utf8 == nullptr || S().faults.Fail(Site::FileNameFromCString)) return nullptr;
  return NewFileName(utf8, "FileNameFromCString");
}

brn_filename* JoinFileName(const brn_filename* folder, const brn_filename* name) {
  HostState& s = S();
  const auto* first = s.Checked<FileNameObject, Kind::FileName>(folder, "join_filename");
  const auto* second = s.Checked<FileNameObject, Kind::FileName>(name, "join_filename");
  if (first == nullptr || second == nullptr || s.faults.Fail(Site::JoinFileName)) return nullptr;
  return NewFileName(Utf8FromPath(PathFromUtf8(first->path) / PathFromUtf8(second->path)), "JoinFileName");
}

void FreeFileName(brn_filename* name) {
  if (name == nullptr) return;
  HostState& s = S();
  s.ledger.ModuleRelease(s.Checked<FileNameObject, Kind::FileName>(name, "free_filename"), "free_filename");
}

brn_file* AllocHostFile() {
  HostState& s = S();
  if (s.faults.Fail(Site::AllocHostFile)) return nullptr;
  auto* file = new FileObject();
  s.ledger.Register(file, Kind::File, "AllocHostFile", false);
  return ToHandle<brn_file>(file);
}

int32_t OpenHostFile(brn_file* file, const brn_filename* name, int32_t mode, int32_t, int32_t, int32_t, int32_t) {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "open_host_file");
  const auto* path = s.Checked<FileNameObject, Kind::FileName>(name, "open_host_file");
  if (object == nullptr || path == nullptr || mode != BRN_FILEOPEN_WRITE || object->stream != nullptr ||
      s.faults.Fail(Site::OpenHostFile))
    return 0;
  // Binary, so that a line feed stays one byte; opening truncates.
  object->stream = platform::OpenForWriting(PathFromUtf8(path->path));
  if (object->stream == nullptr) return 0;
  object->path = path->path;
  object->lost = false;
  object->buffer.resize(FILE_BUFFER_SIZE);
  object->used = 0;
  return 1;
}

// Out of line: the per-byte path stays small.
[[gnu::noinline]] bool FlushFile(FileObject* file) {
  const size_t written = std::fwrite(file->buffer.data(), 1, file->used, file->stream);
  const bool complete = written == file->used;
  file->used = 0;
  return complete;
}

int32_t WriteHostFileChar(brn_file* file, uint8_t byte) {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "write_host_file_char");
  if (object == nullptr || object->stream == nullptr || s.faults.Fail(Site::WriteByte)) return 0;
  object->buffer[object->used++] = byte;
  if (object->used == FILE_BUFFER_SIZE && !FlushFile(object)) object->lost = true;
  return 1;
}

int32_t CloseHostFile(brn_file* file) {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "close_host_file");
  if (object == nullptr || object->stream == nullptr) return 0;
  // A failed close loses what was still buffered, as a full disk would.
  if (s.faults.Fail(Site::CloseFile)) {
    object->used = 0;
    object->lost = true;
  }
  const bool flushed = FlushFile(object);
  const bool closed = std::fclose(object->stream) == 0;
  object->stream = nullptr;
  return flushed && closed && !object->lost ? 1 : 0;
}

void FreeHostFile(brn_file* file) {
  if (file == nullptr) return;
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "free_host_file");
  if (object->stream != nullptr) {
    FlushFile(object);
    std::fclose(object->stream);
    object->stream = nullptr;
  }
  s.ledger.ModuleRelease(object, "free_host_file");
}

// ---- Module resource ----

brn_resource* OpenResourceFolder(const char* folder) {
  HostState& s = S();
  if (folder == nullptr || s.faults.Fail(Site::ResourceFolder)) return nullptr;
  std::error_code error;
  if (!std::filesystem::is_directory(PathFromUtf8(folder), error)) return nullptr;
  auto* resource = new ResourceObject();
  resource->folder = folder;
  s.ledger.Register(resource, Kind::Resource, "InitModuleResource", false);
  return ToHandle<brn_resource>(resource);
}

void CloseResourceFolder(brn_resource* resource) {
  if (resource == nullptr) return;
  HostState& s = S();
  s.ledger.ModuleRelease(s.Checked<ResourceObject, Kind::Resource>(resource, "close_resource_folder"),
                         "close_resource_folder");
}

// ---- Loggers ----

const void* FindEntryValue(const char* registry, const char* id, int64_t length, brn_datatype** type) {
  HostState& s = S();
  if (registry == nullptr || id == nullptr || std::strcmp(registry, LOGGER_REGISTRY_ID) != 0) return nullptr;
  auto found = s.registry.find(std::string(id, length < 0 ? std::strlen(id) : static_cast<size_t>(length)));
  if (found == s.registry.end()) return nullptr;
  HostState::RegistryValue& value = found->second;
  if (type != nullptr) {
    s.ledger.ModuleAcquire(value.type);
    *type = ToHandle<brn_datatype>(value.type);
  }
  if (value.logger != nullptr) return &value.logger;
  return &value.number;
}

const brn_datatype* GetLoggerDataType() {
  HostState& s = S();
  return s.loggerDataTypeAvailable ? ToHandle<brn_datatype>(s.loggerDataType) : nullptr;
}

int32_t DatatypeIsCompatible(const brn_datatype* type, const brn_datatype* wanted) {
  HostState& s = S();
  const auto* given = s.Checked<DataTypeObject, Kind::DataType>(type, "datatype_is_compatible");
  const auto* target = s.Checked<DataTypeObject, Kind::DataType>(wanted, "datatype_is_compatible");
  if (given == nullptr || target == nullptr) return 0;
  return given == target || given->compatibleWith == target ? 1 : 0;
}

const brn_logger* ResolveLoggerDeclaration(const char* id) {
  HostState& s = S();
  if (id == nullptr || std::strcmp(id, DEFAULT_LOGGER_ID) != 0 || s.defaultLogger == nullptr ||
      s.faults.Fail(Site::ResolveLogger))
    return nullptr;
  s.ledger.HostRetain(s.defaultLogger);
  s.resolutions.push_back(s.defaultLogger);
  return ToHandle<brn_logger>(s.defaultLogger);
}

const brn_logger* GetNullLogger() {
  return ToHandle<brn_logger>(S().nullLogger);
}

void GetLoggerTypes(const brn_logger* logger, brn_array* types) {
  HostState& s = S();
  const auto* object = s.Checked<LoggerObject, Kind::Logger>(logger, "get_logger_types");
  if (types == nullptr) return;
  if (types->data != nullptr || types->count != 0) Fatal("get_logger_types: the array is not empty");
  if (object == nullptr || object->types.empty() || s.faults.Fail(Site::GetLoggerTypes)) return;
  const auto count = static_cast<int64_t>(object->types.size());
  auto* entries = static_cast<brn_logger_type_entry*>(
      s.ledger.Allocate(count * static_cast<int64_t>(sizeof(brn_logger_type_entry)), "get_logger_types"));
  if (entries == nullptr) return;
  for (int64_t index = 0; index < count; ++index) {
    LoggerTypeObject* type = object->types[static_cast<size_t>(index)];
    if (type != nullptr) s.ledger.ModuleAcquire(type);
    entries[index] = {ToHandle<brn_logger_type>(type), static_cast<uintptr_t>(index)};
  }
  *types = {entries, count, count};
}

int32_t ImplementsInterface(const brn_logger_type* type, const char* interface) {
  const auto* object = S().Checked<LoggerTypeObject, Kind::LoggerType>(type, "implements_interface");
  if (object == nullptr || interface == nullptr) return 0;
  const std::string_view wanted(interface);
  if (wanted == "brannoc.LoggerTypeInterface") return 1;
  return wanted == "brannoc.UserLoggerTypeInterface" && object->storesLines ? 1 : 0;
}

int32_t IterateFailure(HostState& s, bool withError, brn_error** error) {
  if (withError && error != nullptr)
    *error = ToHandle<brn_error>(s.NewError("Reading the logger failed.", "iterate", false));
  return 0;
}

int32_t Iterate(const brn_logger_type* type, brn_line_callback callback, void* context, brn_error** error) {
  HostState& s = S();
  auto* object = s.Checked<LoggerTypeObject, Kind::LoggerType>(type, "iterate");
  if (object == nullptr || !object->storesLines || callback == nullptr) return IterateFailure(s, true, error);
  // The lines as they stand when the iteration starts.
  const size_t count = object->lines.size();
  for (size_t index = 0; index <= count; ++index) {
    if (static_cast<int64_t>(index) == object->failAtLine) return IterateFailure(s, object->failWithError, error);
    if (s.faults.Fail(Site::Iterate)) return IterateFailure(s, true, error);
    if (index == count) break;
    const brn_log_line_record record{static_cast<int64_t>(index), ToHandle<brn_string>(object->lines[index])};
    brn_error* returned = nullptr;
    if (callback(context, &record, &returned) == 0) {
      // The callback's error passes through the host back to the caller.
      if (returned != nullptr) s.Checked<ErrorObject, Kind::Error>(returned, "iterate callback");
      if (error != nullptr)
        *error = returned;
      else if (returned != nullptr)
        s.ledger.ModuleRelease(FromHandle<ErrorObject>(returned), "iterate");
      return 0;
    }
  }
  return 1;
}

int32_t LoggerWrite(const brn_logger* logger, int32_t audience, const brn_string* text, brn_source_location where,
                    int32_t meta, brn_error** error) {
  HostState& s = S();
  auto* object = s.Checked<LoggerObject, Kind::Logger>(logger, "logger_write");
  StringObject* line = s.String(text, "logger_write");
  if (object == nullptr || s.faults.Fail(Site::LoggerWrite)) {
    if (error != nullptr)
      *error = ToHandle<brn_error>(s.NewError("The logger could not write.", "logger_write", false));
    return 0;
  }
  if (object == s.defaultLogger && s.options.recordDefaultOutputs)
    s.outputs.push_back({audience, meta, Utf8Of(line), where.file != nullptr ? where.file : "", where.line});
  // Line-storing types keep the line itself, shared.
  for (LoggerTypeObject* type : object->types) {
    if (type == nullptr || !type->storesLines) continue;
    if (line != nullptr) s.ledger.HostRetain(line);
    type->lines.push_back(line);
  }
  return 1;
}

}  // namespace

void FillTable(brn_host_api& table) {
  table = brn_host_api{};
  table.table_size = sizeof(brn_host_api);
  table.print_to_console = &PrintToConsole;
  table.console_output_text = &ConsoleOutputText;
  table.console_output_string = &ConsoleOutputString;
  table.get_console_output_type = &GetConsoleOutputType;
  table.show_error_message = &ShowErrorMessage;
  table.register_plugin = &RegisterPlugin;
  table.alloc = &Alloc;
  table.realloc = &Realloc;
  table.free = &Free;
  table.free_with_destructor = &FreeWithDestructor;
  table.acquire = &Acquire;
  table.release = &Release;
  table.create_standard_error = &CreateStandardError;
  table.get_null_return_error = &GetNullReturnError;
  table.error_to_string = &ErrorToString;
  table.get_and_cache_const_string = &GetAndCacheConstString;
  table.get_empty_string = &GetEmptyString;
  table.string_create = &StringCreate;
  table.string_set_cstring = &StringSetCString;
  table.get_utf8_decoder = &GetUtf8Decoder;
  table.concat_string_cstring = &ConcatStringCString;
  table.string_get_length = &StringGetLength;
  table.string_get_char = &StringGetChar;
  table.string_find_index = &StringFindIndex;
  table.format_x_args = &FormatXArgs;
  table.get_host_path = &GetHostPath;
  table.filename_from_cstring = &FileNameFromCString;
  table.join_filename = &JoinFileName;
  table.free_filename = &FreeFileName;
  table.alloc_host_file = &AllocHostFile;
  table.open_host_file = &OpenHostFile;
  table.write_host_file_char = &WriteHostFileChar;
  table.close_host_file = &CloseHostFile;
  table.free_host_file = &FreeHostFile;
  table.open_resource_folder = &OpenResourceFolder;
  table.close_resource_folder = &CloseResourceFolder;
  table.find_entry_value = &FindEntryValue;
  table.get_logger_data_type = &GetLoggerDataType;
  table.datatype_is_compatible = &DatatypeIsCompatible;
  table.resolve_logger_declaration = &ResolveLoggerDeclaration;
  table.get_null_logger = &GetNullLogger;
  table.get_logger_types = &GetLoggerTypes;
  table.implements_interface = &ImplementsInterface;
  table.iterate = &Iterate;
  table.logger_write = &LoggerWrite;
}

}  // namespace standin
