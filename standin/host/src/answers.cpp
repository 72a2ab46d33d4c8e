// The odd answers: entries that stand in the table in place of the usual
// ones while their switch is on. Each answers as a host may that makes the
// other choice the boundary allows, and leaves the rest to the usual entry
// it calls.
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "state.h"

namespace standin {

namespace {

HostState& S() {
  if (currentState == nullptr) Fatal("a module called the host after the host ended");
  return *currentState;
}

// A call answered here without the usual entry, in the trace as failed.
void NoteRefused(HostState& s, Call call) {
  Event event;
  event.call = call;
  event.failed = true;
  s.trace.Add(event);
}

// ---- No error slot for the line callback ----

struct WithoutSlot {
  brn_line_callback callback;
  void* context;
  bool failed = false;
};

int32_t CallWithoutSlot(void* context, const brn_log_line_record* record, brn_error** /*error*/) {
  auto& hop = *static_cast<WithoutSlot*>(context);
  const int32_t answer = hop.callback(hop.context, record, nullptr);
  if (answer == 0) hop.failed = true;
  return answer;
}

int32_t IterateWithoutSlot(const brn_logger_type* type, brn_line_callback callback, void* context,
                           brn_error** error) noexcept {
  HostState& s = S();
  WithoutSlot hop{callback, context};
  const int32_t answer = s.usual.iterate(type, callback != nullptr ? &CallWithoutSlot : nullptr, &hop, error);
  if (answer != 0 || !hop.failed || error == nullptr || *error != nullptr) return answer;
  // The callback could leave its error nowhere but as the thread's current one.
  std::lock_guard lock(s.errorMutex);
  const auto current = s.currentErrors.find(std::this_thread::get_id());
  if (current != s.currentErrors.end() && current->second != nullptr) {
    s.ledger.ModuleAcquire(FromHandle<ErrorObject>(current->second));
    *error = current->second;
  }
  return answer;
}

// ---- Storage for an empty list of logger types ----

void GetLoggerTypesWithStorage(const brn_logger* logger, brn_array* types) noexcept {
  HostState& s = S();
  s.usual.get_logger_types(logger, types);
  if (types == nullptr || types->data != nullptr || logger == nullptr) return;
  // Only a logger that has no types: a failed call still gives nothing.
  if (!FromHandle<LoggerObject>(logger)->types.empty()) return;
  try {
    types->data = s.ledger.Allocate(0, "get_logger_types");
  } catch (...) {
    types->data = nullptr;
  }
  types->count = 0;
  types->capacity = 0;
  const auto& events = s.trace.Events();
  if (s.trace.On() && !events.empty() && events.back().call == Call::GetLoggerTypes)
    s.trace.At(static_cast<int64_t>(events.size()) - 1)->made = s.ledger.AllocationSerial(types->data);
}

// ---- A resize that takes only storage from alloc ----

void* ResizeOnlyFromAlloc(void* memory, int64_t size, brn_source_location where) noexcept {
  HostState& s = S();
  if (memory == nullptr) {
    NoteRefused(s, Call::Realloc);
    return nullptr;
  }
  return s.usual.realloc(memory, size, where);
}

// ---- A constant text the host cannot make ----

const brn_string* ConstStringNotMade(const char* utf8, int64_t bytes, int64_t reserved) noexcept {
  HostState& s = S();
  const std::string& refused = s.options.answers.constTextNotMade;
  if (utf8 != nullptr) {
    const size_t length = bytes < 0 ? std::strlen(utf8) : static_cast<size_t>(bytes);
    if (std::string_view(utf8, length) == refused) {
      NoteRefused(s, Call::GetConstString);
      return nullptr;
    }
  }
  return s.usual.get_and_cache_const_string(utf8, bytes, reserved);
}

}  // namespace

void SetAnswerEntries(HostState& s) {
  const OddAnswers& answers = s.options.answers;
  s.table.iterate = answers.noErrorSlot ? &IterateWithoutSlot : s.usual.iterate;
  s.table.get_logger_types = answers.emptyListWithStorage ? &GetLoggerTypesWithStorage : s.usual.get_logger_types;
  s.table.realloc = answers.resizeRefusesNull ? &ResizeOnlyFromAlloc : s.usual.realloc;
  s.table.get_and_cache_const_string =
      !answers.constTextNotMade.empty() ? &ConstStringNotMade : s.usual.get_and_cache_const_string;
  s.RefreshOffered();
}

}  // namespace standin
