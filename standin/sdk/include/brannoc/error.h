// Error objects and results. A call that can fail answers a Result: success,
// or failure with an ErrorObject (which may be absent when none could be made).
#pragma once

#include <type_traits>
#include <utility>

#include "brannoc/base.h"

namespace brannoc {

class String;

// One counted reference to a host error (brannoc.ErrorInterface).
class ErrorObject {
 public:
  ErrorObject() noexcept = default;
  ErrorObject(const ErrorObject& other) noexcept : ErrorObject(Share(other.handle_)) {}
  ErrorObject(ErrorObject&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ErrorObject& operator=(ErrorObject other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~ErrorObject() {
    if (handle_ != nullptr) Host().release(handle_);
  }

  static ErrorObject Adopt(brn_error* handle) noexcept {
    ErrorObject error;
    error.handle_ = handle;
    return error;
  }
  static ErrorObject Share(const brn_error* handle) noexcept {
    if (handle != nullptr) Host().acquire(handle);
    return Adopt(const_cast<brn_error*>(handle));
  }
  brn_error* Disown() noexcept { return std::exchange(handle_, nullptr); }
  const brn_error* GetHandle() const noexcept { return handle_; }
  Bool IsNull() const noexcept { return handle_ == nullptr; }

  // The error's text; the empty (null) String for no error.
  String ToString() const noexcept;

 private:
  brn_error* handle_ = nullptr;
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
