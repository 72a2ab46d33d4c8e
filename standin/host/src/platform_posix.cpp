#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

const char* ClassName(unsigned char elfClass) {
  return elfClass == ELFCLASS32 ? "32-bit" : elfClass == ELFCLASS64 ? "64-bit" : nullptr;
}
const char* ByteOrderName(unsigned char data) {
  return data == ELFDATA2LSB ? "little-endian" : data == ELFDATA2MSB ? "big-endian" : nullptr;
}

// The file, open for reading; closed at the end of the scope.
struct OpenFile {
  int fd;
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
};

// Why the file is not a complete shared library of this platform, or empty.
// The loader maps every loadable segment, and reading a mapped page beyond
// the file's end stops the program (SIGBUS), so a file cut short is refused
// here.
std::string LibraryFileProblem(const std::filesystem::path& file) {
  // Without waiting: a FIFO is refused, not read.
  const OpenFile in{open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (in.fd < 0) return std::string("cannot read the file: ") + std::strerror(errno);
  struct stat about {};
  if (fstat(in.fd, &about) != 0) return std::string("cannot read the file: ") + std::strerror(errno);
  if (!S_ISREG(about.st_mode)) return "not a regular file";
  const uint64_t size = static_cast<uint64_t>(about.st_size);
  // Reads `bytes` at `offset`, which the checks have found inside the file.
  int readError = 0;
  auto read = [&](uint64_t offset, void* to, size_t bytes) {
    auto* into = static_cast<char*>(to);
    while (bytes > 0) {
      const ssize_t got = pread(in.fd, into, bytes, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        readError = got < 0 ? errno : EIO;
        return false;
      }
      into += got;
      offset += static_cast<uint64_t>(got);
      bytes -= static_cast<size_t>(got);
    }
    return true;
  };
  auto unread = [&] { return std::string("cannot read the file: ") + std::strerror(readError); };

  ElfW(Ehdr) header{};
  if (size < SELFMAG) return "not a shared library of this platform (no ELF header)";
  if (!read(0, header.e_ident, SELFMAG)) return unread();
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return "not a shared library of this platform (no ELF header)";
  if (size < EI_NIDENT) return CutShort("ELF header", sizeof(header), size);
  if (!read(0, header.e_ident, EI_NIDENT)) return unread();
  // The class and the byte order say how the rest of the header reads.
  const unsigned char elfClass = header.e_ident[EI_CLASS];
  const unsigned char data = header.e_ident[EI_DATA];
  if (elfClass != CLASS) {
    const char* name = ClassName(elfClass);
    return std::string("an ELF file of ") +
           (name != nullptr ? "another class (" + std::string(name) + ")"
                            : "no known class (" + std::to_string(elfClass) + ")") +
           ", not this platform's " + ClassName(CLASS);
  }
  if (data != DATA) {
    const char* name = ByteOrderName(data);
    return std::string("an ELF file of ") +
           (name != nullptr ? "the other byte order (" + std::string(name) + ")"
                            : "no known byte order (" + std::to_string(data) + ")") +
           ", not this platform's " + ByteOrderName(DATA);
  }
  if (size < sizeof(header)) return CutShort("ELF header", sizeof(header), size);
  if (!read(0, &header, sizeof(header))) return unread();
  if (MACHINE != EM_NONE && header.e_machine != MACHINE)
    return "a shared library of another platform (ELF machine " + std::to_string(header.e_machine) + ", not " +
           std::to_string(MACHINE) + ")";
  if (header.e_type != ET_DYN) return "an ELF file but no shared library (type " + std::to_string(header.e_type) + ")";

  uint64_t end = 0;
  if (header.e_phnum == 0) return "not a complete shared library: it has no program headers";
  if (header.e_phentsize != sizeof(ElfW(Phdr)))
    return "not a shared library of this platform: its program headers are " + std::to_string(header.e_phentsize) +
           " bytes each, not " + std::to_string(sizeof(ElfW(Phdr)));
  if (!Inside(header.e_phoff, header.e_phnum, sizeof(ElfW(Phdr)), size, end))
    return CutShort("program headers", end, size);
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!read(header.e_phoff, segments.data(), segments.size() * sizeof(ElfW(Phdr)))) return unread();
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
