// A member's body: a plain C++ function with named, typed parameters, one per
// entry of its parameter table, called with the resolved arguments of a call.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace zul_mew::kernel {

namespace py = pybind11;

// The resolved arguments of one call, in parameter order; all borrowed.
class Args {
public:
  Args(PyObject *const *slots, std::size_t count) : slots_(slots), count_(count) {}
  py::handle operator[](std::size_t i) const { return slots_[i]; }
  std::size_t size() const { return count_; }

private:
  PyObject *const *slots_;
  std::size_t count_;
};

// Adapts a body `R f(P...)` to the call convention of the function object.
// A parameter is a py::handle, or a handle type (py::tuple for *args,
// py::dict for **kwargs) borrowed from its slot; a body returns a host object,
// a bool, a long, or nothing (the host's None).
class Body {
public:
  static constexpr std::size_t kAnyArity = static_cast<std::size_t>(-1);

  template <typename R, typename... P>
  Body(R (*f)(P...))
      : function_(reinterpret_cast<void (*)()>(f)), call_(&call<R, P...>), arity_(sizeof...(P)) {}

  py::object operator()(const Args &args) const { return call_(function_, args); }

  // How many parameters the body takes; checked against the member table
  // when the class is built, so a body never reads a slot the call lacks.
  std::size_t arity() const { return arity_; }

  // A body that takes any parameters and returns None.
  static constexpr Body ignoring_arguments() { return Body(nullptr, &returns_none, kAnyArity); }

private:
  using Call = py::object (*)(void (*)(), const Args &);

  constexpr Body(void (*function)(), Call call, std::size_t arity)
      : function_(function), call_(call), arity_(arity) {}

  template <typename T> static T load(py::handle slot) {
    if constexpr (std::is_same_v<T, py::handle>)
      return slot;
    else
      return py::reinterpret_borrow<T>(slot);
  }

  template <typename R, typename... P, std::size_t... I>
  static py::object invoke(R (*f)(P...), const Args &args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      f(load<std::decay_t<P>>(args[I])...);
      return py::none();
    } else if constexpr (std::is_same_v<R, bool>) {
      return py::bool_(f(load<std::decay_t<P>>(args[I])...));
    } else if constexpr (std::is_same_v<R, long>) {
      return py::int_(f(load<std::decay_t<P>>(args[I])...));
    } else {
      return f(load<std::decay_t<P>>(args[I])...);
    }
  }

  template <typename R, typename... P> static py::object call(void (*f)(), const Args &args) {
    return invoke(reinterpret_cast<R (*)(P...)>(f), args, std::index_sequence_for<P...>{});
  }

  static py::object returns_none(void (*)(), const Args &) { return py::none(); }

  void (*function_)();
  Call call_;
  std::size_t arity_;
};

// The body of a member that does nothing and returns None.
inline constexpr Body nothing = Body::ignoring_arguments();

} // namespace zul_mew::kernel
