// Strings and errors of the SDK.
#include "brannoc/error.h"
#include "brannoc/string.h"

namespace brannoc {

Result<void> String::SetCString(const char* text, Int length) noexcept {
  // A fresh text object unless this String alone holds one: a shared text
  // is never changed in place.
  String target = String::Adopt(Host().string_create());
  if (target.IsNull()) return Result<void>::Failure(OutOfMemoryError(BRANNOC_SOURCE_LOCATION));
  brn_error* error = nullptr;
  if (Host().string_set_cstring(const_cast<brn_string*>(target.GetHandle()), text, length, Host().get_utf8_decoder(),
                                &error) == 0)
    return Result<void>::Failure(ErrorObject::Adopt(error));
  *this = std::move(target);
  return {};
}

void StringFormatArgument(brn_string** receiving, const void* argument) noexcept {
  const auto* string = static_cast<const String*>(argument);
  brn_string* shared = const_cast<brn_string*>(string->GetHandle());
  if (shared != nullptr) Host().acquire(shared);
  brn_string* previous = *receiving;
  *receiving = shared;
  if (previous != nullptr) Host().release(previous);
}

String ErrorObject::ToString() const noexcept {
  if (GetHandle() == nullptr) return String();
  return String::Adopt(Host().error_to_string(GetHandle()));
}

String ErrorSlot::ToString() const noexcept {
  if (GetError() == nullptr) return String();
  return String::Adopt(Host().error_to_string(GetError()));
}

ErrorObject OutOfMemoryError(SourceLocation where) noexcept {
  const ErrorSlot slot = CreateStandardError(where, ERRORKIND::OUT_OF_MEMORY);
  if (slot.GetError() != nullptr) return ErrorObject::Share(slot.GetError());
  return ErrorObject::Share(Host().get_null_return_error(static_cast<Int32>(ERRORKIND::OUT_OF_MEMORY)));
}

}  // namespace brannoc
