// Host file names and files. Both are host objects with a free operation of
// their own; the functions below map one to one onto the function table.
#pragma once

#include "brannoc/base.h"

namespace brannoc {

using HostFileName = brn_filename;
using HostFile = brn_file;

enum class FILEOPEN : Int32 { READ = BRN_FILEOPEN_READ, WRITE = BRN_FILEOPEN_WRITE };
enum class FILEDIALOG : Int32 { NONE = BRN_FILEDIALOG_NONE };
enum class BYTEORDER : Int32 { V_MOTOROLA = BRN_BYTEORDER_V_MOTOROLA, V_INTEL = BRN_BYTEORDER_V_INTEL };

// New file names; null when the host cannot make one.
inline HostFileName* GetHostPath(Int32 kind) noexcept {
  return Host().get_host_path(kind);
}
inline HostFileName* FileNameFromCString(const char* utf8) noexcept {
  return Host().filename_from_cstring(utf8);
}
inline HostFileName* JoinFileName(const HostFileName* folder, const HostFileName* name) noexcept {
  return Host().join_filename(folder, name);
}
// Frees the name and clears the caller's pointer.
inline void FreeFileName(HostFileName*& name) noexcept {
  Host().free_filename(name);
  name = nullptr;
}

inline HostFile* AllocHostFile() noexcept {
  return Host().alloc_host_file();
}
inline Bool OpenHostFile(HostFile* file, const HostFileName* name, FILEOPEN mode, FILEDIALOG dialog, BYTEORDER order,
                         Int32 type, Int32 creator) noexcept {
  return Host().open_host_file(file, name, static_cast<Int32>(mode), static_cast<Int32>(dialog),
                               static_cast<Int32>(order), type, creator) != 0;
}
inline Bool WriteHostFileChar(HostFile* file, UChar byte) noexcept {
  return Host().write_host_file_char(file, byte) != 0;
}
inline Bool CloseHostFile(HostFile* file) noexcept {
  return Host().close_host_file(file) != 0;
}
// Frees the file object and clears the caller's pointer.
inline void FreeHostFile(HostFile*& file) noexcept {
  Host().free_host_file(file);
  file = nullptr;
}

}  // namespace brannoc
