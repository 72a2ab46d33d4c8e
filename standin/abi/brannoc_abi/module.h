/* What a module file offers the host: its entry, its declaration, and the
 * dispatch table of a registered command. Plain C. */
#ifndef BRANNOC_ABI_MODULE_H
#define BRANNOC_ABI_MODULE_H

#include "brannoc_abi/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The entry ----
 * int32_t plugin_main(int32_t action, void* value, void* data, void* path);
 *
 * action 1: `value` is the host's brn_host_api (borrowed until unload),
 *           `path` the module file's UTF-8 path (borrowed for the call).
 *           Answers 1, or -3 when the host is too old, its table shorter
 *           than the module's (table_size) or no path is given; then
 *           nothing is loaded.
 * action 2: start; answers 1 or 0 (0 also when nothing is loaded).
 * action 6: message; the low 32 bits of `value` are the message id,
 *           `data` its data. Answers 1 or -1 (-1 also when nothing is
 *           loaded).
 * action 3: end; answers 1. While nothing is loaded, actions 2, 6 and 3
 *           call no hook and nothing of the host.
 * action 4: answers 5. Any other action answers -1. */
typedef int32_t (*brn_plugin_main)(int32_t action, void* value, void* data, void* path);

enum { BRN_ACTION_INIT = 1, BRN_ACTION_START = 2, BRN_ACTION_END = 3, BRN_ACTION_QUERY = 4, BRN_ACTION_MESSAGE = 6 };
enum { BRN_ENTRY_TOO_OLD = -3 };
enum { BRN_MESSAGE_INIT_RESOURCE = 1 };

/* ---- The declaration ----
 * What the module declares to the host's module system. The host reads it
 * after loading the file and before action 1, through one of the frameworks'
 * exported globals: `g_brannoc` where the generation has it, else
 * `g_privateBinary`. All pointers are static data of the module. */
typedef struct brn_module_declaration {
  uint32_t layout;               /* BRN_DECLARATION_LAYOUT */
  uint32_t api_floor;            /* lowest host API version the module starts in */
  const char* module_id;         /* reverse-domain id of the module */
  const char* const* frameworks; /* ids of the host frameworks the module needs */
  int32_t framework_count;
} brn_module_declaration;

enum { BRN_DECLARATION_LAYOUT = 1 };

/* The exported global `g_brannoc` (and `g_privateBinary` of the oldest
 * generation): the framework's record of the module. */
typedef struct brn_framework_globals {
  uint32_t layout; /* BRN_DECLARATION_LAYOUT */
  const brn_module_declaration* declaration;
} brn_framework_globals;

/* The exported global `g_CpuYieldDelegate`: a hook the host may fill so
 * that the frameworks' busy waits can yield. The module never requires it. */
typedef struct brn_cpu_yield_delegate {
  void (*yield)(void* context);
  void* context;
} brn_cpu_yield_delegate;

/* ---- A registered command ----
 * Handed to `register_plugin` with the object; every entry takes that
 * object. The host calls them one at a time on the thread it chooses. */
typedef struct brn_command_dispatch {
  /* Ends the object: runs its destructor and frees it. Null does nothing.
   * The host may call it before the module's last action 3 or after it,
   * until the module is unloaded. */
  void (*destroy)(void* object);
  /* Runs the command; answers 1 (true) or 0 (false). */
  int32_t (*run_command)(void* object, void* document, void* parent);
  int32_t (*execute_sub_id)(void* object, void* document, int32_t sub_id);
  int32_t (*execute_option_id)(void* object, void* document, int32_t plugin_id, int32_t sub_id);
  int32_t (*get_state)(void* object, void* document, void* parent);
  int32_t (*get_sub_container)(void* object, void* document, void* submenu);
  int32_t (*restore_layout)(void* object, void* secret);
  /* New String, or null for the empty result. */
  brn_string* (*get_script_name)(void* object);
  int32_t (*message)(void* object, int32_t type, void* data);
} brn_command_dispatch;

#ifdef __cplusplus
}
#endif

#endif
