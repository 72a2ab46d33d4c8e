#include "standin/ledger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

constexpr uint32_t LIVE = LIVE_MAGIC;
constexpr uint32_t DEAD = DEAD_MAGIC;
constexpr size_t FREED_ALLOCATIONS_KEPT = 4096;

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::String:
      return "String";
    case Kind::Error:
      return "Error";
    case Kind::Logger:
      return "Logger";
    case Kind::LoggerType:
      return "LoggerType";
    case Kind::DataType:
      return "DataType";
    case Kind::FileName:
      return "HostFileName";
    case Kind::File:
      return "HostFile";
    case Kind::Resource:
      return "Resource";
    case Kind::Allocation:
      return "Allocation";
    case Kind::Count:
      break;
  }
  return "?";
}

void Fatal(const std::string& message) {
  std::fprintf(stderr, "harlwick-host: fatal: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

Ledger::Ledger(size_t quarantine) : quarantineLimit_(quarantine) {}

Ledger::~Ledger() {
  for (ObjectHeader* object : quarantine_) deleters_[static_cast<size_t>(object->kind)](object);
  for (auto& [memory, allocation] : allocations_) std::free(const_cast<void*>(memory));
}

std::string Ledger::Describe(const ObjectHeader* object) const {
  return std::string(KindName(object->kind)) + " #" + std::to_string(object->serial) + " made by " + object->madeBy;
}

void Ledger::Register(ObjectHeader* object, Kind kind, const char* madeBy, bool hostKept) {
  object->magic = LIVE;
  object->kind = kind;
  object->refs.store(1, std::memory_order_relaxed);
  object->hostRefs.store(hostKept ? 1 : 0, std::memory_order_relaxed);
  object->madeBy = madeBy;
  object->serial = ++serial_;
  std::lock_guard lock(mutex_);
  object->prev = nullptr;
  object->next = liveHead_;
  if (liveHead_ != nullptr) liveHead_->prev = object;
  liveHead_ = object;
  ++live_[static_cast<size_t>(kind)];
  ++made_[static_cast<size_t>(kind)];
}

void Ledger::CheckFailed(const void* handle, Kind kind, const char* operation) const {
  if (handle == nullptr) Fatal(std::string(operation) + ": null handle");
  auto* object = static_cast<const ObjectHeader*>(handle);
  if (object->magic == DEAD) Fatal(std::string(operation) + ": use after release of " + Describe(object));
  if (object->magic != LIVE) {
    if (IsAllocation(handle)) Fatal(std::string(operation) + ": given memory from alloc, not a host object");
    Fatal(std::string(operation) + ": given something the host never made");
  }
  Fatal(std::string(operation) + ": expected a " + KindName(kind) + ", got " + Describe(object));
}

void Ledger::HostRetain(ObjectHeader* object) {
  object->hostRefs.fetch_add(1, std::memory_order_relaxed);
  object->refs.fetch_add(1, std::memory_order_relaxed);
}

void Ledger::HostRelease(ObjectHeader* object) {
  if (object->hostRefs.fetch_sub(1, std::memory_order_relaxed) <= 0)
    Fatal("host released a reference it does not hold: " + Describe(object));
  if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Kill(object);
}

void Ledger::ModuleAcquire(ObjectHeader* object) {
  object->refs.fetch_add(1, std::memory_order_relaxed);
}

void Ledger::ModuleRelease(ObjectHeader* object, const char* operation) {
  if (object->refs.load(std::memory_order_relaxed) - object->hostRefs.load(std::memory_order_relaxed) <= 0)
    Fatal(std::string(operation) + ": second release of " + Describe(object) +
          " (the module holds no reference to it)");
  if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Kill(object);
}

void Ledger::HandToHost(ObjectHeader* object) {
  object->hostRefs.fetch_add(1, std::memory_order_relaxed);
}

void Ledger::HandToModule(ObjectHeader* object) {
  object->hostRefs.fetch_sub(1, std::memory_order_relaxed);
}

void Ledger::Kill(ObjectHeader* object) {
  {
    std::lock_guard lock(mutex_);
    if (object->prev != nullptr) object->prev->next = object->next;
    if (object->next != nullptr) object->next->prev = object->prev;
    if (liveHead_ == object) liveHead_ = object->next;
    --live_[static_cast<size_t>(object->kind)];
  }
  // The object's contents go now (it may hold references of the host's);
  // its header stays readable in quarantine so that a late use is named.
  object->magic = DEAD;
  disposers_[static_cast<size_t>(object->kind)](*this, object);
  ObjectHeader* evicted = nullptr;
  {
    std::lock_guard lock(mutex_);
    try {
      quarantine_.push_back(object);
    } catch (...) {
      // No room to keep it readable: it goes at once.
      evicted = object;
    }
    if (evicted == nullptr && quarantine_.size() > quarantineLimit_) {
      evicted = quarantine_.front();
      quarantine_.pop_front();
    }
  }
  if (evicted != nullptr) deleters_[static_cast<size_t>(evicted->kind)](evicted);
}

// The ledger's own bookkeeping may run out of memory too (it answers that
// by throwing, which the table's entries turn into their failure); each
// operation below either happens whole, its record included, or not at all.

void* Ledger::Allocate(int64_t size, const std::string& where) {
  if (size < 0) return nullptr;
  Allocation allocation{size, where, 0, false};
  std::lock_guard lock(mutex_);
  allocations_.reserve(allocations_.size() + 1);
  void* memory = std::malloc(size > 0 ? static_cast<size_t>(size) : 1);
  if (memory == nullptr) return nullptr;
  allocation.serial = ++serial_;
  try {
    allocations_.emplace(memory, std::move(allocation));
  } catch (...) {
    std::free(memory);
    throw;
  }
  AddModuleBytes(size);
  freedAllocations_.erase(memory);
  ++live_[static_cast<size_t>(Kind::Allocation)];
  ++made_[static_cast<size_t>(Kind::Allocation)];
  return memory;
}

void* Ledger::Reallocate(void* memory, int64_t size, const std::string& where) {
  if (memory == nullptr) return Allocate(size, where);
  if (size < 0) return nullptr;
  std::string place = where;
  std::lock_guard lock(mutex_);
  auto found = allocations_.find(memory);
  if (found == allocations_.end()) Fatal("realloc: given memory the host did not allocate (or freed)");
  void* grown = std::realloc(memory, size > 0 ? static_cast<size_t>(size) : 1);
  if (grown == nullptr) return nullptr;
  // The record moves to the new address without allocating.
  auto node = allocations_.extract(found);
  if (!node.mapped().hostOwned) AddModuleBytes(size - node.mapped().size);
  node.mapped().size = size;
  node.mapped().where = std::move(place);
  node.key() = grown;
  allocations_.insert(std::move(node));
  freedAllocations_.erase(grown);
  return grown;
}

void Ledger::Free(void* memory, const char* operation) {
  if (memory == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    auto found = allocations_.find(memory);
    if (found == allocations_.end()) {
      auto freed = freedAllocations_.find(memory);
      if (freed != freedAllocations_.end())
        Fatal(std::string(operation) + ": second free of the Allocation made at " + freed->second);
      Fatal(std::string(operation) + ": free of memory the host never allocated");
    }
    if (!found->second.hostOwned) moduleBytes_ -= found->second.size;
    std::string where = std::move(found->second.where);
    allocations_.erase(found);
    --live_[static_cast<size_t>(Kind::Allocation)];
    // Kept so that a second free names the first; without memory for that
    // the free still happens.
    try {
      freedAllocations_[memory] = std::move(where);
      freedOrder_.push_back(memory);
    } catch (...) {
      freedAllocations_.erase(memory);
    }
    if (freedOrder_.size() > FREED_ALLOCATIONS_KEPT) {
      freedAllocations_.erase(freedOrder_.front());
      freedOrder_.pop_front();
    }
  }
  std::free(memory);
}

void Ledger::TakeOverAllocation(void* memory) {
  std::lock_guard lock(mutex_);
  auto found = allocations_.find(memory);
  if (found == allocations_.end()) Fatal("register_plugin: object is not memory from alloc");
  if (!found->second.hostOwned) moduleBytes_ -= found->second.size;
  found->second.hostOwned = true;
}

bool Ledger::IsAllocation(const void* memory) const {
  std::lock_guard lock(mutex_);
  return allocations_.count(memory) != 0;
}

uint64_t Ledger::AllocationSerial(const void* memory) const {
  if (memory == nullptr) return 0;
  std::lock_guard lock(mutex_);
  auto found = allocations_.find(memory);
  return found != allocations_.end() ? found->second.serial : 0;
}

void Ledger::ResetPeak() {
  std::lock_guard lock(mutex_);
  peakModuleBytes_ = moduleBytes_;
}

LedgerCounts Ledger::Counts() const {
  LedgerCounts counts;
  std::lock_guard lock(mutex_);
  counts.peakModuleBytes = peakModuleBytes_;
  counts.live = live_;
  counts.made = made_;
  for (const ObjectHeader* object = liveHead_; object != nullptr; object = object->next)
    counts.moduleHeld[static_cast<size_t>(object->kind)] += object->refs - object->hostRefs;
  for (const auto& [memory, allocation] : allocations_) {
    if (allocation.hostOwned) continue;
    ++counts.moduleHeld[static_cast<size_t>(Kind::Allocation)];
    counts.moduleBytes += allocation.size;
  }
  return counts;
}

std::vector<std::string> Ledger::ModuleHeldReport() const {
  std::vector<std::string> report;
  std::lock_guard lock(mutex_);
  for (const ObjectHeader* object = liveHead_; object != nullptr; object = object->next) {
    const int32_t held = object->refs - object->hostRefs;
    if (held != 0) report.push_back(Describe(object) + ": " + std::to_string(held) + " held by the module");
  }
  for (const auto& [memory, allocation] : allocations_)
    if (!allocation.hostOwned)
      report.push_back("Allocation #" + std::to_string(allocation.serial) + " of " + std::to_string(allocation.size) +
                       " bytes made at " + allocation.where);
  return report;
}

std::vector<std::string> Ledger::LiveReport() const {
  std::vector<std::string> report;
  std::lock_guard lock(mutex_);
  for (const ObjectHeader* object = liveHead_; object != nullptr; object = object->next)
    report.push_back(Describe(object) + ": " + std::to_string(object->refs) + " references, " +
                     std::to_string(object->hostRefs) + " the host's");
  for (const auto& [memory, allocation] : allocations_)
    report.push_back("Allocation #" + std::to_string(allocation.serial) + " made at " + allocation.where +
                     (allocation.hostOwned ? " (the host's)" : ""));
  return report;
}

}  // namespace standin
