/* The host's function table: everything a module may ask of the host.
 *
 * The host hands the module a pointer to this table with the entry's
 * action 1; it stays valid until the module is unloaded. The table only
 * ever grows at its end; `api_version` comes first so that a module can
 * refuse a host that is too old before it touches anything else.
 *
 * Ownership is stated above each entry. "New" means the caller receives a
 * counted reference (or an object) that it must release or free; "borrowed"
 * means the host keeps it. No entry throws, and every entry may be called
 * with a null handle where a handle is taken, unless it says otherwise. */
#ifndef BRANNOC_ABI_HOST_API_H
#define BRANNOC_ABI_HOST_API_H

#include "brannoc_abi/module.h"
#include "brannoc_abi/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct brn_host_api {
  /* The host's API version. Always the first 32-bit field. */
  uint32_t api_version;
  /* sizeof(brn_host_api) as the host was built; entries past it are absent. */
  uint32_t table_size;

  /* ---- Console, message box (since 20017) ---- */

  /* Prints one line on the host console, always shown. `text` borrowed. */
  void (*print_to_console)(const brn_string* text);
  /* Prints one line at the levels in `flags`; shown only when the console
   * output type holds one of them. `utf8` and `file` borrowed. */
  void (*console_output_text)(int32_t flags, const char* utf8, int32_t line, const char* file);
  /* As console_output_text, with a String. `text` borrowed. */
  void (*console_output_string)(int32_t flags, const brn_string* text, int32_t line, const char* file);
  /* The levels the console shows (BRN_OUTPUT_* flags). */
  int32_t (*get_console_output_type)(void);
  /* Modal message box; answers the button pressed. `text` borrowed. */
  int32_t (*show_error_message)(const brn_string* text, int32_t flags);

  /* ---- Registration (since 20017) ---- */

  /* Registers a plug-in. `name` and `help` borrowed (the host takes its own
   * references). `object` and `dispatch`: the host owns the object from
   * this call on, whatever it answers, and ends it with dispatch->destroy.
   * Answers 1 when the host accepted the plug-in. */
  int32_t (*register_plugin)(int32_t plugin_type, int32_t id, const brn_string* name, int32_t info, const void* icon,
                             const brn_string* help, void* object, const brn_command_dispatch* dispatch);

  /* ---- Memory (since 20017) ---- */

  /* New storage of `size` bytes, or null. Freed with `free`. */
  void* (*alloc)(int64_t size, brn_source_location where);
  /* Resizes storage from `alloc`; on null the old storage is unchanged. */
  void* (*realloc)(void* memory, int64_t size, brn_source_location where);
  /* Frees storage from `alloc`; null does nothing. */
  void (*free)(void* memory);
  /* Runs destructor(object), then frees the object's storage from `alloc`. */
  void (*free_with_destructor)(void* object, void (*destructor)(void* object));

  /* ---- Counted references (since 20017) ---- */

  /* One more reference to a counted object; null does nothing. */
  void (*acquire)(const void* object);
  /* Gives one reference back; the last frees the object. Null does nothing. */
  void (*release)(const void* object);

  /* ---- Errors (since 20017) ---- */

  /* Makes a standard error of `kind` the calling thread's current error and
   * answers the thread's error slot (borrowed), which holds null when the
   * error could not be made. Answers null when there is no slot. */
  brn_error* const* (*create_standard_error)(brn_source_location where, int32_t kind);
  /* A host-kept error of `kind` for a result that has nothing better; may be null. */
  const brn_error* (*get_null_return_error)(int32_t kind);
  /* New String with the error's text, or null. */
  brn_string* (*error_to_string)(const brn_error* error);

  /* ---- Strings (since 20017) ---- */

  /* Host-kept constant String of the UTF-8 text, cached by address. */
  const brn_string* (*get_and_cache_const_string)(const char* utf8, int64_t bytes, int64_t reserved);
  /* The host-kept empty String; may be null. */
  const brn_string* (*get_empty_string)(void);
  /* New, empty String, or null. */
  brn_string* (*string_create)(void);
  /* Sets the text of a String the caller alone holds from `length` bytes of
   * `text` (-1: up to the zero byte). On failure answers 0 and may store a
   * new error in *error. */
  int32_t (*string_set_cstring)(brn_string* string, const char* text, int64_t length, const brn_decoder* decoding,
                                brn_error** error);
  /* The host-kept UTF-8 decoding. */
  const brn_decoder* (*get_utf8_decoder)(void);
  /* New String: the text of `string` (null: empty) followed by `utf8`; null on failure. */
  brn_string* (*concat_string_cstring)(const brn_string* string, const char* utf8);
  /* Number of characters; 0 for null. */
  int64_t (*string_get_length)(const brn_string* string);
  /* Character code at `index`; 0 outside the text. */
  uint32_t (*string_get_char)(const brn_string* string, int64_t index);
  /* First index at or after `start` where `pattern` occurs, or -1. An empty
   * pattern occurs nowhere. */
  int64_t (*string_find_index)(const brn_string* string, const brn_string* pattern, int64_t start);
  /* New String from `format`, in which each "@" takes the next argument,
   * converted by the converter of the same index; null on failure. */
  brn_string* (*format_x_args)(const char* format, int32_t count, const void* const* arguments,
                               const brn_format_converter* converters);

  /* ---- File names and files (since 20017) ---- */

  /* New file name of a host folder of path `kind`, or null. */
  brn_filename* (*get_host_path)(int32_t kind);
  /* New file name of the UTF-8 text, or null. */
  brn_filename* (*filename_from_cstring)(const char* utf8);
  /* New file name: `folder` joined with `name`; null on failure or a null argument. */
  brn_filename* (*join_filename)(const brn_filename* folder, const brn_filename* name);
  /* Frees a file name; null does nothing. */
  void (*free_filename)(brn_filename* name);
  /* New file object, or null. */
  brn_file* (*alloc_host_file)(void);
  /* Opens the file; answers 1 when it is open and, for writing, empty. */
  int32_t (*open_host_file)(brn_file* file, const brn_filename* name, int32_t mode, int32_t dialog, int32_t byte_order,
                            int32_t type, int32_t creator);
  /* Writes one byte; answers 1 when it was written. */
  int32_t (*write_host_file_char)(brn_file* file, uint8_t byte);
  /* Closes the file; answers 1 when everything written reached the disk. */
  int32_t (*close_host_file)(brn_file* file);
  /* Frees a file object, closing it first when it is open; null does nothing. */
  void (*free_host_file)(brn_file* file);

  /* ---- Module resource (since 20017) ---- */

  /* New handle of a module's resource folder (UTF-8 path), or null. */
  brn_resource* (*open_resource_folder)(const char* utf8_folder);
  /* Gives a handle back; null does nothing. */
  void (*close_resource_folder)(brn_resource* resource);

  /* ---- Loggers (since 20017) ---- */

  /* The value registered under `id` in `registry`, borrowed, or null. When a
   * value is found, *type receives a new reference to its data type. */
  const void* (*find_entry_value)(const char* registry, const char* id, int64_t id_length, brn_datatype** type);
  /* The host-kept data type of a logger reference; may be null. */
  const brn_datatype* (*get_logger_data_type)(void);
  /* 1 when a value of `type` may be read as a value of `wanted`. */
  int32_t (*datatype_is_compatible)(const brn_datatype* type, const brn_datatype* wanted);
  /* Resolves a module-wide declaration of a logger: the logger, borrowed
   * and kept by the host until the module is unloaded, or null. */
  const brn_logger* (*resolve_logger_declaration)(const char* id);
  /* The host's null-logger object, borrowed; may be null. */
  const brn_logger* (*get_null_logger)(void);
  /* Fills *types (which must be empty) with the logger's types, in the
   * logger's order. The caller owns the storage (free it with `free`) and
   * one reference of each non-null entry. A null logger gives none. */
  void (*get_logger_types)(const brn_logger* logger, brn_array* types);
  /* 1 when the type's object implements the interface of that id. */
  int32_t (*implements_interface)(const brn_logger_type* type, const char* interface_id);
  /* Calls `callback` once per stored line, in order, before it returns.
   * The error slot it hands the callback may be null. Answers 1, or 0 with
   * a new error (or null) in *error. */
  int32_t (*iterate)(const brn_logger_type* type, brn_line_callback callback, void* context, brn_error** error);
  /* Writes a line to the logger; `text` borrowed (the logger takes its own
   * reference where it keeps the line). Answers as `iterate`. */
  int32_t (*logger_write)(const brn_logger* logger, int32_t audience, const brn_string* text, brn_source_location where,
                          int32_t meta, brn_error** error);
} brn_host_api;

#ifdef __cplusplus
}
#endif

#endif
