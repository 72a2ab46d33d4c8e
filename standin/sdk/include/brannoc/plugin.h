// Plug-in objects: the command base class and the registration of commands.
#pragma once

#include <new>
#include <type_traits>

#include "brannoc/base.h"
#include "brannoc/string.h"

namespace brannoc {

class BaseDocument;
class GeDialog;

class BaseData {
 public:
  virtual ~BaseData() = default;
};

// The base class of commands. A command overrides RunCommand; the other
// operations answer the defaults below.
class CommandData : public BaseData {
 public:
  virtual Bool RunCommand(BaseDocument* doc, GeDialog* parentManager) = 0;
  virtual Bool ExecuteSubID(BaseDocument* doc, Int32 subid);
  virtual Bool ExecuteOptionID(BaseDocument* doc, Int32 plugid, Int32 subid);
  virtual Int32 GetState(BaseDocument* doc, GeDialog* parentManager);
  virtual Bool GetSubContainer(BaseDocument* doc, void* submenu);
  virtual Bool RestoreLayout(void* secret);
  virtual String GetScriptName();
  virtual Bool Message(Int32 type, void* data);
};

enum class PLUGINTYPE : Int32 { COMMAND = BRN_PLUGINTYPE_COMMAND };

// Answered by GetState's default: the command is enabled.
inline constexpr Int32 CMD_ENABLED = 0x40000000;

// Storage from the host's memory with a new T in it; null when there is none.
template <typename T>
T* NewObj(SourceLocation where) noexcept {
  void* storage = Host().alloc(static_cast<Int>(sizeof(T)), where.Abi());
  return storage != nullptr ? new (storage) T() : nullptr;
}

namespace detail {

// The host is handed the object as a pointer to the class it was made as:
// every callback casts it back to that class, and its storage starts there.
template <typename Command>
Command* AsMade(void* object) noexcept {
  return static_cast<Command*>(object);
}
template <typename Command>
CommandData* AsCommand(void* object) noexcept {
  return AsMade<Command>(object);
}

// Runs the object's destructor without freeing; the host frees the storage.
template <typename Command>
void RunDestructor(void* object) noexcept {
  AsMade<Command>(object)->~Command();
}

// Ends the object: its destructor, then its storage, through the host.
template <typename Command>
void EndCommand(Command* object) noexcept {
  Host().free_with_destructor(static_cast<void*>(object), &RunDestructor<Command>);
}

template <typename Command>
inline constexpr brn_command_dispatch kCommandDispatch = {
    [](void* object) {
      if (object != nullptr) EndCommand(AsMade<Command>(object));
    },
    [](void* object, void* doc, void* parent) -> int32_t {
      return AsCommand<Command>(object)->RunCommand(static_cast<BaseDocument*>(doc), static_cast<GeDialog*>(parent));
    },
    [](void* object, void* doc, int32_t subId) -> int32_t {
      return AsCommand<Command>(object)->ExecuteSubID(static_cast<BaseDocument*>(doc), subId);
    },
    [](void* object, void* doc, int32_t pluginId, int32_t subId) -> int32_t {
      return AsCommand<Command>(object)->ExecuteOptionID(static_cast<BaseDocument*>(doc), pluginId, subId);
    },
    [](void* object, void* doc, void* parent) -> int32_t {
      return AsCommand<Command>(object)->GetState(static_cast<BaseDocument*>(doc), static_cast<GeDialog*>(parent));
    },
    [](void* object, void* doc, void* submenu) -> int32_t {
      return AsCommand<Command>(object)->GetSubContainer(static_cast<BaseDocument*>(doc), submenu);
    },
    [](void* object, void* secret) -> int32_t { return AsCommand<Command>(object)->RestoreLayout(secret); },
    [](void* object) -> brn_string* { return AsCommand<Command>(object)->GetScriptName().Disown(); },
    [](void* object, int32_t type, void* data) -> int32_t { return AsCommand<Command>(object)->Message(type, data); },
};

Bool RegisterPlugin(Int32 id, StringView name, Int32 info, const void* icon, StringView help, void* object,
                    const brn_command_dispatch& dispatch) noexcept;

}  // namespace detail

// Registers a command with the host, which owns `object` from then on.
// Answers false at once, without reaching the host, for a null object, and
// for a null name (no host text for it), after ending the object itself:
// the host never had it.
template <typename Command>
Bool RegisterCommandPlugin(Int32 id, StringView name, Int32 info, const void* icon, StringView help,
                           Command* object) noexcept {
  static_assert(std::is_base_of_v<CommandData, Command>, "a command derives from CommandData");
  if (object == nullptr) return false;
  if (name.IsNull()) {
    detail::EndCommand(object);
    return false;
  }
  return detail::RegisterPlugin(id, name, info, icon, help, static_cast<void*>(object),
                                detail::kCommandDispatch<Command>);
}

}  // namespace brannoc
