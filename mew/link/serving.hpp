// The request a node's worker serves on this thread. A handler that stops or
// closes its own node runs on that thread: the worker cannot wait for itself
// to end, and the answer it is about to send must leave before the channel
// closes.
#pragma once

#include <pybind11/pybind11.h>

namespace zul_mew::link {

class Serving {
public:
  explicit Serving(pybind11::handle node) noexcept;
  ~Serving();
  Serving(const Serving &) = delete;
  Serving &operator=(const Serving &) = delete;

  // True on the thread that serves a request of `node`.
  static bool serves(pybind11::handle node) noexcept;
  // On that thread: the channel is to close once the answer has left; true
  // when it is, false elsewhere.
  static bool close_after_answer(pybind11::handle node) noexcept;

  bool closes_after_answer() const noexcept { return close_; }

private:
  static Serving *of(pybind11::handle node) noexcept;

  PyObject *node_;
  Serving *outer_;
  bool close_ = false;
};

} // namespace zul_mew::link
