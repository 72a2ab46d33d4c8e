// Loggers of the SDK: registry access, logger types, iteration, the
// default logger declaration.
#include "brannoc/console.h"
#include "brannoc/logger.h"

namespace brannoc {

namespace {

int32_t LineTrampoline(void* context, const brn_log_line_record* record, brn_error** error) {
  const auto& callback = *static_cast<const LineCallback*>(context);
  Result<void> result = callback(LogLineRecord{record->time, StringView(record->text)});
  if (!result.Failed()) return 1;
  // Without a slot the error is released here; the failure still stands.
  ErrorObject failure = result.TakeError();
  if (error != nullptr) *error = failure.Disown();
  return 0;
}

LoggerDeclaration defaultLogger("net.brannoc.core.logger.default");

}  // namespace

Result<void> UserLoggerType::Iterate(const LineCallback& callback) const noexcept {
  brn_error* error = nullptr;
  if (Host().iterate(GetHandle(), &LineTrampoline, const_cast<LineCallback*>(&callback), &error) != 0) return {};
  return Result<void>::Failure(ErrorObject::Adopt(error));
}

void LoggerTypeList::Reset() noexcept {
  // Storage of capacity 0 is storage all the same.
  if (array_.data == nullptr) return;
  auto* entries = static_cast<LoggerTypeEntry*>(array_.data);
  for (Int index = array_.count; index-- > 0;)
    if (entries[index].type != nullptr) Host().release(entries[index].type);
  Host().free(array_.data);
  array_ = brn_array{};
}

LoggerTypeList Logger::GetLoggerTypes() const noexcept {
  LoggerTypeList list;
  // A call on the null logger goes to the host's null-logger object.
  const brn_logger* logger = GetHandle() != nullptr ? GetHandle() : Host().get_null_logger();
  if (logger != nullptr) Host().get_logger_types(logger, list.Abi());
  return list;
}

Result<void> WriteToLogger(const brn_logger* logger, Int32 audience, StringView text, SourceLocation where,
                           Int32 meta) noexcept {
  brn_error* error = nullptr;
  if (Host().logger_write(logger, audience, text.GetHandle(), where.Abi(), meta, &error) != 0) return {};
  return Result<void>::Failure(ErrorObject::Adopt(error));
}

Logger FindLogger(const char* registry, const Id& id) noexcept {
  brn_datatype* type = nullptr;
  const void* value = Host().find_entry_value(registry, id.GetText(), id.GetLength(), &type);
  const brn_datatype* loggerType = Host().get_logger_data_type();
  const bool isLogger = value != nullptr && type != nullptr && loggerType != nullptr &&
                        Host().datatype_is_compatible(type, loggerType) != 0;
  if (type != nullptr) Host().release(type);
  if (!isLogger) return Logger();
  return Logger::Share(*static_cast<const brn_logger* const*>(value));
}

const brn_logger* LoggerDeclaration::AskHost() noexcept {
  slot_ = Host().resolve_logger_declaration(id_);
  return slot_;
}

LoggerDeclaration& DefaultLoggerDeclaration() noexcept {
  return defaultLogger;
}

void LogToDefaultLogger(TARGETAUDIENCE audience, WRITEMETA meta, String text, Int32 line, const char* file) noexcept {
  if (text.IsNull()) {
    // Without the host's text of the fallback line there is nothing to print.
    const StringView failed = ConstString("Console output failed");
    if (!failed.IsNull()) PrintToHostConsole(failed);
    return;
  }
  // Borrowed for the one write: taking and giving back a reference of its
  // own for every output would cost two host calls per line.
  const brn_logger* logger = DefaultLoggerDeclaration().Resolve();
  if (logger == nullptr) return;
  // The outcome of a log output is of no interest to its caller.
  (void)WriteToLogger(logger, static_cast<Int32>(audience), text, SourceLocation{file, line}, static_cast<Int32>(meta));
}

}  // namespace brannoc
