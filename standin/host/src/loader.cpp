#include "standin/loader.h"

#include <algorithm>

#include "platform.h"
#include "standin/utf8.h"

namespace standin {

namespace {

// Why `file` is no regular file (the system's reason, or what it is), or empty.
std::string NotAFile(const std::filesystem::path& file) {
  std::error_code reason;
  const std::filesystem::file_status status = std::filesystem::status(file, reason);
  if (reason) return reason.message();
  switch (status.type()) {
    case std::filesystem::file_type::regular:
      return std::string();
    case std::filesystem::file_type::directory:
      return std::make_error_code(std::errc::is_a_directory).message();
    case std::filesystem::file_type::fifo:
      return "a FIFO (named pipe), not a regular file";
    case std::filesystem::file_type::socket:
      return "a socket, not a regular file";
    case std::filesystem::file_type::block:
      return "a block device, not a regular file";
    case std::filesystem::file_type::character:
      return "a character device, not a regular file";
    default:
      return "not a regular file";
  }
}

}  // namespace

std::unique_ptr<ModuleFile> ModuleFile::Open(const std::filesystem::path& file,
                                             const std::vector<std::string>& frameworks, std::string& error) {
  const std::string name = Utf8FromPath(file);
  // Only a regular file is opened: a FIFO would block the host.
  const std::string kind = NotAFile(file);
  if (!kind.empty()) {
    error = "no module file [" + name + "]: " + kind;
    return nullptr;
  }
  std::unique_ptr<ModuleFile> module(new ModuleFile());
  module->path_ = file;
  std::string reason;
  module->library_ = platform::OpenLibrary(file, reason);
  if (module->library_ == nullptr) {
    error = "cannot load module [" + name + "]: " + reason;
    return nullptr;
  }
  module->entry_ = reinterpret_cast<brn_plugin_main>(module->Symbol("plugin_main"));
  if (module->entry_ == nullptr) {
    error = "no entry point [plugin_main] in shared library [" + name + "]";
    return nullptr;
  }

  // The declaration, read before the entry is called.
  const char* global = "g_brannoc";
  const auto* globals = static_cast<const brn_framework_globals*>(module->Symbol(global));
  if (globals == nullptr) {
    global = "g_privateBinary";
    globals = static_cast<const brn_framework_globals*>(module->Symbol(global));
  }
  if (globals == nullptr || globals->layout != BRN_DECLARATION_LAYOUT || globals->declaration == nullptr ||
      globals->declaration->layout != BRN_DECLARATION_LAYOUT || globals->declaration->module_id == nullptr) {
    error = "no module declaration in shared library [" + name + "]";
    return nullptr;
  }
  const brn_module_declaration& declared = *globals->declaration;
  module->declaration_.apiFloor = declared.api_floor;
  module->declaration_.moduleId = declared.module_id;
  module->declaration_.global = global;
  for (int32_t index = 0; index < declared.framework_count; ++index)
    module->declaration_.frameworks.emplace_back(declared.frameworks[index]);

  for (const std::string& framework : module->declaration_.frameworks) {
    if (std::find(frameworks.begin(), frameworks.end(), framework) == frameworks.end()) {
      error = "module [" + module->declaration_.moduleId + "] needs the framework [" + framework +
              "], which this host does not have";
      return nullptr;
    }
  }
  return module;
}

ModuleFile::~ModuleFile() {
  if (library_ != nullptr) platform::CloseLibrary(library_);
}

int32_t ModuleFile::Entry(int32_t action, void* value, void* data, void* path) const {
  return entry_(action, value, data, path);
}

void* ModuleFile::Symbol(const char* name) const {
  return platform::FindSymbol(library_, name);
}

ModuleLife::ModuleLife(Host& host, const ModuleFile& module)
    : host_(host), module_(module), path_(Utf8FromPath(std::filesystem::absolute(module.Path()))) {}

int32_t ModuleLife::Enter(int32_t action, void* value, void* data, void* path) {
  Trace& trace = host_.GetTrace();
  Event event{Call::Entry};
  event.args[0] = action;
  event.args[1] = static_cast<int64_t>(reinterpret_cast<intptr_t>(value));
  const int64_t at = trace.Add(event);
  const int32_t answer = module_.Entry(action, value, data, path);
  trace.SetArg(at, 2, answer);
  return answer;
}

int32_t ModuleLife::Init() {
  return Enter(BRN_ACTION_INIT, const_cast<brn_host_api*>(host_.Table()), nullptr, path_.data());
}

int32_t ModuleLife::Start() {
  return Enter(BRN_ACTION_START, nullptr, nullptr, nullptr);
}

int32_t ModuleLife::Message(int64_t value, void* data) {
  return Enter(BRN_ACTION_MESSAGE, reinterpret_cast<void*>(static_cast<intptr_t>(value)), data, nullptr);
}

int32_t ModuleLife::End() {
  const bool objectsFirst = host_.Options().endOrder == EndOrder::ObjectsFirst;
  if (objectsFirst) host_.DestroyPlugins();
  const int32_t answer = Enter(BRN_ACTION_END, nullptr, nullptr, nullptr);
  if (!objectsFirst) host_.DestroyPlugins();
  host_.EndModule();
  return answer;
}

}  // namespace standin
