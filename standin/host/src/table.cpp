// The function table's entries. Each checks every handle it is given
// against the ledger, asks Faults first where the operation can fail, keeps
// the ledger's count of what the module holds exact, and records itself in
// the trace when it is on. No C++ exception leaves an entry: one thrown
// inside the host (memory running out) answers the entry's failure.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <type_traits>

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

// Records one call when the trace is on; answers the event's index, or -1.
// `object` is the host object the call takes first.
// The event is built out of line, so that with recording off a call pays
// only the test of the flag.
[[gnu::cold, gnu::noinline]] int64_t Record(HostState& s, Call call, const ObjectHeader* object, uint64_t other,
                                            uint64_t made, std::array<int64_t, 5> args) {
  Event event;
  event.call = call;
  event.kind = object != nullptr ? object->kind : Kind::Count;
  event.object = HostState::SerialOf(object);
  event.other = other;
  event.made = made;
  event.args = args;
  return s.trace.Add(event);
}

template <typename... Args>
[[gnu::always_inline]] inline int64_t Note(HostState& s, Call call, const ObjectHeader* object, uint64_t other,
                                           uint64_t made, Args... args) {
  if (!s.trace.On()) [[likely]]
    return -1;
  return Record(s, call, object, other, made, {static_cast<int64_t>(args)...});
}

// As Note, for a call whose first object is an allocation.
template <typename... Args>
int64_t NoteAllocation(HostState& s, Call call, const void* memory, uint64_t made, Args... args) {
  if (!s.trace.On()) [[likely]]
    return -1;
  const int64_t index = Note(s, call, nullptr, 0, made, args...);
  if (memory != nullptr) {
    Event* event = s.trace.At(index);
    event->kind = Kind::Allocation;
    event->object = s.ledger.AllocationSerial(memory);
  }
  return index;
}

uint64_t Serial(const void* handle) {
  return HostState::SerialOf(static_cast<const ObjectHeader*>(handle));
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
  const StringObject* string = s.String(text, "print_to_console");
  Note(s, Call::PrintToConsole, string, 0, 0);
  s.Record(0, Utf8Of(string));
}

void ConsoleOutputText(int32_t flags, const char* utf8, int32_t line, const char* file) {
  HostState& s = S();
  Note(s, Call::ConsoleOutputText, nullptr, 0, 0, flags, line);
  s.Record(flags, utf8 != nullptr ? utf8 : "", file, line);
}

void ConsoleOutputString(int32_t flags, const brn_string* text, int32_t line, const char* file) {
  HostState& s = S();
  const StringObject* string = s.String(text, "console_output_string");
  Note(s, Call::ConsoleOutputString, string, 0, 0, flags, line);
  s.Record(flags, Utf8Of(string), file, line);
}

int32_t GetConsoleOutputType() {
  Note(S(), Call::GetConsoleOutputType, nullptr, 0, 0);
  return S().options.diagnostics ? (BRN_OUTPUT_DIAGNOSTIC | BRN_OUTPUT_WARNING | BRN_OUTPUT_CRITICAL)
                                 : (BRN_OUTPUT_WARNING | BRN_OUTPUT_CRITICAL);
}

int32_t ShowErrorMessage(const brn_string* text, int32_t flags) {
  HostState& s = S();
  const StringObject* string = s.String(text, "show_error_message");
  Note(s, Call::ShowErrorMessage, string, 0, 0, flags);
  s.messageBoxes.push_back({Utf8Of(string), flags});
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
  // Room for the record before the host takes the object over.
  s.plugins.reserve(s.plugins.size() + 1);
  if (object != nullptr) s.ledger.TakeOverAllocation(object);
  bool duplicate = false;
  // A command ended at a module's unload no longer holds its id.
  for (const RegisteredPlugin& other : s.plugins) duplicate |= other.accepted && !other.destroyed && other.id == id;
  plugin.accepted = object != nullptr && dispatch != nullptr && !duplicate && !s.faults.Fail(Site::RegisterPlugin);
  plugin.destroyed = object == nullptr;
  s.plugins.push_back(plugin);
  const int64_t event = Note(s, Call::RegisterPlugin, s.String(name, "register_plugin"), Serial(help), 0, type, id,
                             info, icon != nullptr ? 1 : 0);
  s.trace.SetFailed(event, !plugin.accepted);
  return plugin.accepted ? 1 : 0;
}

// ---- Memory ----

