// What differs between operating systems: loading a module file, and
// opening a file by a path that may hold any Unicode. One implementation
// per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace standin::platform {

// The library's handle, or null with a one-line reason in `error`: the
// file is checked to be a complete shared library of this platform first.
// A name without a folder means the current folder.
void* OpenLibrary(const std::filesystem::path& file, std::string& error);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Opens a file for writing in binary mode, truncating it; null on failure.
std::FILE* OpenForWriting(const std::filesystem::path& file);

// For the checks of a library file: reads `bytes` at `offset`; false when
// the file ends first.
inline bool ReadAt(std::ifstream& in, uint64_t offset, void* to, size_t bytes) {
  in.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(in.read(static_cast<char*>(to), static_cast<std::streamsize>(bytes)));
}

// Why a library file cut short at `size` bytes, before the end of `part`, is refused.
inline std::string CutShort(const std::string& part, uint64_t end, uint64_t size) {
  return "not a complete shared library: the file ends at byte " + std::to_string(size) + ", before the end of its " +
         part + " (byte " + std::to_string(end) + ")";
}

}  // namespace standin::platform
