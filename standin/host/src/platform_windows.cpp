#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

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

}  // namespace

void* OpenLibrary(const std::filesystem::path& file, std::string& error) {
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
