// What differs between operating systems: loading a module file, and
// opening a file by a path that may hold any Unicode. One implementation
// per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
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

// Why a library file cut short at `size` bytes, before the end of `part`, is refused.
inline std::string CutShort(const std::string& part, uint64_t end, uint64_t size) {
  return "not a complete shared library: the file ends at byte " + std::to_string(size) + ", before the end of its " +
         part + " (byte " + std::to_string(end) + ")";
}

}  // namespace standin::platform
