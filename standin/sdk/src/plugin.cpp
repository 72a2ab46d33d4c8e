// Command registration and the command base class's defaults.
#include "brannoc/plugin.h"

namespace brannoc {

Bool CommandData::ExecuteSubID(BaseDocument*, Int32) {
  return false;
}
Bool CommandData::ExecuteOptionID(BaseDocument*, Int32, Int32) {
  return false;
}
Int32 CommandData::GetState(BaseDocument*, GeDialog*) {
  return CMD_ENABLED;
}
Bool CommandData::GetSubContainer(BaseDocument*, void*) {
  return false;
}
Bool CommandData::RestoreLayout(void*) {
  return true;
}
String CommandData::GetScriptName() {
  return String();
}
Bool CommandData::Message(Int32, void*) {
  return true;
}

namespace {

CommandData* AsCommand(void* object) {
  return static_cast<CommandData*>(object);
}

// Runs the object's destructor without freeing; the host frees the storage.
void RunDestructor(void* object) {
  static_cast<BaseData*>(object)->~BaseData();
}

const brn_command_dispatch commandDispatch = {
    [](void* object) {
      if (object != nullptr) Host().free_with_destructor(object, &RunDestructor);
    },
    [](void* object, void* doc, void* parent) -> int32_t {
      return AsCommand(object)->RunCommand(static_cast<BaseDocument*>(doc), static_cast<GeDialog*>(parent));
    },
    [](void* object, void* doc, int32_t subId) -> int32_t {
      return AsCommand(object)->ExecuteSubID(static_cast<BaseDocument*>(doc), subId);
    },
    [](void* object, void* doc, int32_t pluginId, int32_t subId) -> int32_t {
      return AsCommand(object)->ExecuteOptionID(static_cast<BaseDocument*>(doc), pluginId, subId);
    },
    [](void* object, void* doc, void* parent) -> int32_t {
      return AsCommand(object)->GetState(static_cast<BaseDocument*>(doc), static_cast<GeDialog*>(parent));
    },
    [](void* object, void* doc, void* submenu) -> int32_t {
      return AsCommand(object)->GetSubContainer(static_cast<BaseDocument*>(doc), submenu);
    },
    [](void* object, void* secret) -> int32_t { return AsCommand(object)->RestoreLayout(secret); },
    [](void* object) -> brn_string* { return AsCommand(object)->GetScriptName().Disown(); },
    [](void* object, int32_t type, void* data) -> int32_t { return AsCommand(object)->Message(type, data); },
};

}  // namespace

Bool RegisterCommandPlugin(Int32 id, StringView name, Int32 info, const void* icon, StringView help,
                           CommandData* object) noexcept {
  if (object == nullptr) return false;
  return Host().register_plugin(static_cast<Int32>(PLUGINTYPE::COMMAND), id, name.GetHandle(), info, icon,
                                help.GetHandle(), object, &commandDispatch) != 0;
}

}  // namespace brannoc
