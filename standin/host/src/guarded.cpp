#include "guarded.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace standin {

namespace {

size_t PageSize() {
#ifdef _WIN32
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

GuardedBlock::GuardedBlock(size_t bytes) {
  const size_t page = PageSize();
  const size_t readable = (bytes + page - 1) / page * page;
  mappingSize_ = readable + page;
#ifdef _WIN32
  mapping_ = VirtualAlloc(nullptr, mappingSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (mapping_ == nullptr) return;
  DWORD previous = 0;
  if (!VirtualProtect(static_cast<char*>(mapping_) + readable, page, PAGE_NOACCESS, &previous)) return;
#else
  void* mapped = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return;
  mapping_ = mapped;
  if (mprotect(static_cast<char*>(mapping_) + readable, page, PROT_NONE) != 0) return;
#endif
  data_ = static_cast<char*>(mapping_) + readable - bytes;
}

GuardedBlock::~GuardedBlock() {
  if (mapping_ == nullptr) return;
#ifdef _WIN32
  VirtualFree(mapping_, 0, MEM_RELEASE);
#else
  munmap(mapping_, mappingSize_);
#endif
}

}  // namespace standin
