// The module hooks.
#include "Quistmoor.h"
#include "brannoc/module.h"

brannoc::Bool ModuleStart() {
  // A failed registration is reported by RegisterQuistmoor; the module stays
  // loaded without its command.
  microsdk::RegisterQuistmoor();
  return true;
}

brannoc::Bool ModuleMessage(brannoc::Int32 id, void* /*data*/) {
  if (id == 1) return brannoc::InitModuleResource(brannoc::GetModuleResource());
  return true;
}

void ModuleEnd() {}
