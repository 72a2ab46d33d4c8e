// Plug-in objects: the command base class and the registration of commands.
#pragma once

#include <new>

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

// Registers a command with the host, which owns `object` from then on.
// Answers false at once, without reaching the host, for a null object.
Bool RegisterCommandPlugin(Int32 id, StringView name, Int32 info, const void* icon, StringView help,
                           CommandData* object) noexcept;

}  // namespace brannoc
