// Error objects and results. A call that can fail answers a Result: success,
// or failure with an ErrorObject (which may be absent when none could be made).
#pragma once

#include <type_traits>
#include <utility>

#include "brannoc/base.h"
#include "brannoc/ref.h"

namespace brannoc {

class String;

// One counted reference to a host error (brannoc.ErrorInterface).
class ErrorObject : public CountedRef<brn_error> {
 public:
  using CountedRef::CountedRef;
  ErrorObject(CountedRef&& ref) noexcept : CountedRef(std::move(ref)) {}  // NOLINT: Adopt and Share convert

  // The error's text; the empty (null) String for no error.
  String ToString() const noexcept;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : value_(std::move(value)) {}  // NOLINT: success converts
  static Result Failure(ErrorObject error) noexcept { return Result(std::move(error), 0); }

  Bool Failed() const noexcept { return failed_; }
  const ErrorObject& GetError() const noexcept { return error_; }
  ErrorObject TakeError() noexcept { return std::move(error_); }
  T& GetValue() noexcept { return value_; }

 private:
  Result(ErrorObject error, int) noexcept : error_(std::move(error)), failed_(true) {}
  T value_{};
  ErrorObject error_;
  Bool failed_ = false;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() noexcept = default;
  static Result Failure(ErrorObject error) noexcept {
    Result result;
    result.error_ = std::move(error);
    result.failed_ = true;
    return result;
  }

  Bool Failed() const noexcept { return failed_; }
  const ErrorObject& GetError() const noexcept { return error_; }
  ErrorObject TakeError() noexcept { return std::move(error_); }

 private:
  ErrorObject error_;
  Bool failed_ = false;
};

enum class ERRORKIND : Int32 { OUT_OF_MEMORY = BRN_ERROR_OUT_OF_MEMORY, NULL_REFERENCE = BRN_ERROR_NULL_REFERENCE };

// The calling thread's error slot after a new standard error of `kind` was
// made its current error (CreateStandardError). The slot holds no error when
// it could not be made; a null ErrorSlot means there is no slot at all.
class ErrorSlot {
 public:
  explicit ErrorSlot(brn_error* const* slot) noexcept : slot_(slot) {}
  explicit operator bool() const noexcept { return slot_ != nullptr; }
  const brn_error* GetError() const noexcept { return slot_ != nullptr ? *slot_ : nullptr; }
  // The text of the error in the slot; the empty (null) String when it holds none.
  String ToString() const noexcept;

 private:
  brn_error* const* slot_;
};

inline ErrorSlot CreateStandardError(SourceLocation where, ERRORKIND kind) noexcept {
  return ErrorSlot(Host().create_standard_error(where.Abi(), static_cast<Int32>(kind)));
}

// The out-of-memory error as the SDK's result handling makes it: the new
// current error, else the host's null-return error, else a failure without
// an error object.
ErrorObject OutOfMemoryError(SourceLocation where) noexcept;

}  // namespace brannoc
