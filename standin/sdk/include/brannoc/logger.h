// Loggers: the logger registry, logger references, their logger types and
// the stored lines of the line-storing ones, and the default logger.
#pragma once

#include <utility>

#include "brannoc/base.h"
#include "brannoc/delegate.h"
#include "brannoc/error.h"
#include "brannoc/ref.h"
#include "brannoc/string.h"

namespace brannoc {

// An identifier made from a literal; it refers to the literal and owns nothing.
class Id {
 public:
  template <size_t N>
  constexpr explicit Id(const char (&literal)[N]) noexcept : text_(literal), length_(static_cast<Int>(N - 1)) {}
  const char* GetText() const noexcept { return text_; }
  Int GetLength() const noexcept { return length_; }

 private:
  const char* text_;
  Int length_;
};

// The interface of logger types that keep their lines.
inline constexpr const char* USERLOGGERTYPE_INTERFACE = "brannoc.UserLoggerTypeInterface";

// The element of the list of a logger's types: a counted reference (may be
// null) and a field of the host's.
using LoggerTypeEntry = brn_logger_type_entry;

// What `Iterate` hands over for one stored line; `_str` is the line's text,
// borrowed for the call.
struct LogLineRecord {
  Int _dateTime;
  StringView _str;
};

using LineCallback = Delegate<Result<void>(const LogLineRecord&)>;

class LoggerType : public CountedRef<brn_logger_type> {
 public:
  using CountedRef::CountedRef;
  LoggerType(CountedRef&& ref) noexcept : CountedRef(std::move(ref)) {}  // NOLINT
  // The host SDK's interface test: does the object's class list the interface?
  Bool Implements(const char* interfaceId) const noexcept {
    return Host().implements_interface(GetHandle(), interfaceId) != 0;
  }
};

// A logger type that keeps its lines (brannoc.UserLoggerTypeInterface).
class UserLoggerType : public CountedRef<brn_logger_type> {
 public:
  UserLoggerType() noexcept = default;
  // A second reference to `type` when it keeps its lines, else null.
  static UserLoggerType Cast(const LoggerType& type) noexcept {
    UserLoggerType user;
    if (type && type.Implements(USERLOGGERTYPE_INTERFACE)) user.CountedRef::operator=(Share(type.GetHandle()));
    return user;
  }
  // Calls `callback` once per stored line, in order, before it returns.
  Result<void> Iterate(const LineCallback& callback) const noexcept;
};

// The list that `GetLoggerTypes` gives; owns the storage and each entry's
// reference, released the last entry first.
class LoggerTypeList {
 public:
  LoggerTypeList() noexcept = default;
  LoggerTypeList(const LoggerTypeList&) = delete;
  LoggerTypeList& operator=(const LoggerTypeList&) = delete;
  LoggerTypeList(LoggerTypeList&& other) noexcept : array_(std::exchange(other.array_, brn_array{})) {}
  ~LoggerTypeList() { Reset(); }

  Int GetCount() const noexcept { return array_.count; }
  const LoggerTypeEntry& operator[](Int index) const noexcept {
    return static_cast<const LoggerTypeEntry*>(array_.data)[index];
  }
  void Reset() noexcept;
  brn_array* Abi() noexcept { return &array_; }

 private:
  brn_array array_{};
};

class Logger : public CountedRef<brn_logger> {
 public:
  using CountedRef::CountedRef;
  Logger(CountedRef&& ref) noexcept : CountedRef(std::move(ref)) {}  // NOLINT

  // The logger's types; for the null logger those of the host's null-logger
  // object where the host has one, else none.
  LoggerTypeList GetLoggerTypes() const noexcept;
  // Writes a line; the logger takes what it keeps of `text`.
  Result<void> Write(Int32 audience, StringView text, SourceLocation where, Int32 meta) const noexcept;
};

// Logger::Write on a borrowed logger.
Result<void> WriteToLogger(const brn_logger* logger, Int32 audience, StringView text, SourceLocation where,
                           Int32 meta) noexcept;

inline Result<void> Logger::Write(Int32 audience, StringView text, SourceLocation where, Int32 meta) const noexcept {
  return WriteToLogger(GetHandle(), audience, text, where, meta);
}

// Typed access to a registry value: the logger registered under `id`, or
// the null logger when there is none or the value is not a logger.
Logger FindLogger(const char* registry, const Id& id) noexcept;

inline constexpr const char* LOGGER_REGISTRY = "net.brannoc.core.registry.loggers";

// A module-wide declaration of a host logger, resolved by the host on first
// use; a resolution that gives nothing is tried again at the next use.
class LoggerDeclaration {
 public:
  constexpr explicit LoggerDeclaration(const char* id) noexcept : id_(id) {}
  // The logger, borrowed: once resolved, the host keeps it for the module's
  // life. Null when it does not resolve.
  const brn_logger* Resolve() noexcept { return slot_ != nullptr ? slot_ : AskHost(); }
  // A counted reference of the caller's own, or the null logger.
  Logger Get() noexcept { return Logger::Share(Resolve()); }
  // Forgets the resolution; the host drops its side when the module ends.
  void Forget() noexcept { slot_ = nullptr; }

 private:
  // The resolution itself, out of the way of every later use.
  [[gnu::noinline]] const brn_logger* AskHost() noexcept;

  const char* id_;
  const brn_logger* slot_ = nullptr;
};

// "net.brannoc.core.logger.default".
LoggerDeclaration& DefaultLoggerDeclaration() noexcept;

enum class TARGETAUDIENCE : Int32 { ALL = BRN_TARGETAUDIENCE_ALL };
enum class WRITEMETA : Int32 { DEFAULT = BRN_WRITEMETA_DEFAULT };

// Writes `text` to the default logger and releases it. A null text puts the
// line "Console output failed" on the host console instead.
void LogToDefaultLogger(TARGETAUDIENCE audience, WRITEMETA meta, String text, Int32 line, const char* file) noexcept;

}  // namespace brannoc
