// The stand-in host's call trace: one event for every call of the function
// table, and for every call the host makes into a module (its entry, its
// command, a line callback), in the order they happen. An event names the
// host objects the call takes or gives by their ledger serials and keeps the
// call's key arguments, so that a test can state the one order or argument
// it is about.
//
// Recording is off unless asked for: a call then costs one predictable
// branch. The host is called one call at a time, so the trace takes no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "standin/ledger.h"

namespace standin {

class HostState;

enum class Call : uint8_t {
  // The host calling the module.
  Entry,         // args: action, value, answer
  Run,           // the command's execute operation begins
  RunEnd,        // ... and answered: args[0]
  LineCallback,  // object: the line's text; args: index, answer
  // The function table, in its order.
  PrintToConsole,       // object: text
  ConsoleOutputText,    // args: flags, line
  ConsoleOutputString,  // object: text; args: flags, line
  GetConsoleOutputType,
  ShowErrorMessage,      // object: text; args: flags
  RegisterPlugin,        // object: name; other: help; args: type, id, info, has icon
  Alloc,                 // made: allocation; args: size
  Realloc,               // object: old allocation; made: allocation; args: size
  Free,                  // object: allocation
  FreeWithDestructor,    // object: allocation
  Acquire,               // object (kind)
  Release,               // object (kind)
  CreateStandardError,   // made: error; args: kind
  GetNullReturnError,    // made: error
  ErrorToString,         // object: error; made: text
  GetConstString,        // made: text; args: bytes
  GetEmptyString,        // made: text
  StringCreate,          // made: text
  StringSetCString,      // object: text; args: length
  GetUtf8Decoder,        //
  ConcatStringCString,   // object: text; made: text
  StringGetLength,       // object: text; args: answer
  StringGetChar,         // object: text; args: index, answer
  StringFindIndex,       // object: text; other: pattern; args: start, answer
  FormatXArgs,           // made: text; args: count
  GetHostPath,           // made: name; args: kind
  FileNameFromCString,   // made: name
  JoinFileName,          // object: folder; other: name; made: name
  FreeFileName,          // object: name
  AllocHostFile,         // made: file
  OpenHostFile,          // object: file; other: name; args: mode, dialog, byte order, type, creator
  WriteHostFileChar,     // object: file; args: byte
  CloseHostFile,         // object: file
  FreeHostFile,          // object: file; args: 1 when it was still open
  OpenResourceFolder,    // made: resource
  CloseResourceFolder,   // object: resource
  FindEntryValue,        // made: the logger the value holds; other: its data type
  GetLoggerDataType,     // made: data type
  DatatypeIsCompatible,  // object, other: data types; args: answer
  ResolveLogger,         // made: logger (0: none)
  GetNullLogger,         // made: logger
  GetLoggerTypes,        // object: logger; made: the list's storage; args: count
  ImplementsInterface,   // object: logger type; args: answer
  Iterate,               // object: logger type
  LoggerWrite,           // object: logger; other: text; args: audience, meta, line
  Count
};

const char* CallName(Call call);
inline std::ostream& operator<<(std::ostream& out, Call call) {
  return out << CallName(call);
}

struct Event {
  Call call = Call::Count;
  bool failed = false;      // the call answered its failure
  Kind kind = Kind::Count;  // the kind of `object`; Count: none
  uint64_t object = 0;      // serial of the host object the call takes (or releases, or frees)
  uint64_t other = 0;       // serial of a second object it takes
  uint64_t made = 0;        // serial of the object it gives
  std::array<int64_t, 5> args{};

  // "Release String #12", "OpenHostFile #4 #9 (2, 0, 1, ...)" and so on.
  std::string Text() const;
};

class Trace {
 public:
  bool On() const { return on_; }
  void Clear() { events_.clear(); }

  // Appends an event when recording; answers its index, or -1.
  int64_t Add(const Event& event) {
    if (!on_) [[likely]]
      return -1;
    return Append(event);
  }
  // Marks the event at `index` (from Add) as failed, or sets one argument.
  void SetFailed(int64_t index, bool failed = true) {
    if (index >= 0) events_[static_cast<size_t>(index)].failed = failed;
  }
  void SetArg(int64_t index, size_t arg, int64_t value) {
    if (index >= 0) events_[static_cast<size_t>(index)].args[arg] = value;
  }
  // The event at `index` (from Add), to complete it; null for -1.
  Event* At(int64_t index) { return index >= 0 ? &events_[static_cast<size_t>(index)] : nullptr; }

  const std::vector<Event>& Events() const { return events_; }

 private:
  friend class HostState;  // switches it together with the host's table
  void SetOn(bool on) { on_ = on; }
  int64_t Append(const Event& event);
  bool on_ = false;
  std::vector<Event> events_;
};

// ---- Reading a trace, for tests ----

// What an event must be to match: its call, and where given its object.
struct Match {
  Call call;
  uint64_t object = 0;  // 0: any
  std::optional<Kind> kind = std::nullopt;
  bool Matches(const Event& event) const {
    return event.call == call && (object == 0 || event.object == object) && (!kind || event.kind == *kind);
  }
};

// A view of a stretch of events with the questions tests ask of it.
class Events {
 public:
  Events() = default;
  explicit Events(std::vector<Event> events) : events_(std::move(events)) {}

  const std::vector<Event>& All() const { return events_; }
  size_t Size() const { return events_.size(); }
  const Event& operator[](size_t index) const { return events_[index]; }

  // The index of the first (or last) event that matches, or -1.
  int64_t First(const Match& match, size_t from = 0) const;
  int64_t Last(const Match& match) const;
  // Whether the first event matching `a` comes before the first matching `b`
  // (both must occur).
  bool Before(const Match& a, const Match& b) const;
  // The events that match, in order.
  Events Of(const Match& match) const;
  Events Of(const std::function<bool(const Event&)>& keep) const;
  // The events from index `first` up to, not including, `last`.
  Events Slice(int64_t first, int64_t last) const;
  // The events after the first `a` and before the next `b` after it.
  Events Between(const Match& a, const Match& b) const;
  // The calls of the events in order, and their objects' serials.
  std::vector<Call> Calls() const;
  std::vector<uint64_t> Objects() const;
  // The bytes of the WriteHostFileChar events, in order.
  std::string Bytes() const;
  // One line per event, for a failure message.
  std::string Text() const;

 private:
  std::vector<Event> events_;
};

}  // namespace standin
