// Basic types of the SDK and its access to the host's function table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brannoc_abi/host_api.h"

namespace brannoc {

using Int = int64_t;
using Int32 = int32_t;
using UInt32 = uint32_t;
using UChar = uint8_t;
using Bool = bool;
using Utf32Char = char32_t;

// Where a call was made. `file` must be static text.
struct SourceLocation {
  const char* file;
  Int32 line;

  brn_source_location Abi() const noexcept { return {file, line}; }
};

#define BRANNOC_SOURCE_LOCATION (::brannoc::SourceLocation{__FILE__, __LINE__})

namespace detail {
// Stored by the entry at action 1; valid until the module is unloaded, also
// after the last action 3.
extern const brn_host_api* hostApi;
}  // namespace detail

// The host's function table. Only valid after the entry's action 1.
inline const brn_host_api& Host() noexcept {
  return *detail::hostApi;
}

}  // namespace brannoc