void* Alloc(int64_t size, brn_source_location where) {
  HostState& s = S();
  void* memory = s.faults.Fail(Site::Alloc) ? nullptr : s.ledger.Allocate(size, Where(where));
  const int64_t event = NoteAllocation(s, Call::Alloc, nullptr, s.ledger.AllocationSerial(memory), size);
  s.trace.SetFailed(event, memory == nullptr);
  return memory;
}

void* Realloc(void* memory, int64_t size, brn_source_location where) {
  HostState& s = S();
  const int64_t event = NoteAllocation(s, Call::Realloc, memory, 0, size);
  void* grown = s.faults.Fail(Site::Realloc) ? nullptr : s.ledger.Reallocate(memory, size, Where(where));
  if (Event* recorded = s.trace.At(event)) {
    recorded->made = s.ledger.AllocationSerial(grown);
    recorded->failed = grown == nullptr;
  }
  return grown;
}

void Free(void* memory) {
  HostState& s = S();
  NoteAllocation(s, Call::Free, memory, 0);
  s.ledger.Free(memory, "free");
}

void FreeWithDestructor(void* object, void (*destructor)(void*)) {
  if (object == nullptr) return;
  HostState& s = S();
  if (!s.ledger.IsAllocation(object)) Fatal("free_with_destructor: given memory the host never allocated");
  NoteAllocation(s, Call::FreeWithDestructor, object, 0);
  destructor(object);
  s.ledger.Free(object, "free_with_destructor");
}

// ---- Counted references ----

void Acquire(const void* object) {
  HostState& s = S();
  ObjectHeader* counted = object != nullptr ? s.Counted(object, "acquire") : nullptr;
  Note(s, Call::Acquire, counted, 0, 0);
  if (counted != nullptr) s.ledger.ModuleAcquire(counted);
}

void Release(const void* object) {
  HostState& s = S();
  ObjectHeader* counted = object != nullptr ? s.Counted(object, "release") : nullptr;
  Note(s, Call::Release, counted, 0, 0);
  if (counted != nullptr) s.ledger.ModuleRelease(counted, "release");
}

// ---- Errors ----

brn_error* const* CreateStandardError(brn_source_location where, int32_t kind) {
  HostState& s = S();
  if (!s.errorSlotAvailable) return nullptr;
  // The slot first: an error made is never left without one.
  std::lock_guard lock(s.errorMutex);
  brn_error*& slot = s.currentErrors[std::this_thread::get_id()];
  brn_error* made = nullptr;
  if (!s.faults.Fail(Site::CreateError)) {
    const char* text = kind == BRN_ERROR_OUT_OF_MEMORY ? "Not enough memory." : "A null reference was returned.";
    made =
        ToHandle<brn_error>(s.NewError(std::string(text) + " [" + Where(where) + "]", "create_standard_error", true));
  }
  if (slot != nullptr) s.ReleaseHostRef(FromHandle<ErrorObject>(slot));
  slot = made;
  const int64_t event = Note(s, Call::CreateStandardError, nullptr, 0, Serial(made), kind);
  s.trace.SetFailed(event, made == nullptr);
  return &slot;
}

const brn_error* GetNullReturnError(int32_t kind) {
  HostState& s = S();
  const brn_error* error = s.nullReturnErrorAvailable ? ToHandle<brn_error>(s.nullReturnError) : nullptr;
  Note(s, Call::GetNullReturnError, nullptr, 0, Serial(error), kind);
  return error;
}

brn_string* ErrorToString(const brn_error* error) {
  HostState& s = S();
  const ErrorObject* object = s.Checked<ErrorObject, Kind::Error>(error, "error_to_string");
  brn_string* text = object == nullptr || s.faults.Fail(Site::ErrorToString)
                         ? nullptr
                         : NewModuleString(DecodeUtf8(object->text), "ToString");
  const int64_t event = Note(s, Call::ErrorToString, object, 0, Serial(text));
  s.trace.SetFailed(event, text == nullptr);
  return text;
}

// ---- Strings ----

const brn_string* GetAndCacheConstString(const char* utf8, int64_t bytes, int64_t) {
  HostState& s = S();
  if (utf8 == nullptr) {
    Note(s, Call::GetConstString, nullptr, 0, 0, bytes);
    return nullptr;
  }
  StringObject*& cached = s.constStrings[{utf8, bytes}];
  if (cached == nullptr) {
    const size_t length = bytes < 0 ? std::strlen(utf8) : static_cast<size_t>(bytes);
    cached = s.NewString(DecodeUtf8(std::string_view(utf8, length)), "ConstString", true);
  }
  Note(s, Call::GetConstString, nullptr, 0, cached->serial, bytes);
  return ToHandle<brn_string>(cached);
}

