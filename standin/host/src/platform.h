// What differs between operating systems: loading a module file, and
// opening a file by a path that may hold any Unicode. One implementation
// per platform.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace standin::platform {

// The library's handle, or null with the system's reason in `error`.
void* OpenLibrary(const std::filesystem::path& file, std::string& error);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Opens a file for writing in binary mode, truncating it; null on failure.
std::FILE* OpenForWriting(const std::filesystem::path& file);

}  // namespace standin::platform
