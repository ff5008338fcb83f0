#include "module/kernel/names.hpp"

#include "module/kernel/host.hpp"

namespace zul_mew::kernel {

PyObject *g_names[kNameCount] = {};

void intern_names() {
  for (std::size_t i = 0; i < kNameCount; ++i) {
    if (g_names[i])
      continue;
    g_names[i] = PyUnicode_InternFromString(kNameTexts[i].data());
    if (!g_names[i])
      raise_pending();
  }
}

} // namespace zul_mew::kernel
