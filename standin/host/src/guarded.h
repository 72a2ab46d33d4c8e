// Memory followed by a page that cannot be read: bytes placed at the end of
// the block are the last readable ones, so a read past them faults at once.
// Internal to the host library.
#pragma once

#include <cstddef>

namespace standin {

class GuardedBlock {
 public:
  // Room for `bytes` that end right where the guard page begins.
  explicit GuardedBlock(size_t bytes);
  ~GuardedBlock();
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;

  // The first of the `bytes`; null when the system gave no memory.
  void* Data() const { return data_; }

 private:
  void* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  void* data_ = nullptr;
};

}  // namespace standin
