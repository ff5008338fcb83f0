#include "module/kernel/names.hpp"

#include <utility>

namespace zul_mew::kernel {

namespace {

template <std::size_t... index>
std::array<Name, kNameCount> make_names(std::index_sequence<index...>) {
  return {Name(kNameTexts[index].data())...};
}

} // namespace

const std::array<Name, kNameCount> g_names = make_names(std::make_index_sequence<kNameCount>());

} // namespace zul_mew::kernel
