#include "support/trace_support.h"

#include <algorithm>
#include <cstdlib>

namespace trace_support {

std::vector<Events> Runs(const standin::Host& host) {
  const Events all = host.TraceEvents();
  std::vector<Events> runs;
  for (int64_t start = all.First({Call::Run}); start >= 0;
       start = all.First({Call::Run}, static_cast<size_t>(start) + 1)) {
    const int64_t end = all.First({Call::RunEnd}, static_cast<size_t>(start) + 1);
    runs.push_back(all.Slice(start + 1, end));
  }
  return runs;
}

Events LastRun(const standin::Host& host) {
  std::vector<Events> runs = Runs(host);
  return runs.empty() ? Events() : runs.back();
}

namespace {

standin::Event Exit(Call call, uint64_t object) {
  standin::Event event;
  event.call = call;
  event.object = object;
  return event;
}

std::string Listed(const std::vector<standin::Event>& events) {
  std::string text;
  for (const standin::Event& event : events) text += "\n      " + event.Text();
  return text;
}

}  // namespace

std::vector<standin::Event> ExpectedCommonExit(const Events& run) {
  uint64_t marker = 0;
  uint64_t python = 0;
  uint64_t storage = 0;
  bool lookedUp = false;
  bool gathered = false;
  bool emptied = false;
  std::vector<uint64_t> elements;
  for (const standin::Event& event : run.All()) {
    switch (event.call) {
      case Call::FindEntryValue:
        lookedUp = true;
        break;
      case Call::GetLoggerTypes:
      case Call::GetNullLogger:
        gathered = true;
        break;
      case Call::Acquire:
        // The run's reference to the Python logger, taken after the lookup.
        if (lookedUp && !gathered && python == 0 && event.kind == Kind::Logger) python = event.object;
        break;
      case Call::StringSetCString:
        if (!event.failed && marker == 0) marker = event.object;
        break;
      case Call::LineCallback:
        if (event.args[1] == 1) elements.push_back(event.object);
        break;
      case Call::Alloc:
      case Call::Realloc:
        // The array's storage: made by its first growth, moved by the later ones.
        if (!event.failed) storage = event.made;
        break;
      case Call::Free:
        // The array's storage freed: the array was emptied if a read
        // follows, else this is the exit's own last release.
        if (storage != 0 && event.object == storage) emptied = true;
        break;
      case Call::Iterate:
        if (emptied) {
          storage = 0;
          elements.clear();
          emptied = false;
        }
        break;
      default:
        break;
    }
  }
  std::vector<standin::Event> exit;
  if (marker != 0) exit.push_back(Exit(Call::Release, marker));
  if (python != 0) exit.push_back(Exit(Call::Release, python));
  for (auto element = elements.rbegin(); element != elements.rend(); ++element)
    if (*element != 0) exit.push_back(Exit(Call::Release, *element));
  if (storage != 0) exit.push_back(Exit(Call::Free, storage));
  return exit;
}

std::vector<std::string> CommonExitProblems(const Events& run) {
  const std::vector<standin::Event> expected = ExpectedCommonExit(run);
  std::vector<standin::Event> actual;
  const size_t count = std::min(expected.size(), run.Size());
  for (size_t index = run.Size() - count; index < run.Size(); ++index) actual.push_back(run[index]);
  bool same = actual.size() == expected.size();
  for (size_t index = 0; same && index < actual.size(); ++index)
    same = actual[index].call == expected[index].call && actual[index].object == expected[index].object;
  if (same) return {};
  return {"the run does not end with its common exit: expected" + Listed(expected) + "\n    but it ends with" +
          Listed(actual) + (std::getenv("HARLWICK_TRACE") ? "\n" + run.Text() : std::string())};
}

std::vector<std::string> MessageBoxProblems(const Events& run) {
  std::vector<std::string> problems;
  for (int64_t box = run.First({Call::ShowErrorMessage}); box >= 0;
       box = run.First({Call::ShowErrorMessage}, static_cast<size_t>(box) + 1)) {
    const Events before = run.Slice(0, box);
    const int64_t read = before.Last({Call::Iterate});
    const int64_t list = before.Last({Call::GetLoggerTypes});
    if (read < 0 || list < 0) {
      problems.push_back("a message box without a read before it");
      continue;
    }
    const uint64_t type = run[static_cast<size_t>(read)].object;
    const uint64_t storage = run[static_cast<size_t>(list)].made;
    if (run.Slice(read + 1, box).First(Released(type)) >= 0)
      problems.push_back("the failing logger type #" + std::to_string(type) + " was released before the message box");
    if (storage != 0 && run.Slice(list + 1, box).First(Freed(storage)) >= 0)
      problems.push_back("the list of logger types was freed before the message box");
  }
  return problems;
}

std::vector<std::string> BytesAroundOutputs(const Events& run, uint64_t logger) {
  std::vector<std::string> pieces(1);
  for (const standin::Event& event : run.All()) {
    if (event.call == Call::LoggerWrite && event.object == logger)
      pieces.emplace_back();
    else if (event.call == Call::WriteHostFileChar && !event.failed)
      pieces.back().push_back(static_cast<char>(event.args[0]));
  }
  return pieces;
}

}  // namespace trace_support
