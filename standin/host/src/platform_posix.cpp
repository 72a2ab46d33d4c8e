#include <dlfcn.h>

#include "platform.h"
#include "standin/utf8.h"

namespace standin::platform {

void* OpenLibrary(const std::filesystem::path& file, std::string& error) {
  // Local binding keeps the symbols of several modules apart.
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
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