const brn_string* GetEmptyString() {
  HostState& s = S();
  const brn_string* empty = s.emptyStringAvailable ? ToHandle<brn_string>(s.emptyString) : nullptr;
  Note(s, Call::GetEmptyString, nullptr, 0, Serial(empty));
  return empty;
}

brn_string* StringCreate() {
  HostState& s = S();
  brn_string* string = s.faults.Fail(Site::StringCreate) ? nullptr : NewModuleString(U"", "string_create");
  const int64_t event = Note(s, Call::StringCreate, nullptr, 0, Serial(string));
  s.trace.SetFailed(event, string == nullptr);
  return string;
}

int32_t StringSetCString(brn_string* string, const char* text, int64_t length, const brn_decoder* decoding,
                         brn_error** error) {
  HostState& s = S();
  StringObject* target = s.String(string, "string_set_cstring");
  const int64_t event = Note(s, Call::StringSetCString, target, 0, 0, length);
  if (target == nullptr || text == nullptr || decoding != &s.utf8Decoder || s.faults.Fail(Site::SetCString)) {
    s.trace.SetFailed(event);
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
  HostState& s = S();
  Note(s, Call::GetUtf8Decoder, nullptr, 0, 0);
  return &s.utf8Decoder;
}

brn_string* ConcatStringCString(const brn_string* string, const char* utf8) {
  HostState& s = S();
  const StringObject* first = s.String(string, "concat_string_cstring");
  const int64_t event = Note(s, Call::ConcatStringCString, first, 0, 0);
  if (s.faults.Fail(Site::ConcatString)) {
    s.trace.SetFailed(event);
    return nullptr;
  }
  const std::string_view suffix = utf8 != nullptr ? std::string_view(utf8) : std::string_view();
  std::u32string text;
  // One allocation: a byte of UTF-8 gives at most one character.
  text.reserve((first != nullptr ? first->text.size() : 0) + suffix.size());
  if (first != nullptr) text += first->text;
  text += DecodeUtf8(suffix);
  brn_string* joined = NewModuleString(std::move(text), "ConcatStringCString");
  if (Event* recorded = s.trace.At(event)) recorded->made = Serial(joined);
  return joined;
}

// The per-character entries come in two builds, one that records and one
// that does not, and the table holds the one the trace asks for: with
// recording off they test no flag. The recording build records through a
// tail call.
[[gnu::cold, gnu::noinline]] int64_t RecordLength(HostState& s, const StringObject* string, int64_t length) {
  Record(s, Call::StringGetLength, string, 0, 0, {length});
  return length;
}

template <bool traced>
int64_t StringGetLength(const brn_string* string) noexcept {
  HostState& s = S();
  const StringObject* object = s.String(string, "string_get_length");
  const int64_t length = object != nullptr ? static_cast<int64_t>(object->text.size()) : 0;
  if constexpr (traced) return RecordLength(s, object, length);
  return length;
}

[[gnu::cold, gnu::noinline]] uint32_t RecordChar(HostState& s, const StringObject* string, int64_t index,
                                                 uint32_t code) {
  Record(s, Call::StringGetChar, string, 0, 0, {index, code});
  return code;
}

template <bool traced>
uint32_t StringGetChar(const brn_string* string, int64_t index) noexcept {
  HostState& s = S();
  const StringObject* object = s.String(string, "string_get_char");
  const uint32_t code = object == nullptr || index < 0 || static_cast<size_t>(index) >= object->text.size()
                            ? 0
                            : object->text[static_cast<size_t>(index)];
  if constexpr (traced) return RecordChar(s, object, index, code);
  return code;
}

int64_t StringFindIndex(const brn_string* string, const brn_string* pattern, int64_t start) {
  HostState& s = S();
  const StringObject* text = s.String(string, "string_find_index");
  const StringObject* sought = s.String(pattern, "string_find_index");
  int64_t found = -1;
  // An empty pattern occurs nowhere.
  if (text != nullptr && sought != nullptr && !sought->text.empty() && start >= 0) {
    const size_t at = text->text.find(sought->text, static_cast<size_t>(start));
    if (at != std::u32string::npos) found = static_cast<int64_t>(at);
  }
  Note(s, Call::StringFindIndex, text, HostState::SerialOf(sought), 0, start, found);
  return found;
}

brn_string* FormatXArgs(const char* format, int32_t count, const void* const* arguments,
                        const brn_format_converter* converters) {
  HostState& s = S();
  const int64_t event = Note(s, Call::FormatXArgs, nullptr, 0, 0, count);
  if (format == nullptr || s.faults.Fail(Site::FormatText)) {
    s.trace.SetFailed(event);
    return nullptr;
  }
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
    // The converter fills a String of the formatter's that already holds a
    // text, whose one reference it must release; the reference it leaves
    // there becomes the host's.
    s.ledger.ModuleAcquire(s.receivingText);
    brn_string* receiving = ToHandle<brn_string>(s.receivingText);
    converters[next](&receiving, arguments[next]);
    ++next;
    if (receiving == nullptr) continue;
    StringObject* argument = s.String(receiving, "format_x_args");
    s.ledger.HandToHost(argument);
    // Given back however the appending ends.
    struct GiveBack {
      Ledger& ledger;
      StringObject* argument;
      ~GiveBack() { ledger.HostRelease(argument); }
    } giveBack{s.ledger, argument};
    // Room for the argument and the rest of the format at once.
    text.reserve(text.size() + argument->text.size() + (pattern.size() - start));
    text += argument->text;
  }
  brn_string* formatted = NewModuleString(std::move(text), "FormatXArgs");
  if (Event* recorded = s.trace.At(event)) recorded->made = Serial(formatted);
  return formatted;
}

