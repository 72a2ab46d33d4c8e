#include "standin/trace.h"

namespace standin {

const char* CallName(Call call) {
  switch (call) {
    case Call::Entry:
      return "Entry";
    case Call::Run:
      return "Run";
    case Call::RunEnd:
      return "RunEnd";
    case Call::LineCallback:
      return "LineCallback";
    case Call::PrintToConsole:
      return "PrintToConsole";
    case Call::ConsoleOutputText:
      return "ConsoleOutputText";
    case Call::ConsoleOutputString:
      return "ConsoleOutputString";
    case Call::GetConsoleOutputType:
      return "GetConsoleOutputType";
    case Call::ShowErrorMessage:
      return "ShowErrorMessage";
    case Call::RegisterPlugin:
      return "RegisterPlugin";
    case Call::Alloc:
      return "Alloc";
    case Call::Realloc:
      return "Realloc";
    case Call::Free:
      return "Free";
    case Call::FreeWithDestructor:
      return "FreeWithDestructor";
    case Call::Acquire:
      return "Acquire";
    case Call::Release:
      return "Release";
    case Call::CreateStandardError:
      return "CreateStandardError";
    case Call::GetNullReturnError:
      return "GetNullReturnError";
    case Call::ErrorToString:
      return "ErrorToString";
    case Call::GetConstString:
      return "GetConstString";
    case Call::GetEmptyString:
      return "GetEmptyString";
    case Call::StringCreate:
      return "StringCreate";
    case Call::StringSetCString:
      return "StringSetCString";
    case Call::GetUtf8Decoder:
      return "GetUtf8Decoder";
    case Call::ConcatStringCString:
      return "ConcatStringCString";
    case Call::StringGetLength:
      return "StringGetLength";
    case Call::StringGetChar:
      return "StringGetChar";
    case Call::StringFindIndex:
      return "StringFindIndex";
    case Call::FormatXArgs:
      return "FormatXArgs";
    case Call::GetHostPath:
      return "GetHostPath";
    case Call::FileNameFromCString:
      return "FileNameFromCString";
    case Call::JoinFileName:
      return "JoinFileName";
    case Call::FreeFileName:
      return "FreeFileName";
    case Call::AllocHostFile:
      return "AllocHostFile";
    case Call::OpenHostFile:
      return "OpenHostFile";
    case Call::WriteHostFileChar:
      return "WriteHostFileChar";
    case Call::CloseHostFile:
      return "CloseHostFile";
    case Call::FreeHostFile:
      return "FreeHostFile";
    case Call::OpenResourceFolder:
      return "OpenResourceFolder";
    case Call::CloseResourceFolder:
      return "CloseResourceFolder";
    case Call::FindEntryValue:
      return "FindEntryValue";
    case Call::GetLoggerDataType:
      return "GetLoggerDataType";
    case Call::DatatypeIsCompatible:
      return "DatatypeIsCompatible";
    case Call::ResolveLogger:
      return "ResolveLogger";
    case Call::GetNullLogger:
      return "GetNullLogger";
    case Call::GetLoggerTypes:
      return "GetLoggerTypes";
    case Call::ImplementsInterface:
      return "ImplementsInterface";
    case Call::Iterate:
      return "Iterate";
    case Call::LoggerWrite:
      return "LoggerWrite";
    case Call::Count:
      break;
  }
  return "?";
}

std::string Event::Text() const {
  std::string text = CallName(call);
  if (object != 0)
    text += std::string(" ") + (kind != Kind::Count ? KindName(kind) : "") + " #" + std::to_string(object);
  if (other != 0) text += " #" + std::to_string(other);
  if (made != 0) text += " -> #" + std::to_string(made);
  text += " (";
  for (size_t index = 0; index < args.size(); ++index) text += (index > 0 ? ", " : "") + std::to_string(args[index]);
  text += ")";
  if (failed) text += " failed";
  return text;
}

int64_t Trace::Append(const Event& event) {
  events_.push_back(event);
  return static_cast<int64_t>(events_.size()) - 1;
}

int64_t Events::First(const Match& match, size_t from) const {
  for (size_t index = from; index < events_.size(); ++index)
    if (match.Matches(events_[index])) return static_cast<int64_t>(index);
  return -1;
}

int64_t Events::Last(const Match& match) const {
  for (size_t index = events_.size(); index-- > 0;)
    if (match.Matches(events_[index])) return static_cast<int64_t>(index);
  return -1;
}

bool Events::Before(const Match& a, const Match& b) const {
  const int64_t first = First(a);
  const int64_t second = First(b);
  return first >= 0 && second >= 0 && first < second;
}

Events Events::Of(const Match& match) const {
  return Of([&match](const Event& event) { return match.Matches(event); });
}

Events Events::Of(const std::function<bool(const Event&)>& keep) const {
  std::vector<Event> kept;
  for (const Event& event : events_)
    if (keep(event)) kept.push_back(event);
  return Events(std::move(kept));
}

Events Events::Slice(int64_t first, int64_t last) const {
  const auto size = static_cast<int64_t>(events_.size());
  if (first < 0) first = 0;
  if (last < 0 || last > size) last = size;
  if (first >= last) return Events();
  return Events(std::vector<Event>(events_.begin() + first, events_.begin() + last));
}

Events Events::Between(const Match& a, const Match& b) const {
  const int64_t first = First(a);
  if (first < 0) return Events();
  const int64_t last = First(b, static_cast<size_t>(first) + 1);
  return Slice(first + 1, last);
}

std::vector<Call> Events::Calls() const {
  std::vector<Call> calls;
  for (const Event& event : events_) calls.push_back(event.call);
  return calls;
}

std::vector<uint64_t> Events::Objects() const {
  std::vector<uint64_t> objects;
  for (const Event& event : events_) objects.push_back(event.object);
  return objects;
}

std::string Events::Bytes() const {
  std::string bytes;
  for (const Event& event : events_)
    if (event.call == Call::WriteHostFileChar && !event.failed) bytes.push_back(static_cast<char>(event.args[0]));
  return bytes;
}

std::string Events::Text() const {
  std::string text;
  for (size_t index = 0; index < events_.size(); ++index)
    text += "  " + std::to_string(index) + " " + events_[index].Text() + "\n";
  return text;
}

}  // namespace standin
