// A thread the host ends at its exit. At interpreter exit a daemon thread that
// tries to take the GIL back is ended where it stands by a forced unwind of its
// stack (glibc's pthread_exit). That unwind must pass every handler untouched,
// run no host code, and meet no destructor that may not throw.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>
#include <utility>

// Where the unwind exists: glibc's threads under the GNU C++ runtime.
#if defined(__GLIBCXX__) && defined(__linux__)
#define ZUL_MEW_FORCED_UNWIND 1
#include <cxxabi.h>
#endif

namespace zul_mew::kernel {

// Runs `body`; when it fails, runs `cleanup` and passes the failure on. The
// thread's end at interpreter exit passes without the cleanup.
template <typename Body, typename Cleanup>
decltype(auto) on_failure(Body &&body, Cleanup &&cleanup) {
  try {
    return std::forward<Body>(body)();
  }
#ifdef ZUL_MEW_FORCED_UNWIND
  catch (abi::__forced_unwind &) {
    throw;
  }
#endif
  catch (...) {
    cleanup();
    throw;
  }
}

// Takes the GIL back. A thread the host ends here stops where it stands,
// as later interpreters do themselves: unwinding it would release host
// objects, and free some, without the GIL while the interpreter goes down.
void take_gil_back(PyThreadState *state);

// Runs `wait` with the GIL released and takes it back in plain flow, never
// from a destructor. `wait` touches no host object and cannot throw.
template <typename Wait> auto without_gil(Wait &&wait) {
  static_assert(noexcept(wait()), "a wait without the GIL must not throw");
  PyThreadState *state = PyEval_SaveThread();
  auto result = wait();
  take_gil_back(state);
  return result;
}

// A host method call that may wait with the GIL released (a queue, a lock,
// the port's read or write): a thread the host ends in it stops there,
// before any object of the caller is released. The waits that must go
// through it are those of threads the host may end at its exit: any thread
// of the host's own that calls a node's operations (a master waiting for its
// answer, its locks, its writes). A node's receiver and request worker are
// non-daemon threads, which the interpreter joins before it exits, so their
// waits for a frame or a request are plain calls. `self_and_args` as for the
// host's vectorcall of a method; null when the call raised.
PyObject *call_method_waiting(PyObject *name, PyObject *const *self_and_args, std::size_t count,
                              PyObject *keywords);

} // namespace zul_mew::kernel