// ---- File names and files ----

brn_filename* NewFileName(std::string path, const char* madeBy) {
  auto* name = new FileNameObject();
  name->path = std::move(path);
  S().ledger.Register(name, Kind::FileName, madeBy, false);
  return ToHandle<brn_filename>(name);
}

// A name the host made, with its call in the trace.
brn_filename* NoteFileName(HostState& s, Call call, brn_filename* name, uint64_t folder = 0, uint64_t joined = 0,
                           int64_t kind = 0) {
  const int64_t event = Note(s, call, nullptr, 0, Serial(name), kind);
  if (Event* recorded = s.trace.At(event)) {
    recorded->object = folder;
    recorded->kind = folder != 0 ? Kind::FileName : Kind::Count;
    recorded->other = joined;
  }
  s.trace.SetFailed(event, name == nullptr);
  return name;
}

brn_filename* GetHostPath(int32_t kind) {
  HostState& s = S();
  brn_filename* folder = kind != BRN_HOSTPATH_USER_FOLDER || s.faults.Fail(Site::GetHostPath)
                             ? nullptr
                             : NewFileName(Utf8FromPath(s.options.hostFolder), "GetHostPath");
  return NoteFileName(s, Call::GetHostPath, folder, 0, 0, kind);
}

brn_filename* FileNameFromCString(const char* utf8) {
  HostState& s = S();
  brn_filename* name =
      utf8 == nullptr || s.faults.Fail(Site::FileNameFromCString) ? nullptr : NewFileName(utf8, "FileNameFromCString");
  return NoteFileName(s, Call::FileNameFromCString, name);
}

brn_filename* JoinFileName(const brn_filename* folder, const brn_filename* name) {
  HostState& s = S();
  const auto* first = s.Checked<FileNameObject, Kind::FileName>(folder, "join_filename");
  const auto* second = s.Checked<FileNameObject, Kind::FileName>(name, "join_filename");
  brn_filename* joined =
      first == nullptr || second == nullptr || s.faults.Fail(Site::JoinFileName)
          ? nullptr
          : NewFileName(Utf8FromPath(PathFromUtf8(first->path) / PathFromUtf8(second->path)), "JoinFileName");
  return NoteFileName(s, Call::JoinFileName, joined, HostState::SerialOf(first), HostState::SerialOf(second));
}

void FreeFileName(brn_filename* name) {
  HostState& s = S();
  FileNameObject* object = s.Checked<FileNameObject, Kind::FileName>(name, "free_filename");
  Note(s, Call::FreeFileName, object, 0, 0);
  if (object != nullptr) s.ledger.ModuleRelease(object, "free_filename");
}

brn_file* AllocHostFile() {
  HostState& s = S();
  FileObject* file = nullptr;
  if (!s.faults.Fail(Site::AllocHostFile)) {
    file = new FileObject();
    s.ledger.Register(file, Kind::File, "AllocHostFile", false);
  }
  const int64_t event = Note(s, Call::AllocHostFile, nullptr, 0, HostState::SerialOf(file));
  s.trace.SetFailed(event, file == nullptr);
  return ToHandle<brn_file>(file);
}

