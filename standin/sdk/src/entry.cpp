// The module entry `plugin_main`, the module's declaration to the host's
// module system and the frameworks' exported globals of this generation.
#include <cstring>

#include "brannoc/export.h"
#include "brannoc/logger.h"
#include "brannoc/module.h"

#ifndef BRANNOC_API_FLOOR
#error "BRANNOC_API_FLOOR names the lowest host API version of the build"
#endif
#ifndef BRANNOC_MODULE_ID
#error "BRANNOC_MODULE_ID names the module to the host's module system"
#endif

// The frameworks each generation declares and the globals it exports.
#if BRANNOC_API_FLOOR == 20017
#define BRANNOC_HAS_G_BRANNOC 0
#define BRANNOC_HAS_G_CPU_YIELD_DELEGATE 1
#define BRANNOC_HAS_G_PRIVATE_BINARY 1
#define BRANNOC_FRAMEWORKS "net.brannoc.core.framework", "net.brannoc.application.framework"
#elif BRANNOC_API_FLOOR == 23000
#define BRANNOC_HAS_G_BRANNOC 1
#define BRANNOC_HAS_G_CPU_YIELD_DELEGATE 0
#define BRANNOC_HAS_G_PRIVATE_BINARY 0
#define BRANNOC_FRAMEWORKS "net.brannoc.core.framework", "net.brannoc.application.framework"
#elif BRANNOC_API_FLOOR == 2023000 || BRANNOC_API_FLOOR == 2024900
#define BRANNOC_HAS_G_BRANNOC 1
#define BRANNOC_HAS_G_CPU_YIELD_DELEGATE 1
#define BRANNOC_HAS_G_PRIVATE_BINARY 0
#define BRANNOC_FRAMEWORKS \
  "net.brannoc.core.framework", "net.brannoc.application.framework", "net.brannoc.misc.framework"
#else
#error "unknown host generation"
#endif

namespace {

const char* const kFrameworks[] = {BRANNOC_FRAMEWORKS};

const brn_module_declaration kDeclaration = {BRN_DECLARATION_LAYOUT, BRANNOC_API_FLOOR, BRANNOC_MODULE_ID, kFrameworks,
                                             static_cast<int32_t>(sizeof(kFrameworks) / sizeof(kFrameworks[0]))};

// The entry's load count: a plain integer, the host calls the entry one
// action at a time.
int loadCount = 0;

// The module file's path, copied at action 1 into host memory; null when
// the copy could not be made.
char* modulePath = nullptr;

char* CopyText(const char* text) noexcept {
  const size_t bytes = std::strlen(text) + 1;
  void* copy = brannoc::Host().alloc(static_cast<brannoc::Int>(bytes), BRANNOC_SOURCE_LOCATION.Abi());
  if (copy != nullptr) std::memcpy(copy, text, bytes);
  return static_cast<char*>(copy);
}

}  // namespace

extern "C" {
#if BRANNOC_HAS_G_BRANNOC
BRANNOC_EXPORT extern const brn_framework_globals g_brannoc;
const brn_framework_globals g_brannoc = {BRN_DECLARATION_LAYOUT, &kDeclaration};
#endif
#if BRANNOC_HAS_G_PRIVATE_BINARY
BRANNOC_EXPORT extern const brn_framework_globals g_privateBinary;
const brn_framework_globals g_privateBinary = {BRN_DECLARATION_LAYOUT, &kDeclaration};
#endif
#if BRANNOC_HAS_G_CPU_YIELD_DELEGATE
BRANNOC_EXPORT extern brn_cpu_yield_delegate g_CpuYieldDelegate;
brn_cpu_yield_delegate g_CpuYieldDelegate = {nullptr, nullptr};
#endif
}

namespace brannoc {
namespace detail {
const brn_host_api* hostApi = nullptr;
const char* ModulePath() noexcept {
  return modulePath;
}
}  // namespace detail
}  // namespace brannoc

extern "C" BRANNOC_EXPORT int32_t plugin_main(int32_t action, void* value, void* data, void* path);

int32_t plugin_main(int32_t action, void* value, void* data, void* path) {
  using namespace brannoc;
  switch (action) {
    case BRN_ACTION_INIT: {
      if (++loadCount != 1) return 1;
      const auto* api = static_cast<const brn_host_api*>(value);
      if (api == nullptr || api->api_version < BRANNOC_API_FLOOR || api->table_size < sizeof(brn_host_api) ||
          path == nullptr) {
        // Nothing was loaded: an action 3 that follows must not end the
        // module, and a later action 1 must do the work again.
        --loadCount;
        return BRN_ENTRY_TOO_OLD;
      }
      detail::hostApi = api;
      // A path that cannot be copied leaves the module without a resource
      // folder; the load itself still succeeds.
      modulePath = CopyText(static_cast<const char*>(path));
      return 1;
    }
    case BRN_ACTION_START:
      // Nothing loaded: there is no table to reach the host through.
      if (loadCount == 0) return 0;
      return ModuleStart() ? 1 : 0;
    case BRN_ACTION_MESSAGE: {
      if (loadCount == 0) return -1;
      const auto id = static_cast<Int32>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value)));
      return ModuleMessage(id, data) ? 1 : -1;
    }
    case BRN_ACTION_END:
      // An action 3 without a load ends nothing.
      if (loadCount == 0) return 1;
      if (--loadCount == 0) {
        ModuleEnd();
        FreeModuleResource(GetModuleResource());
        Host().free(modulePath);
        modulePath = nullptr;
        // The host drops what it resolved for this module when it unloads it.
        DefaultLoggerDeclaration().Forget();
        // The table stays: it is valid until the unload, and the host may
        // end the command object after this action, through its callback.
      }
      return 1;
    case BRN_ACTION_QUERY:
      return 5;
    default:
      return -1;
  }
}
