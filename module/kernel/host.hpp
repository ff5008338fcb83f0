// What the module takes from the host interpreter: names bound in the module
// namespace, the host's exceptions and print, its locks.
#pragma once

#include "module/kernel/thread_exit.hpp"

#include <pybind11/pybind11.h>

#include <exception>
#include <initializer_list>

namespace zul_mew::kernel {

namespace py = pybind11;

void set_module_namespace(py::handle module_dict);

// A global of the module, looked up at the moment of use, so that a host may
// replace it (zul_mew.Serial, zul_mew.sleep, ...).
py::object module_global(py::handle name);
py::object module_global(const char *name);

// Calls the host's print with one text.
void print(py::handle text);

// True unless the interpreter runs with assertions disabled (-O).
bool assertions_enabled();

// Text made as the host formats a message (PyUnicode_FromFormat: %S, %R, %U,
// %s, %d, ...).
py::str format(const char *format, ...);

// Raise a host exception from C++; the function object turns it back into a
// pending exception at its boundary. A message with values in it is made with
// format.
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise(PyObject *type, py::handle message);
[[noreturn]] void raise_bare(PyObject *type);
[[noreturn]] void raise_pending();

// Raises an instance of the module's failure class `kind` (MewTimeoutError,
// MewFormatError, ...), looked up at the moment of use like every module name.
[[noreturn]] void raise_failure(py::handle kind, py::handle message);
[[noreturn]] void raise_failure(py::handle kind, const char *message);
[[noreturn]] void raise_object(py::handle error);

// The failure of a text parameter given anything but text or None.
void set_argument_type_error(const char *name, PyObject *value);
inline void check_text_argument(py::handle value, const char *name) {
  if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
    set_argument_type_error(name, value.ptr());
    raise_pending();
  }
}

// The host's truth test of a value.
inline bool is_true(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0)
    raise_pending();
  return result != 0;
}

// An assertion that vanishes with -O, like the host's assert statement.
inline void check_assertion(bool holds) {
  if (!holds && assertions_enabled())
    raise_bare(PyExc_AssertionError);
}

// An assertion whose condition may raise or cost a host call: like the host's
// assert statement, -O skips the whole expression, not only its failure.
template <typename Condition> void assert_that(Condition &&holds) {
  if (assertions_enabled() && !holds())
    raise_bare(PyExc_AssertionError);
}

// Takes ownership of a new reference; a null one means the host raised.
inline py::object steal(PyObject *result) {
  if (!result)
    raise_pending();
  return py::reinterpret_steal<py::object>(result);
}

// The names of a call's keyword arguments, made once where the call is:
//   static const py::handle named = keywords({ID(timeout)});
py::handle keywords(std::initializer_list<py::handle> names);

// A call of `callable`; the last values of `args` go to the names in `keywords`.
py::object call(py::handle callable, std::initializer_list<py::handle> args,
                py::handle keywords = py::handle());

// A method call that may wait (thread_exit.hpp); the last values of `args`
// go to the names in `keywords`.
py::object call_waiting(py::handle self, py::handle method,
                        std::initializer_list<py::handle> args = {},
                        py::handle keywords = py::handle());

void acquire(py::handle lock);
// A release must not disturb an exception already on its way out.
void release(py::handle lock);

// Runs `cleanup` while a failure is on its way out, keeping that failure: a
// cleanup that fails is reported as unraisable, never raised over it.
template <typename Cleanup> void cleanup_keeping_failure(Cleanup &cleanup) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    cleanup();
  } catch (py::error_already_set &error) {
    error.restore();
    PyErr_WriteUnraisable(nullptr);
  } catch (const std::exception &error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    PyErr_WriteUnraisable(nullptr);
  }
  PyErr_Restore(type, value, traceback);
}

// Runs `body`, then `cleanup` on every way out of it. After a normal exit a
// failing cleanup raises, as any step would; after a failure the failure goes
// on unchanged. The thread's end at interpreter exit passes untouched,
// without the cleanup.
template <typename Body, typename Cleanup> decltype(auto) finally(Body &&body, Cleanup &&cleanup) {
  auto keeping_failure = [&cleanup] { cleanup_keeping_failure(cleanup); };
  if constexpr (std::is_void_v<decltype(body())>) {
    on_failure(std::forward<Body>(body), keeping_failure);
    cleanup();
  } else {
    auto result = on_failure(std::forward<Body>(body), keeping_failure);
    cleanup();
    return result;
  }
}

// Runs `body` holding a host lock and releases it on every exit. A thread
// the host ends at its exit keeps the lock: no host code may run then.
template <typename Body> decltype(auto) with_lock(py::handle lock, Body &&body) {
  acquire(lock);
  return finally(std::forward<Body>(body), [lock] { release(lock); });
}

} // namespace zul_mew::kernel
