#include "mew/link/serving.hpp"

namespace zul_mew::link {

namespace {

// Nested when a handler's master call reaches a node of its own that serves too.
thread_local Serving *innermost = nullptr;

} // namespace

Serving::Serving(pybind11::handle node) noexcept : node_(node.ptr()), outer_(innermost) {
  innermost = this;
}

Serving::~Serving() { innermost = outer_; }

Serving *Serving::of(pybind11::handle node) noexcept {
  for (Serving *serving = innermost; serving; serving = serving->outer_)
    if (serving->node_ == node.ptr())
      return serving;
  return nullptr;
}

bool Serving::serves(pybind11::handle node) noexcept { return of(node) != nullptr; }

bool Serving::close_after_answer(pybind11::handle node) noexcept {
  Serving *serving = of(node);
  if (serving)
    serving->close_ = true;
  return serving != nullptr;
}

} // namespace zul_mew::link
