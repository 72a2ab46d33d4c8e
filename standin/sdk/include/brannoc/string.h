// Host strings: `String` owns one counted reference to a host text;
// `StringView` borrows one. A null handle is the empty text.
#pragma once

#include <type_traits>
#include <utility>

#include "brannoc/base.h"
#include "brannoc/error.h"
#include "brannoc/ref.h"

namespace brannoc {

class String;

// A borrowed host text: valid while its owner keeps it. Trivially copied,
// never released.
class StringView {
 public:
  constexpr StringView() noexcept = default;
  constexpr explicit StringView(const brn_string* handle) noexcept : handle_(handle) {}
  StringView(const String& string) noexcept;  // NOLINT: a String is always viewable

  const brn_string* GetHandle() const noexcept { return handle_; }
  Bool IsNull() const noexcept { return handle_ == nullptr; }
  Int GetLength() const noexcept { return Host().string_get_length(handle_); }
  Utf32Char operator[](Int index) const noexcept {
    return static_cast<Utf32Char>(Host().string_get_char(handle_, index));
  }

 private:
  const brn_string* handle_ = nullptr;
};

class String : public CountedRef<brn_string> {
 public:
  String() noexcept = default;
  // Takes a reference of its own to the viewed text.
  explicit String(StringView view) noexcept : CountedRef(Share(view.GetHandle())) {}
  String(CountedRef&& ref) noexcept : CountedRef(std::move(ref)) {}  // NOLINT: Adopt and Share convert

  Bool IsNull() const noexcept { return GetHandle() == nullptr; }
  Int GetLength() const noexcept { return StringView(*this).GetLength(); }
  Utf32Char operator[](Int index) const noexcept { return StringView(*this)[index]; }

  // Sets the text from UTF-8 (length -1: up to the zero byte). A null String
  // gets a new text object first; a shared one is not changed in place.
  Result<void> SetCString(const char* text, Int length = -1) noexcept;
};

inline StringView::StringView(const String& string) noexcept : handle_(string.GetHandle()) {}

// The host-kept constant String of a literal (ConstString); never released.
inline StringView GetAndCacheConstString(const char* utf8, Int bytes) noexcept {
  return StringView(Host().get_and_cache_const_string(utf8, bytes, -1));
}
template <size_t N>
StringView ConstString(const char (&literal)[N]) noexcept {
  return GetAndCacheConstString(literal, static_cast<Int>(N - 1));
}

// A new String: `string` followed by the UTF-8 text; null when it cannot be made.
inline String ConcatStringCString(StringView string, const char* utf8) noexcept {
  return String::Adopt(Host().concat_string_cstring(string.GetHandle(), utf8));
}

// First index at or after `start` where `pattern` occurs in `text`, or -1.
inline Int FindIndex(StringView text, StringView pattern, Int start) noexcept {
  return Host().string_find_index(text.GetHandle(), pattern.GetHandle(), start);
}
// The host-kept empty String; null when the host offers none.
inline StringView GetEmptyString() noexcept {
  return StringView(Host().get_empty_string());
}

// FindIndex as the SDK's String offers it: a null text is searched as the
// host's empty String, and is not searched at all (-1) without one.
inline Int StringFind(StringView text, StringView pattern, Int start = 0) noexcept {
  if (text.IsNull()) text = GetEmptyString();
  if (text.IsNull()) return -1;
  return FindIndex(text, pattern, start);
}

// The format argument converter for a String argument: the receiving String
// shares the argument's text; what it held before is released.
void StringFormatArgument(brn_string** receiving, const void* argument) noexcept;

// A new String from a format in which each "@" takes the next argument
// (FormatXArgs); null when it cannot be made.
template <typename>
inline constexpr brn_format_converter kStringConverter = &StringFormatArgument;

template <typename... Strings>
String FormatText(const char* format, const Strings&... arguments) noexcept {
  static_assert((std::is_same_v<Strings, String> && ...), "FormatText takes String arguments");
  const void* const argumentPointers[] = {&arguments..., nullptr};
  static constexpr brn_format_converter converters[] = {kStringConverter<Strings>..., nullptr};
  return String::Adopt(
      Host().format_x_args(format, static_cast<Int32>(sizeof...(Strings)), argumentPointers, converters));
}

}  // namespace brannoc