// A file operation the system refused, with the system's reason.
// Never throws: it is reached from the per-byte write, which has no guard.
void FileFailed(HostState& s, const char* operation, const std::string& path, int error) noexcept {
  try {
    s.fileFailures.push_back({operation, path, std::strerror(error)});
  } catch (...) {
    // Without memory for the record the failure still shows in the answer.
  }
}

int32_t OpenHostFile(brn_file* file, const brn_filename* name, int32_t mode, int32_t dialog, int32_t byteOrder,
                     int32_t type, int32_t creator) {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "open_host_file");
  const auto* path = s.Checked<FileNameObject, Kind::FileName>(name, "open_host_file");
  const int64_t event =
      Note(s, Call::OpenHostFile, object, HostState::SerialOf(path), 0, mode, dialog, byteOrder, type, creator);
  if (object == nullptr || path == nullptr || mode != BRN_FILEOPEN_WRITE || object->stream != nullptr ||
      s.faults.Fail(Site::OpenHostFile)) {
    s.trace.SetFailed(event);
    return 0;
  }
  // What an open file needs is had before the file is opened.
  object->buffer.resize(FILE_BUFFER_SIZE);
  object->path = path->path;
  // Binary, so that a line feed stays one byte; opening truncates.
  errno = 0;
  object->stream = platform::OpenForWriting(PathFromUtf8(path->path));
  if (object->stream == nullptr) {
    FileFailed(s, "open", path->path, errno);
    s.trace.SetFailed(event);
    return 0;
  }
  object->lost = false;
  object->used = 0;
  return 1;
}

// Hands the buffered bytes to the stream; false when some did not reach it.
// The first loss of a file is recorded with the system's reason. Out of
// line: the per-byte path stays small.
[[gnu::noinline]] bool FlushFile(HostState& s, FileObject* file) {
  errno = 0;
  const size_t written = std::fwrite(file->buffer.data(), 1, file->used, file->stream);
  const bool complete = written == file->used;
  file->used = 0;
  if (!complete && !file->lost) FileFailed(s, "write", file->path, errno);
  if (!complete) file->lost = true;
  return complete;
}

// One byte into the file's buffer, handed on when the buffer is full.
[[gnu::always_inline]] inline int32_t PutByte(HostState& s, FileObject* file, uint8_t byte, bool refused) {
  if (refused) [[unlikely]]
    return 0;
  file->buffer[file->used++] = byte;
  if (file->used == FILE_BUFFER_SIZE) [[unlikely]]
    FlushFile(s, file);
  return 1;
}

[[gnu::cold, gnu::noinline]] int32_t RecordWrite(HostState& s, FileObject* file, uint8_t byte, bool refused) {
  s.trace.SetFailed(Record(s, Call::WriteHostFileChar, file, 0, 0, {byte}), refused);
  return PutByte(s, file, byte, refused);
}

template <bool traced>
int32_t WriteHostFileChar(brn_file* file, uint8_t byte) noexcept {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "write_host_file_char");
  const bool refused = object == nullptr || object->stream == nullptr || s.faults.Fail(Site::WriteByte);
  if constexpr (traced) return RecordWrite(s, object, byte, refused);
  return PutByte(s, object, byte, refused);
}

int32_t CloseHostFile(brn_file* file) {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "close_host_file");
  const int64_t event = Note(s, Call::CloseHostFile, object, 0, 0);
  if (object == nullptr || object->stream == nullptr) {
    s.trace.SetFailed(event);
    return 0;
  }
  // A failed close loses what was still buffered, as a full disk would.
  if (s.faults.Fail(Site::CloseFile)) {
    object->used = 0;
    object->lost = true;
  }
  // The stream's own buffer is flushed first and on its own: a C runtime
  // whose close answers success although its last flush failed would lose
  // those bytes unseen.
  bool flushed = FlushFile(s, object);
  errno = 0;
  if (std::fflush(object->stream) != 0) {
    if (!object->lost) FileFailed(s, "write", object->path, errno);
    object->lost = true;
    flushed = false;
  }
  errno = 0;
  const bool closed = std::fclose(object->stream) == 0;
  // The first loss of a file is its reason; a close that fails after it
  // (one runtime's does, without a reason) loses nothing more.
  if (!closed && !object->lost) FileFailed(s, "close", object->path, errno);
  object->stream = nullptr;
  const bool complete = flushed && closed && !object->lost;
  s.trace.SetFailed(event, !complete);
  return complete ? 1 : 0;
}

