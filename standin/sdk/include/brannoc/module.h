// The module's life: the hooks the entry calls, and the module's resource.
#pragma once

#include "brannoc/base.h"

// Defined by the plug-in. The entry calls ModuleStart at action 2,
// ModuleMessage at action 6 and ModuleEnd at the action 3 that ends it.
brannoc::Bool ModuleStart();
brannoc::Bool ModuleMessage(brannoc::Int32 id, void* data);
void ModuleEnd();

namespace brannoc {

// The module's resource: its resource folder ("res" beside the module file)
// and the host's handle of it once the host has given one.
struct ModuleResource {
  char* folderPath = nullptr;
  brn_resource* handle = nullptr;
  Bool asked = false;
};

// The module-wide resource object.
ModuleResource& GetModuleResource() noexcept;

// Whether the host gave the resource folder a handle; the host is asked once.
Bool InitModuleResource(ModuleResource& resource) noexcept;
// Gives the handle back and frees the copy of the folder path.
void FreeModuleResource(ModuleResource& resource) noexcept;

}  // namespace brannoc
