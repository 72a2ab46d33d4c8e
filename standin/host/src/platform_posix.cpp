#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform.h"
#include "standin/utf8.h"

namespace standin::platform {

namespace {

#if defined(__x86_64__)
constexpr uint16_t MACHINE = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t MACHINE = EM_AARCH64;
#elif defined(__i386__)
constexpr uint16_t MACHINE = EM_386;
#elif defined(__arm__)
constexpr uint16_t MACHINE = EM_ARM;
#elif defined(__riscv)
constexpr uint16_t MACHINE = EM_RISCV;
#else
constexpr uint16_t MACHINE = EM_NONE;  // not checked
#endif
constexpr unsigned char CLASS = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char DATA = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// Whether [offset, offset + count * each) lies inside a file of `size` bytes; `end` is where it ends.
bool Inside(uint64_t offset, uint64_t count, uint64_t each, uint64_t size, uint64_t& end) {
  if (each != 0 && count > (UINT64_MAX - offset) / each) {
    end = UINT64_MAX;
    return false;
  }
  end = offset + count * each;
  return end <= size;
}

// Why the file is not a complete shared library of this platform, or empty.
// The loader maps every loadable segment, and reading a mapped page beyond
// the file's end stops the program (SIGBUS), so a file cut short is refused
// here.
std::string LibraryFileProblem(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return "cannot read the file";
  const uint64_t size = static_cast<uint64_t>(in.tellg());
  auto read = [&in](uint64_t offset, void* to, size_t bytes) { return ReadAt(in, offset, to, bytes); };
  ElfW(Ehdr) header{};
  if (size < SELFMAG || !read(0, header.e_ident, SELFMAG) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return "not a shared library of this platform (no ELF header)";
  if (size < sizeof(header) || !read(0, &header, sizeof(header))) return CutShort("ELF header", sizeof(header), size);
  if (header.e_ident[EI_CLASS] != CLASS || header.e_ident[EI_DATA] != DATA ||
      (MACHINE != EM_NONE && header.e_machine != MACHINE))
    return "a shared library of another platform (ELF machine " + std::to_string(header.e_machine) + ")";
  if (header.e_type != ET_DYN) return "an ELF file but no shared library (type " + std::to_string(header.e_type) + ")";

  uint64_t end = 0;
  if (header.e_phnum == 0 || header.e_phentsize != sizeof(ElfW(Phdr)))
    return "not a complete shared library: it has no program headers";
  if (!Inside(header.e_phoff, header.e_phnum, sizeof(ElfW(Phdr)), size, end))
    return CutShort("program headers", end, size);
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!read(header.e_phoff, segments.data(), segments.size() * sizeof(ElfW(Phdr))))
    return "cannot read the file's program headers";
  for (size_t index = 0; index < segments.size(); ++index) {
    const ElfW(Phdr)& segment = segments[index];
    if (segment.p_type == PT_LOAD && !Inside(segment.p_offset, 1, segment.p_filesz, size, end))
      return CutShort("loadable segment " + std::to_string(index), end, size);
  }
  if (header.e_shoff != 0 && !Inside(header.e_shoff, header.e_shnum, header.e_shentsize, size, end))
    return CutShort("section headers", end, size);
  return std::string();
}

}  // namespace

void* OpenLibrary(const std::filesystem::path& file, std::string& error) {
  error = LibraryFileProblem(file);
  if (!error.empty()) return nullptr;
  // A name without a folder would send dlopen to the library search path;
  // it means the current folder.
  const std::filesystem::path named = file.has_parent_path() ? file : std::filesystem::path(".") / file;
  // Local binding keeps the symbols of several modules apart.
  void* library = dlopen(named.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown reason";
  }
  return library;
}

void* FindSymbol(void* library, const char* name) {
  return dlsym(library, name);
}

void CloseLibrary(void* library) {
  dlclose(library);
}

std::FILE* OpenForWriting(const std::filesystem::path& file) {
  return std::fopen(file.c_str(), "wb");
}

}  // namespace standin::platform

namespace standin {

std::vector<std::string> ArgumentsAsUtf8(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace standin
