// The stand-in host's ledger of the objects it hands to modules.
//
// Every host object starts with an ObjectHeader: its kind, the host call
// that made it, a serial number and two counts: all references, and the
// references the host holds itself. What a module holds is the difference,
// so after a module is unloaded every kind must show zero module-held
// references. A release the module does not hold, a use after the last
// release, or a handle that is no host object stops the program at once
// with a message that names the kind and where it was made.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace standin {

enum class Kind : uint8_t { String, Error, Logger, LoggerType, DataType, FileName, File, Resource, Allocation, Count };
inline constexpr size_t KIND_COUNT = static_cast<size_t>(Kind::Count);

const char* KindName(Kind kind);

// ObjectHeader::magic of a live object, and of one released (in quarantine).
inline constexpr uint32_t LIVE_MAGIC = 0x4556494C;  // "LIVE"
inline constexpr uint32_t DEAD_MAGIC = 0x44414544;  // "DEAD"

struct ObjectHeader {
  uint32_t magic = 0;
  Kind kind = Kind::String;
  std::atomic<int32_t> refs{1};
  std::atomic<int32_t> hostRefs{0};
  const char* madeBy = "";
  uint64_t serial = 0;
  ObjectHeader* prev = nullptr;
  ObjectHeader* next = nullptr;
};

// Per kind: objects alive, references modules hold, and calls that made one.
struct LedgerCounts {
  std::array<int64_t, KIND_COUNT> live{};
  std::array<int64_t, KIND_COUNT> moduleHeld{};
  std::array<int64_t, KIND_COUNT> made{};
  int64_t moduleBytes = 0;      // bytes of allocations modules hold
  int64_t peakModuleBytes = 0;  // the most they held at once since ResetPeak

  int64_t Live(Kind kind) const { return live[static_cast<size_t>(kind)]; }
  int64_t ModuleHeld(Kind kind) const { return moduleHeld[static_cast<size_t>(kind)]; }
  int64_t Made(Kind kind) const { return made[static_cast<size_t>(kind)]; }
};

[[noreturn]] void Fatal(const std::string& message);

class Ledger {
 public:
  // Dispose: called once the last reference is gone; gives the object's
  // contents back (and the host references it holds). Destroy: deletes it.
  using Disposer = void (*)(Ledger&, ObjectHeader*);
  using Deleter = void (*)(ObjectHeader*);

  explicit Ledger(size_t quarantine);
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;

  // A new object of `kind`, made by the host call `madeBy` (static text),
  // with one reference, held by the host when `hostKept`.
  void Register(ObjectHeader* object, Kind kind, const char* madeBy, bool hostKept);

  // The object behind a handle, checked to be a live object of `kind`.
  // Inline: every string and file call checks its handles.
  ObjectHeader* Check(const void* handle, Kind kind, const char* operation) const {
    auto* object = static_cast<ObjectHeader*>(const_cast<void*>(handle));
    if (handle == nullptr || object->magic != LIVE_MAGIC || object->kind != kind) [[unlikely]]
      CheckFailed(handle, kind, operation);
    return object;
  }
  // As Check, for any of the counted kinds (acquire and release).
  ObjectHeader* CheckCounted(const void* handle, const char* operation) const {
    auto* object = static_cast<ObjectHeader*>(const_cast<void*>(handle));
    if (handle == nullptr || object->magic != LIVE_MAGIC) [[unlikely]]
      CheckFailed(handle, Kind::Count, operation);
    return object;
  }

  void HostRetain(ObjectHeader* object);
  void HostRelease(ObjectHeader* object);
  void ModuleAcquire(ObjectHeader* object);
  void ModuleRelease(ObjectHeader* object, const char* operation);
  // The module's reference becomes the host's, or the other way round.
  void HandToHost(ObjectHeader* object);
  void HandToModule(ObjectHeader* object);

  // Allocations are tracked by address.
  void* Allocate(int64_t size, const std::string& where);
  void* Reallocate(void* memory, int64_t size, const std::string& where);
  void Free(void* memory, const char* operation);
  // The host owns the allocation from now on (a registered object).
  void TakeOverAllocation(void* memory);
  bool IsAllocation(const void* memory) const;
  // The serial of a live allocation; 0 for null or an unknown address.
  uint64_t AllocationSerial(const void* memory) const;
  // Starts the peak of module-held allocation bytes afresh from what they hold now.
  void ResetPeak();

  LedgerCounts Counts() const;
  // One line per object or allocation that a module still holds.
  std::vector<std::string> ModuleHeldReport() const;
  // One line per live object (the host's included).
  std::vector<std::string> LiveReport() const;

  void SetKind(Kind kind, Disposer dispose, Deleter destroy) {
    disposers_[static_cast<size_t>(kind)] = dispose;
    deleters_[static_cast<size_t>(kind)] = destroy;
  }

 private:
  void Kill(ObjectHeader* object);
  // Stops the program with what is wrong with a handle that failed a check
  // (Kind::Count: any kind would have done).
  [[noreturn, gnu::cold, gnu::noinline]] void CheckFailed(const void* handle, Kind kind, const char* operation) const;
  // Under the mutex: module-held allocation bytes change by `delta`.
  void AddModuleBytes(int64_t delta) {
    moduleBytes_ += delta;
    if (moduleBytes_ > peakModuleBytes_) peakModuleBytes_ = moduleBytes_;
  }
  std::string Describe(const ObjectHeader* object) const;

  struct Allocation {
    int64_t size;
    std::string where;
    uint64_t serial;
    bool hostOwned;
  };

  mutable std::mutex mutex_;
  ObjectHeader* liveHead_ = nullptr;
  std::array<int64_t, KIND_COUNT> live_{};
  std::array<int64_t, KIND_COUNT> made_{};
  std::array<Disposer, KIND_COUNT> disposers_{};
  std::array<Deleter, KIND_COUNT> deleters_{};
  std::atomic<uint64_t> serial_{0};
  std::deque<ObjectHeader*> quarantine_;
  size_t quarantineLimit_;
  std::unordered_map<const void*, Allocation> allocations_;
  int64_t moduleBytes_ = 0;
  int64_t peakModuleBytes_ = 0;
  std::unordered_map<const void*, std::string> freedAllocations_;
  std::deque<const void*> freedOrder_;
};

}  // namespace standin
