#include "gathering.h"

#include "brannoc/console.h"

namespace microsdk {

using namespace brannoc;

Result<void> AppendLineText(StringArray& lines, const LogLineRecord& record) {
  return AppendResult(lines, String(record._str));
}

namespace {

void ShowReadError(const ErrorObject& error) {
  const String text = error.ToString();
  ShowErrorMessage(text, GEMB::ICONEXCLAMATION);
}

}  // namespace

Result<void> GatherLines(const Logger& logger, StringArray& lines) {
  const LoggerTypeList types = logger.GetLoggerTypes();
  for (Int index = 0; index < types.GetCount(); ++index) {
    if (types[index].type == nullptr) continue;
    const LoggerType type = LoggerType::Share(types[index].type);
    const UserLoggerType lineStoring = UserLoggerType::Cast(type);
    if (!lineStoring) continue;
    // Only the last line-storing type's lines are kept.
    lines.Reset();
    auto append = [&lines](const LogLineRecord& record) { return AppendLineText(lines, record); };
    Result<void> read = lineStoring.Iterate(LineCallback(append));
    if (read.Failed()) {
      // Shown before the type's references and the list are released.
      ShowReadError(read.GetError());
      return read;
    }
  }
  return {};
}

}  // namespace microsdk
