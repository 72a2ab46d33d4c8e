// Loading a module file into the stand-in host and driving its entry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "brannoc_abi/module.h"
#include "standin/host.h"

namespace standin {

// What a module declared to the host's module system.
struct ModuleDeclaration {
  uint32_t apiFloor = 0;
  std::string moduleId;
  std::vector<std::string> frameworks;
  std::string global;  // the exported global it was read from
};

// An opened module file: its entry and its declaration.
class ModuleFile {
 public:
  // Opens the file and reads its declaration; null with a one-line reason
  // when the file is no module, has no entry or declaration, or needs a
  // framework that `frameworks` lacks.
  static std::unique_ptr<ModuleFile> Open(const std::filesystem::path& file, const std::vector<std::string>& frameworks,
                                          std::string& error);
  ~ModuleFile();
  ModuleFile(const ModuleFile&) = delete;
  ModuleFile& operator=(const ModuleFile&) = delete;

  int32_t Entry(int32_t action, void* value, void* data, void* path) const;
  const ModuleDeclaration& Declaration() const { return declaration_; }
  const std::filesystem::path& Path() const { return path_; }
  // An exported symbol, or null.
  void* Symbol(const char* name) const;

 private:
  ModuleFile() = default;
  void* library_ = nullptr;
  brn_plugin_main entry_ = nullptr;
  ModuleDeclaration declaration_;
  std::filesystem::path path_;
};

// One module's life in a host, in the host's order.
class ModuleLife {
 public:
  ModuleLife(Host& host, const ModuleFile& module);
  // Action 1 with the host's table and the module file's path.
  int32_t Init();
  // Action 2.
  int32_t Start();
  // Action 6 with a message id (the value) and its data.
  int32_t Message(int64_t value, void* data = nullptr);
  // The end: the host sends action 3 and ends the module's registered
  // objects (before action 3 or after it, as its end order says), then
  // drops what it kept for the module.
  int32_t End();

 private:
  // One call of the entry, recorded in the host's trace.
  int32_t Enter(int32_t action, void* value, void* data, void* path);
  Host& host_;
  const ModuleFile& module_;
  std::string path_;
};

}  // namespace standin
