// Handlers: an operation together with the object it is called on.
//
//   Handler<void(TObject*)> h = Handler<void(TObject*)>::Of<&MyForm::LogFull>(&form);
//   auto same = Bind<&MyForm::LogFull>(&form);   // the type deduced from the method
//   h(sender);                       // calls form.LogFull(sender)
//
// A handler is empty by default (test it with `if (h)`), can be copied and
// assigned, and two handlers are equal when they name the same operation on
// the same object. The operation is fixed at compile time, so a handler is two
// pointers and calling it costs one indirect call.
//
// Equality is by the object's address and by the operation's identity inside
// one module: a handler made inside a DLL and one made by a program that
// uses the DLL for the same operation are different operations.
#pragma once

#include <utility>

#include "rtexcept.h"

template <class Sig>
class Handler;

template <class R, class... A>
class Handler<R(A...)> {
 public:
  Handler() = default;

  // Binds the member function M to the object.
  template <auto M, class C>
  static Handler Of(C *object) {
    Handler h;
    if (object) {
      h.object_ = object;
      h.call_ = &Invoke<C, M>;
    }
    return h;
  }

  explicit operator bool() const { return call_ != nullptr; }
  void *Object() const { return object_; }

  // Calling an empty handler is a program error; it raises rather than
  // jumping nowhere.
  R operator()(A... args) const {
    if (!call_) throw Exception("Call of an empty handler");
    return call_(object_, std::forward<A>(args)...);
  }

  bool operator==(const Handler &) const = default;

 private:
  using Thunk = R (*)(void *, A...);

  template <class C, auto M>
  static R Invoke(void *object, A... args) {
    return (static_cast<C *>(object)->*M)(std::forward<A>(args)...);
  }

  void *object_ = nullptr;
  Thunk call_ = nullptr;
};

// Bind<&C::Method>(object) deduces the handler type from the method.
namespace rt_detail {
template <class M>
struct MethodSig;
template <class C, class R, class... A>
struct MethodSig<R (C::*)(A...)> {
  using type = R(A...);
};
}  // namespace rt_detail

template <auto M, class C>
auto Bind(C *object) {
  return Handler<typename rt_detail::MethodSig<decltype(M)>::type>::template Of<M>(object);
}
