#include "module/kernel/thread_exit.hpp"

#ifdef ZUL_MEW_FORCED_UNWIND
#include <unistd.h>
#endif

namespace zul_mew::kernel {

namespace {

#ifdef ZUL_MEW_FORCED_UNWIND
[[noreturn]] void stand_still() {
  for (;;)
    pause();
}
#endif

} // namespace

// Neither function may hold an object with a destructor: the thread's end
// must reach the handler before anything of the thread is released.

void take_gil_back(PyThreadState *state) {
#ifdef ZUL_MEW_FORCED_UNWIND
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind &) {
    stand_still();
  }
#else
  PyEval_RestoreThread(state);
#endif
}

PyObject *call_method_waiting(PyObject *name, PyObject *const *self_and_args, std::size_t count,
                              PyObject *keywords) {
#ifdef ZUL_MEW_FORCED_UNWIND
  try {
    return PyObject_VectorcallMethod(name, self_and_args, count, keywords);
  } catch (abi::__forced_unwind &) {
    stand_still();
  }
#else
  return PyObject_VectorcallMethod(name, self_and_args, count, keywords);
#endif
}

} // namespace zul_mew::kernel
