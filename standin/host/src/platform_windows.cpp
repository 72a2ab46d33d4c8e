#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform.h"
#include "standin/utf8.h"

namespace standin::platform {

namespace {

// Unpaired surrogates become U+FFFD.
std::string Utf8FromWide(const wchar_t* text, int length) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

// "error N: <the system's text>", on one line.
std::string SystemError(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = "error " + std::to_string(code);
  if (length > 0 && text != nullptr) {
    std::string reason = Utf8FromWide(text, static_cast<int>(length));
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
      reason.pop_back();
    for (char& c : reason)
      if (c == '\r' || c == '\n') c = ' ';
    if (!reason.empty()) message += ": " + reason;
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

// Why the file is not a complete 64-bit DLL, or empty. The system's loader
// gives only a terse code for a file cut short; this names what is missing.
std::string LibraryFileProblem(const std::filesystem::path& file) {
  errno = 0;
  std::FILE* in = _wfopen(file.c_str(), L"rb");
  if (in == nullptr) return std::string("cannot read the file: ") + std::strerror(errno != 0 ? errno : EIO);
  struct Closer {
    std::FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{in};
  if (_fseeki64(in, 0, SEEK_END) != 0) return std::string("cannot read the file: ") + std::strerror(errno);
  const uint64_t size = static_cast<uint64_t>(_ftelli64(in));
  // Reads `bytes` at `offset`; false when the file ends first or a read fails.
  auto read = [in](uint64_t offset, void* to, size_t bytes) {
    return _fseeki64(in, static_cast<__int64>(offset), SEEK_SET) == 0 && std::fread(to, 1, bytes, in) == bytes;
  };
  IMAGE_DOS_HEADER dos{};
  if (size < sizeof(dos) || !read(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE)
    return "not a shared library of this platform (no PE header)";
  IMAGE_NT_HEADERS64 nt{};
  const uint64_t ntAt = static_cast<uint32_t>(dos.e_lfanew);
  if (ntAt + sizeof(nt) > size || !read(ntAt, &nt, sizeof(nt))) return CutShort("PE headers", ntAt + sizeof(nt), size);
  if (nt.Signature != IMAGE_NT_SIGNATURE) return "not a shared library of this platform (no PE header)";
  if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64)
    return "a shared library of another platform (PE machine " + std::to_string(nt.FileHeader.Machine) + ", not " +
           std::to_string(IMAGE_FILE_MACHINE_AMD64) + ")";
  if (nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return "not a 64-bit PE file (optional header magic " + std::to_string(nt.OptionalHeader.Magic) + ", not " +
           std::to_string(IMAGE_NT_OPTIONAL_HDR64_MAGIC) + ")";
  if ((nt.FileHeader.Characteristics & IMAGE_FILE_DLL) == 0) return "a PE file but no DLL";
  const uint64_t sectionsAt = ntAt + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
  std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
  const uint64_t sectionsEnd = sectionsAt + sections.size() * sizeof(IMAGE_SECTION_HEADER);
  if (sectionsEnd > size || !read(sectionsAt, sections.data(), sections.size() * sizeof(IMAGE_SECTION_HEADER)))
    return CutShort("section headers", sectionsEnd, size);
  for (size_t index = 0; index < sections.size(); ++index) {
    const uint64_t end = uint64_t{sections[index].PointerToRawData} + sections[index].SizeOfRawData;
    if (end > size) return CutShort("section " + std::to_string(index), end, size);
  }
  // The symbol table and the string table after it (section names such as
  // those of the debug sections are kept there) end the file.
  if (nt.FileHeader.PointerToSymbolTable != 0) {
    const uint64_t symbolsEnd =
        uint64_t{nt.FileHeader.PointerToSymbolTable} + uint64_t{nt.FileHeader.NumberOfSymbols} * IMAGE_SIZEOF_SYMBOL;
    uint32_t stringsSize = 0;
    if (symbolsEnd + sizeof(stringsSize) > size || !read(symbolsEnd, &stringsSize, sizeof(stringsSize)))
      return CutShort("symbol table", symbolsEnd + sizeof(stringsSize), size);
    if (symbolsEnd + stringsSize > size) return CutShort("string table", symbolsEnd + stringsSize, size);
  }
  return std::string();
}

}  // namespace

void* OpenLibrary(const std::filesystem::path& file, std::string& error) {
  error = LibraryFileProblem(file);
  if (!error.empty()) return nullptr;
  // The path is UTF-16 already (paths come in as UTF-8 and are converted by
  // std::filesystem). LoadLibraryW wants backslashes, and an absolute path
  // keeps the DLL search order out of it.
  std::error_code ignored;
  std::filesystem::path full = std::filesystem::absolute(file, ignored);
  if (full.empty()) full = file;
  full.make_preferred();
  // No system dialog when the file is no DLL or lacks a dependency; the
  // reason is reported instead.
  DWORD previousMode = 0;
  const BOOL modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
  HMODULE library = LoadLibraryW(full.c_str());
  const DWORD code = library == nullptr ? GetLastError() : 0;
  if (modeSet) SetThreadErrorMode(previousMode, nullptr);
  if (library == nullptr) error = SystemError(code);
  return reinterpret_cast<void*>(library);
}

void* FindSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

std::FILE* OpenForWriting(const std::filesystem::path& file) {
  // Binary mode: a line feed stays a single line feed.
  return _wfopen(file.c_str(), L"wb");
}

}  // namespace standin::platform

namespace standin {

std::vector<std::string> ArgumentsAsUtf8(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr && count == argc) {
    for (int index = 0; index < count; ++index)
      arguments.push_back(platform::Utf8FromWide(wide[index], static_cast<int>(std::wcslen(wide[index]))));
  } else {
    arguments.assign(argv, argv + argc);
  }
  if (wide != nullptr) LocalFree(wide);
  return arguments;
}

}  // namespace standin
