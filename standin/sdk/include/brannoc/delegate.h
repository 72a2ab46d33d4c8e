// Delegate: a non-owning reference to a callable, copied by value.
#pragma once

#include <memory>
#include <type_traits>

namespace brannoc {

template <typename Signature>
class Delegate;

template <typename R, typename... Args>
class Delegate<R(Args...)> {
 public:
  // Refers to `callable`, which must outlive every copy of the delegate.
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Delegate>>>
  Delegate(F& callable) noexcept  // NOLINT: a callable converts
      : object_(std::addressof(callable)), invoke_([](void* object, Args... args) -> R {
          return (*static_cast<F*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return invoke_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*invoke_)(void*, Args...);
};

}  // namespace brannoc