void FreeHostFile(brn_file* file) {
  HostState& s = S();
  auto* object = s.Checked<FileObject, Kind::File>(file, "free_host_file");
  Note(s, Call::FreeHostFile, object, 0, 0, object != nullptr && object->stream != nullptr ? 1 : 0);
  if (object == nullptr) return;
  if (object->stream != nullptr) {
    // A forgiving host closes it; a real one may drop what it still buffered.
    s.ProtocolFault("free_host_file: HostFile #" + std::to_string(object->serial) + " of [" + object->path +
                    "] freed while still open");
    FlushFile(s, object);
    std::fclose(object->stream);
    object->stream = nullptr;
  }
  s.ledger.ModuleRelease(object, "free_host_file");
}

// ---- Module resource ----

brn_resource* OpenResourceFolder(const char* folder) {
  HostState& s = S();
  ResourceObject* resource = nullptr;
  std::error_code error;
  if (folder != nullptr && !s.faults.Fail(Site::ResourceFolder) &&
      std::filesystem::is_directory(PathFromUtf8(folder), error)) {
    resource = new ResourceObject();
    resource->folder = folder;
    s.ledger.Register(resource, Kind::Resource, "InitModuleResource", false);
  }
  const int64_t event = Note(s, Call::OpenResourceFolder, nullptr, 0, HostState::SerialOf(resource));
  s.trace.SetFailed(event, resource == nullptr);
  return ToHandle<brn_resource>(resource);
}

void CloseResourceFolder(brn_resource* resource) {
  HostState& s = S();
  ResourceObject* object = s.Checked<ResourceObject, Kind::Resource>(resource, "close_resource_folder");
  Note(s, Call::CloseResourceFolder, object, 0, 0);
  if (object != nullptr) s.ledger.ModuleRelease(object, "close_resource_folder");
}

// ---- Loggers ----

const void* FindEntryValue(const char* registry, const char* id, int64_t length, brn_datatype** type) {
  HostState& s = S();
  const int64_t event = Note(s, Call::FindEntryValue, nullptr, 0, 0);
  if (registry == nullptr || id == nullptr || std::strcmp(registry, LOGGER_REGISTRY_ID) != 0) return nullptr;
  auto found = s.registry.find(std::string(id, length < 0 ? std::strlen(id) : static_cast<size_t>(length)));
  if (found == s.registry.end()) return nullptr;
  HostState::RegistryValue& value = found->second;
  if (Event* recorded = s.trace.At(event)) {
    recorded->made = Serial(value.logger);
    recorded->other = HostState::SerialOf(value.type);
  }
  if (type != nullptr) {
    s.ledger.ModuleAcquire(value.type);
    *type = ToHandle<brn_datatype>(value.type);
  }
  if (value.logger != nullptr) return &value.logger;
  return &value.number;
}

const brn_datatype* GetLoggerDataType() {
  HostState& s = S();
  const brn_datatype* type = s.loggerDataTypeAvailable ? ToHandle<brn_datatype>(s.loggerDataType) : nullptr;
  Note(s, Call::GetLoggerDataType, nullptr, 0, Serial(type));
  return type;
}

int32_t DatatypeIsCompatible(const brn_datatype* type, const brn_datatype* wanted) {
  HostState& s = S();
  const auto* given = s.Checked<DataTypeObject, Kind::DataType>(type, "datatype_is_compatible");
  const auto* target = s.Checked<DataTypeObject, Kind::DataType>(wanted, "datatype_is_compatible");
  const int32_t compatible =
      given != nullptr && target != nullptr && (given == target || given->compatibleWith == target) ? 1 : 0;
  Note(s, Call::DatatypeIsCompatible, given, HostState::SerialOf(target), 0, compatible);
  return compatible;
}

const brn_logger* ResolveLoggerDeclaration(const char* id) {
  HostState& s = S();
  const bool isDefault = id != nullptr && std::strcmp(id, DEFAULT_LOGGER_ID) == 0;
  if (isDefault) ++s.defaultLoggerResolutions;
  const brn_logger* logger = nullptr;
  if (isDefault && s.defaultLogger != nullptr && !s.faults.Fail(Site::ResolveLogger)) {
    s.resolutions.push_back(s.defaultLogger);
    s.ledger.HostRetain(s.defaultLogger);
    logger = ToHandle<brn_logger>(s.defaultLogger);
  }
  const int64_t event = Note(s, Call::ResolveLogger, nullptr, 0, Serial(logger));
  s.trace.SetFailed(event, logger == nullptr);
  return logger;
}

