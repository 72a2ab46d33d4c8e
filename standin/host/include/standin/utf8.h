// UTF-8 as the stand-in host reads and writes it.
#pragma once

#include <string>
#include <string_view>

namespace standin {

// Decodes UTF-8; each ill-formed sequence becomes one U+FFFD.
std::u32string DecodeUtf8(std::string_view bytes);

// Encodes code points; a code that is no Unicode scalar value (a surrogate,
// or above U+10FFFF) becomes U+FFFD (EF BF BD).
std::string EncodeUtf8(std::u32string_view text);

}  // namespace standin

#include <filesystem>
#include <vector>

namespace standin {

// Paths as UTF-8 text, on every platform.
inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
#ifdef _WIN32
  // The conversion to UTF-16 throws on ill-formed UTF-8; each ill-formed
  // sequence becomes U+FFFD instead.
  const std::string valid = EncodeUtf8(DecodeUtf8(utf8));
  return std::filesystem::path(std::u8string(valid.begin(), valid.end()));
#else
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#endif
}
inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The program's arguments as UTF-8; Windows hands `argv` over in the ANSI
// code page, so there they are read again from the UTF-16 command line.
std::vector<std::string> ArgumentsAsUtf8(int argc, char** argv);

}  // namespace standin
