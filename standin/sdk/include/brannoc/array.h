// BaseArray: a growable array whose storage comes from the host's memory.
// Elements must be relocatable by moving their bytes (handles are).
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "brannoc/base.h"
#include "brannoc/error.h"

namespace brannoc {

template <typename T>
class BaseArray {
 public:
  BaseArray() noexcept = default;
  BaseArray(const BaseArray&) = delete;
  BaseArray& operator=(const BaseArray&) = delete;
  ~BaseArray() { Reset(); }

  Int GetCount() const noexcept { return count_; }
  Int GetCapacity() const noexcept { return capacity_; }
  const T* GetData() const noexcept { return data_; }
  const T& operator[](Int index) const noexcept { return data_[index]; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + count_; }

  // Appends the value; null when the storage cannot grow, the array unchanged.
  T* Append(T&& value) noexcept {
    if (count_ == capacity_ && !Grow()) return nullptr;
    T* element = new (data_ + count_) T(std::move(value));
    ++count_;
    return element;
  }

  // Releases the elements, the last first, and gives the storage back.
  void Reset() noexcept {
    if (data_ == nullptr) return;
    for (Int index = count_; index-- > 0;) data_[index].~T();
    Host().free(data_);
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

 private:
  // Growth rule: half as much again, at least 8 elements. The first storage
  // comes from alloc; the host's resize takes only storage from alloc. Out
  // of line: the append of every element stays small.
  [[gnu::noinline]] bool Grow() noexcept {
    Int wanted = capacity_ + capacity_ / 2;
    if (wanted < 8) wanted = 8;
    const Int bytes = wanted * static_cast<Int>(sizeof(T));
    void* grown = data_ == nullptr ? Host().alloc(bytes, BRANNOC_SOURCE_LOCATION.Abi())
                                   : Host().realloc(data_, bytes, BRANNOC_SOURCE_LOCATION.Abi());
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = wanted;
    return true;
  }

  T* data_ = nullptr;
  Int count_ = 0;
  Int capacity_ = 0;
};

// The result handling of an append: the element, or the out-of-memory error
// with a source location in this header.
template <typename T>
Result<void> AppendResult(BaseArray<T>& array, T value) noexcept {
  if (array.Append(std::move(value)) == nullptr)
    return Result<void>::Failure(OutOfMemoryError(BRANNOC_SOURCE_LOCATION));
  return {};
}

}  // namespace brannoc
