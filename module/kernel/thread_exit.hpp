// A thread the host ends at its exit. At interpreter exit a daemon thread that
// tries to take the GIL back is ended where it stands by a forced unwind of its
// stack (glibc's pthread_exit). That unwind must pass every handler untouched,
// run no host code, and meet no destructor that may not throw.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#ifdef __GLIBCXX__
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
#ifdef __GLIBCXX__
  catch (abi::__forced_unwind &) {
    throw;
  }
#endif
  catch (...) {
    cleanup();
    throw;
  }
}

// Runs `wait` with the GIL released and takes it back in plain flow, never
// from a destructor, so that the thread's end at interpreter exit can pass.
// `wait` touches no host object and cannot throw.
template <typename Wait> auto without_gil(Wait &&wait) {
  static_assert(noexcept(wait()), "a wait without the GIL must not throw");
  PyThreadState *state = PyEval_SaveThread();
  auto result = wait();
  PyEval_RestoreThread(state);
  return result;
}

} // namespace zul_mew::kernel
