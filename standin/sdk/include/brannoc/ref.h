// CountedRef: one counted reference to a host object, given back through
// the host's release when it goes.
#pragma once

#include <utility>

#include "brannoc/base.h"

namespace brannoc {

// A counted reference to a host object of one of the counted kinds.
template <typename Handle>
class CountedRef {
 public:
  CountedRef() noexcept = default;
  CountedRef(const CountedRef& other) noexcept : CountedRef(Share(other.handle_)) {}
  CountedRef(CountedRef&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  CountedRef& operator=(CountedRef other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~CountedRef() {
    if (handle_ != nullptr) Host().release(handle_);
  }

  // Takes over a new reference that the host handed out.
  static CountedRef Adopt(Handle* handle) noexcept {
    CountedRef ref;
    ref.handle_ = handle;
    return ref;
  }
  // Takes a reference of its own to a borrowed handle.
  static CountedRef Share(const Handle* handle) noexcept {
    if (handle != nullptr) Host().acquire(handle);
    return Adopt(const_cast<Handle*>(handle));
  }
  // Gives the reference up to the caller.
  Handle* Disown() noexcept { return std::exchange(handle_, nullptr); }
  const Handle* GetHandle() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

 private:
  Handle* handle_ = nullptr;
};

}  // namespace brannoc
