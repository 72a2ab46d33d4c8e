// Reading the host's call trace in tests: the events of one run, and the
// orders every run must keep whatever way it goes through (the common
// exit's releases, the message box before the releases of a failed read,
// each echo before its line's bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "standin/host.h"
#include "standin/trace.h"

namespace trace_support {

using standin::Call;
using standin::Events;
using standin::Kind;
using standin::Match;

// The events of each run of the command, between its Run and RunEnd events.
std::vector<Events> Runs(const standin::Host& host);
// The last run's; empty when there was none.
Events LastRun(const standin::Host& host);

// Matches for the questions tests ask most.
inline Match Released(uint64_t serial) {
  return {Call::Release, serial};
}
inline Match Freed(uint64_t allocation) {
  return {Call::Free, allocation};
}

// What the run's common exit must release, in order, worked out from what
// the run made: the marker, the Python logger's reference, the array's
// elements from the last to the first, then its storage. Each as the
// Release or Free event it must be.
std::vector<standin::Event> ExpectedCommonExit(const Events& run);
// Empty when the run ends with exactly those events; else what is wrong.
std::vector<std::string> CommonExitProblems(const Events& run);
// Empty when each message box of the run comes before the releases of the
// failed read it reports: the failing logger type's references and the list
// of logger types it came from.
std::vector<std::string> MessageBoxProblems(const Events& run);
// The file's bytes cut at each output to `logger`: what was written before
// the first output, between one output and the next, and after the last.
std::vector<std::string> BytesAroundOutputs(const Events& run, uint64_t logger);

}  // namespace trace_support