const brn_logger* GetNullLogger() {
  HostState& s = S();
  Note(s, Call::GetNullLogger, nullptr, 0, HostState::SerialOf(s.nullLogger));
  return ToHandle<brn_logger>(s.nullLogger);
}

void GetLoggerTypes(const brn_logger* logger, brn_array* types) {
  HostState& s = S();
  const auto* object = s.Checked<LoggerObject, Kind::Logger>(logger, "get_logger_types");
  const int64_t event = Note(s, Call::GetLoggerTypes, object, 0, 0);
  if (types == nullptr) return;
  if (types->data != nullptr || types->count != 0) Fatal("get_logger_types: the array is not empty");
  if (object == nullptr || object->types.empty()) return;
  if (s.faults.Fail(Site::GetLoggerTypes)) {
    s.trace.SetFailed(event);
    return;
  }
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
  if (Event* recorded = s.trace.At(event)) {
    recorded->made = s.ledger.AllocationSerial(entries);
    recorded->args[0] = count;
  }
}

int32_t ImplementsInterface(const brn_logger_type* type, const char* interface) {
  HostState& s = S();
  const auto* object = s.Checked<LoggerTypeObject, Kind::LoggerType>(type, "implements_interface");
  int32_t implements = 0;
  if (object != nullptr && interface != nullptr) {
    const std::string_view wanted(interface);
    implements =
        wanted == "brannoc.LoggerTypeInterface" || (wanted == "brannoc.UserLoggerTypeInterface" && object->storesLines)
            ? 1
            : 0;
  }
  Note(s, Call::ImplementsInterface, object, 0, 0, implements);
  return implements;
}

int32_t IterateFailure(HostState& s, bool withError, brn_error** error) {
  if (withError && error != nullptr)
    *error = ToHandle<brn_error>(s.NewError("Reading the logger failed.", "iterate", false));
  return 0;
}

