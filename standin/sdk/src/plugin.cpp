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

namespace detail {

Bool RegisterPlugin(Int32 id, StringView name, Int32 info, const void* icon, StringView help, void* object,
                    const brn_command_dispatch& dispatch) noexcept {
  return Host().register_plugin(static_cast<Int32>(PLUGINTYPE::COMMAND), id, name.GetHandle(), info, icon,
                                help.GetHandle(), object, &dispatch) != 0;
}

}  // namespace detail

}  // namespace brannoc
