// The module's resource object: "res" in the folder of the module file.
#include <cstring>

#include "brannoc/module.h"

namespace brannoc {
namespace detail {
const char* ModulePath() noexcept;
}

namespace {

ModuleResource moduleResource;

// "<folder of the module file>/res" in host memory, or null.
char* ResourceFolderOf(const char* modulePath) noexcept {
  if (modulePath == nullptr) return nullptr;
  const char* lastSeparator = nullptr;
  for (const char* c = modulePath; *c != '\0'; ++c)
    if (*c == '/' || *c == '\\') lastSeparator = c;
  const size_t folderBytes = lastSeparator != nullptr ? static_cast<size_t>(lastSeparator - modulePath) + 1 : 0;
  const size_t bytes = folderBytes + 4;  // "res" and the zero byte
  auto* folder = static_cast<char*>(Host().alloc(static_cast<Int>(bytes), BRANNOC_SOURCE_LOCATION.Abi()));
  if (folder == nullptr) return nullptr;
  std::memcpy(folder, modulePath, folderBytes);
  std::memcpy(folder + folderBytes, "res", 4);
  return folder;
}

}  // namespace

ModuleResource& GetModuleResource() noexcept {
  return moduleResource;
}

Bool InitModuleResource(ModuleResource& resource) noexcept {
  if (resource.asked) return resource.handle != nullptr;
  if (resource.folderPath == nullptr) resource.folderPath = ResourceFolderOf(detail::ModulePath());
  if (resource.folderPath == nullptr) return false;
  resource.handle = Host().open_resource_folder(resource.folderPath);
  resource.asked = true;
  return resource.handle != nullptr;
}

void FreeModuleResource(ModuleResource& resource) noexcept {
  Host().close_resource_folder(resource.handle);
  Host().free(resource.folderPath);
  resource = ModuleResource{};
}

}  // namespace brannoc