int32_t IterateLines(HostState& s, LoggerTypeObject* object, brn_line_callback callback, void* context,
                     brn_error** error) {
  if (object == nullptr || !object->storesLines || callback == nullptr) return IterateFailure(s, true, error);
  // The lines as they stand when the iteration starts.
  const size_t count = object->lines.size();
  for (size_t index = 0; index <= count; ++index) {
    if (static_cast<int64_t>(index) == object->failAtLine) return IterateFailure(s, object->failWithError, error);
    if (s.faults.Fail(Site::Iterate)) return IterateFailure(s, true, error);
    if (index == count) break;
    const brn_log_line_record record{static_cast<int64_t>(index), ToHandle<brn_string>(object->lines[index])};
    brn_error* returned = nullptr;
    const int64_t line = Note(s, Call::LineCallback, object->lines[index], 0, 0, index);
    const int32_t answer = callback(context, &record, &returned);
    s.trace.SetArg(line, 1, answer);
    if (answer == 0) {
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

int32_t Iterate(const brn_logger_type* type, brn_line_callback callback, void* context, brn_error** error) {
  HostState& s = S();
  auto* object = s.Checked<LoggerTypeObject, Kind::LoggerType>(type, "iterate");
  const int64_t event = Note(s, Call::Iterate, object, 0, 0);
  const int32_t answer = IterateLines(s, object, callback, context, error);
  s.trace.SetFailed(event, answer == 0);
  return answer;
}

int32_t LoggerWrite(const brn_logger* logger, int32_t audience, const brn_string* text, brn_source_location where,
                    int32_t meta, brn_error** error) {
  HostState& s = S();
  auto* object = s.Checked<LoggerObject, Kind::Logger>(logger, "logger_write");
  StringObject* line = s.String(text, "logger_write");
  const int64_t event = Note(s, Call::LoggerWrite, object, HostState::SerialOf(line), 0, audience, meta, where.line);
  if (object == nullptr || s.faults.Fail(Site::LoggerWrite)) {
    s.trace.SetFailed(event);
    if (error != nullptr)
      *error = ToHandle<brn_error>(s.NewError("The logger could not write.", "logger_write", false));
    return 0;
  }
  if (object == s.defaultLogger && s.options.recordDefaultOutputs)
    s.outputs.push_back({audience, meta, Utf8Of(line), where.file != nullptr ? where.file : "", where.line});
  // Line-storing types keep the line itself, shared.
  for (LoggerTypeObject* type : object->types) {
    if (type == nullptr || !type->storesLines) continue;
    // Kept first, then counted: a line that finds no room takes no reference.
    type->lines.push_back(line);
    if (line != nullptr) s.ledger.HostRetain(line);
  }
  return 1;
}

// An entry as the module sees it: whatever the host throws inside it (its
// memory running out, say) ends in the entry's failure answer, null or 0
// (or `failure`), as an injected fault of the call would; nothing unwinds
// into the module.
template <auto entry, auto failure = 0>
struct Guarded;

template <typename R, typename... Args, R (*entry)(Args...), auto failure>
struct Guarded<entry, failure> {
  static R Call(Args... args) noexcept {
    try {
      return entry(args...);
    } catch (...) {
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else if constexpr (!std::is_void_v<R>) {
        return static_cast<R>(failure);
      }
    }
  }
};

}  // namespace

void SetPerCharacterEntries(brn_host_api& table, bool traced) {
  table.string_get_length = traced ? &StringGetLength<true> : &StringGetLength<false>;
  table.string_get_char = traced ? &StringGetChar<true> : &StringGetChar<false>;
  table.write_host_file_char = traced ? &WriteHostFileChar<true> : &WriteHostFileChar<false>;
}

void FillTable(brn_host_api& table) {
  table = brn_host_api{};
  table.table_size = sizeof(brn_host_api);
  table.print_to_console = &Guarded<&PrintToConsole>::Call;
  table.console_output_text = &Guarded<&ConsoleOutputText>::Call;
  table.console_output_string = &Guarded<&ConsoleOutputString>::Call;
  table.get_console_output_type = &Guarded<&GetConsoleOutputType>::Call;
  table.show_error_message = &Guarded<&ShowErrorMessage>::Call;
  table.register_plugin = &Guarded<&RegisterPlugin>::Call;
  table.alloc = &Guarded<&Alloc>::Call;
  table.realloc = &Guarded<&Realloc>::Call;
  table.free = &Guarded<&Free>::Call;
  table.free_with_destructor = &Guarded<&FreeWithDestructor>::Call;
  table.acquire = &Guarded<&Acquire>::Call;
  table.release = &Guarded<&Release>::Call;
  table.create_standard_error = &Guarded<&CreateStandardError>::Call;
  table.get_null_return_error = &Guarded<&GetNullReturnError>::Call;
  table.error_to_string = &Guarded<&ErrorToString>::Call;
  table.get_and_cache_const_string = &Guarded<&GetAndCacheConstString>::Call;
  table.get_empty_string = &Guarded<&GetEmptyString>::Call;
  table.string_create = &Guarded<&StringCreate>::Call;
  table.string_set_cstring = &Guarded<&StringSetCString>::Call;
  table.get_utf8_decoder = &Guarded<&GetUtf8Decoder>::Call;
  table.concat_string_cstring = &Guarded<&ConcatStringCString>::Call;
  // The per-character entries allocate nothing and so cannot throw; they go
  // without the guard's extra call.
  SetPerCharacterEntries(table, false);
  table.string_find_index = &Guarded<&StringFindIndex, -1>::Call;
  table.format_x_args = &Guarded<&FormatXArgs>::Call;
  table.get_host_path = &Guarded<&GetHostPath>::Call;
  table.filename_from_cstring = &Guarded<&FileNameFromCString>::Call;
  table.join_filename = &Guarded<&JoinFileName>::Call;
  table.free_filename = &Guarded<&FreeFileName>::Call;
  table.alloc_host_file = &Guarded<&AllocHostFile>::Call;
  table.open_host_file = &Guarded<&OpenHostFile>::Call;
  table.close_host_file = &Guarded<&CloseHostFile>::Call;
  table.free_host_file = &Guarded<&FreeHostFile>::Call;
  table.open_resource_folder = &Guarded<&OpenResourceFolder>::Call;
  table.close_resource_folder = &Guarded<&CloseResourceFolder>::Call;
  table.find_entry_value = &Guarded<&FindEntryValue>::Call;
  table.get_logger_data_type = &Guarded<&GetLoggerDataType>::Call;
  table.datatype_is_compatible = &Guarded<&DatatypeIsCompatible>::Call;
  table.resolve_logger_declaration = &Guarded<&ResolveLoggerDeclaration>::Call;
  table.get_null_logger = &Guarded<&GetNullLogger>::Call;
  table.get_logger_types = &Guarded<&GetLoggerTypes>::Call;
  table.implements_interface = &Guarded<&ImplementsInterface>::Call;
  table.iterate = &Guarded<&Iterate>::Call;
  table.logger_write = &Guarded<&LoggerWrite>::Call;
}

}  // namespace standin
