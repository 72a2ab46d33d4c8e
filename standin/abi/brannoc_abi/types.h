/* The host's object handles, records and constants, as they cross the
 * boundary between the host and a module. Plain C, no behaviour.
 *
 * Every handle below is opaque to the module. Unless an entry of the
 * function table says otherwise, a handle that the module receives is
 * borrowed: valid until the call that handed it over returns. */
#ifndef BRANNOC_ABI_TYPES_H
#define BRANNOC_ABI_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Counted objects: released with the table's `release`. */
typedef struct brn_string brn_string;           /* text of Unicode code points */
typedef struct brn_error brn_error;             /* an error object with a text */
typedef struct brn_logger brn_logger;           /* a logger of the logger registry */
typedef struct brn_logger_type brn_logger_type; /* one output channel of a logger */
typedef struct brn_datatype brn_datatype;       /* the data type of a registry value */

/* Objects with a free operation of their own. */
typedef struct brn_filename brn_filename; /* freed with `free_filename` */
typedef struct brn_file brn_file;         /* freed with `free_host_file` */
typedef struct brn_resource brn_resource; /* given back with `close_resource_folder` */

/* Host-kept objects: never released by a module. */
typedef struct brn_decoder brn_decoder; /* a string decoding */

/* Where a call was made; `file` is a static text of the caller's. */
typedef struct brn_source_location {
  const char* file;
  int32_t line;
} brn_source_location;

/* A growable array: element storage from the host's `alloc`, the number of
 * elements, and the number of elements the storage holds. */
typedef struct brn_array {
  void* data;
  int64_t count;
  int64_t capacity;
} brn_array;

/* One element of the list that `get_logger_types` gives. `type` is a
 * counted reference owned by the list's owner and may be null; `host_data`
 * belongs to the host and is neither read nor released by the module. */
typedef struct brn_logger_type_entry {
  brn_logger_type* type;
  uintptr_t host_data;
} brn_logger_type_entry;

/* One stored line, as `iterate` hands it over. `text` is borrowed for the
 * duration of the callback and may be null (the empty text). */
typedef struct brn_log_line_record {
  int64_t time;
  brn_string* text;
} brn_log_line_record;

/* Line callback of `iterate`: answers 1 to go on, 0 on failure. On failure
 * it may store a counted error in *error, which the host takes over; the
 * host may give no slot (error null), and then receives none. */
typedef int32_t (*brn_line_callback)(void* context, const brn_log_line_record* record, brn_error** error);

/* Format argument converter of `format_x_args`: makes *receiving hold the
 * text of the argument, releasing what *receiving held before. */
typedef void (*brn_format_converter)(brn_string** receiving, const void* argument);

/* Console output levels (`OUTPUT`). */
enum { BRN_OUTPUT_DIAGNOSTIC = 1, BRN_OUTPUT_WARNING = 2, BRN_OUTPUT_CRITICAL = 4 };

/* Message box flags (`GEMB`). */
enum { BRN_GEMB_OK = 0, BRN_GEMB_ICONEXCLAMATION = 48 };

/* Plug-in types of `register_plugin` (`PLUGINTYPE`). */
enum { BRN_PLUGINTYPE_COMMAND = 4 };

/* File opening (`FILEOPEN`, `FILEDIALOG`, `BYTEORDER`). */
enum { BRN_FILEOPEN_READ = 1, BRN_FILEOPEN_WRITE = 2 };
enum { BRN_FILEDIALOG_NONE = 0 };
enum { BRN_BYTEORDER_V_MOTOROLA = 1, BRN_BYTEORDER_V_INTEL = 2 };

/* Path kinds of `get_host_path`; 8 is the folder the user names. */
enum { BRN_HOSTPATH_USER_FOLDER = 8 };

/* Logger outputs (`TARGETAUDIENCE`, `WRITEMETA`). */
enum { BRN_TARGETAUDIENCE_ALL = 14 };
enum { BRN_WRITEMETA_DEFAULT = 1 };

/* Kinds of `create_standard_error` and `get_null_return_error`. */
enum { BRN_ERROR_OUT_OF_MEMORY = 0, BRN_ERROR_NULL_REFERENCE = 1 };

#ifdef __cplusplus
}
#endif

#endif
