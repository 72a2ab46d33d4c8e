// Fault injection: every host operation that can fail asks Faults first.
//
// Each such call gets the next index of one sequence over the whole life
// of the host. A plan fails calls by index (one, every one from an index,
// or a run of them); a rule fails calls of one site by their count at that
// site. A recorded trace lists the site of every index, so that a sweep can
// first count the calls of a cycle and then fail each in turn.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace standin {

enum class Site : uint8_t {
  Alloc,
  Realloc,
  StringCreate,
  SetCString,
  ConcatString,
  FormatText,
  ErrorToString,
  CreateError,
  GetHostPath,
  FileNameFromCString,
  JoinFileName,
  AllocHostFile,
  OpenHostFile,
  WriteByte,
  CloseFile,
  RegisterPlugin,
  ResourceFolder,
  ResolveLogger,
  GetLoggerTypes,
  Iterate,
  LoggerWrite,
  Count
};
inline constexpr size_t SITE_COUNT = static_cast<size_t>(Site::Count);

const char* SiteName(Site site);

class Faults {
 public:
  // Fails the calls with indices [first, first + count); count < 0: all from first.
  void FailCalls(int64_t first, int64_t count = 1) {
    planFirst_ = first;
    planCount_ = count;
    armed_ = true;
  }
  // Fails the calls of `site` whose count at that site lies in
  // [first, first + count), counted from 0; count < 0: all from first.
  void FailSite(Site site, int64_t first = 0, int64_t count = -1) {
    rules_[static_cast<size_t>(site)] = {first, count};
    armed_ = true;
  }
  void Clear();

  void Record(bool on) {
    recording_ = on;
    armed_ = true;
  }
  const std::vector<Site>& Trace() const { return trace_; }

  int64_t Calls() const { return calls_; }
  int64_t SiteCalls(Site site) const { return siteCalls_[static_cast<size_t>(site)]; }
  int64_t Injected() const { return injected_; }

  // Asked by each fallible host operation: true when this call must fail.
  bool Fail(Site site) {
    const int64_t index = calls_++;
    const int64_t atSite = siteCalls_[static_cast<size_t>(site)]++;
    // With no plan, rule or trace ever set, a call is only counted: this
    // is asked for every byte written.
    if (!armed_) [[likely]]
      return false;
    return Planned(site, index, atSite);
  }

 private:
  struct Rule {
    int64_t first = -1;
    int64_t count = 0;
  };
  static bool Within(int64_t value, int64_t first, int64_t count) {
    return first >= 0 && value >= first && (count < 0 || value < first + count);
  }

  // The plan's and the site's rule's verdict on one call, traced when recording.
  [[gnu::noinline]] bool Planned(Site site, int64_t index, int64_t atSite) {
    if (recording_) trace_.push_back(site);
    const Rule& rule = rules_[static_cast<size_t>(site)];
    const bool fail = Within(index, planFirst_, planCount_) || Within(atSite, rule.first, rule.count);
    if (fail) ++injected_;
    return fail;
  }

  int64_t calls_ = 0;
  int64_t injected_ = 0;
  int64_t planFirst_ = -1;
  int64_t planCount_ = 0;
  std::array<int64_t, SITE_COUNT> siteCalls_{};
  std::array<Rule, SITE_COUNT> rules_{};
  bool recording_ = false;
  bool armed_ = false;  // a plan, rule or trace was set since the last Clear
  std::vector<Site> trace_;
};

}  // namespace standin
