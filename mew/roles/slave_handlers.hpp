// The six handlers a slave answers requests with. Every role that answers
// requests declares them with the same parameters; only their bodies differ.
#pragma once

#include "module/kernel/class_builder.hpp"

#include <vector>

namespace zul_mew::roles {

struct SlaveHandlerBodies {
  kernel::Body get_coil;
  kernel::Body get_multi_coil_uint16;
  kernel::Body get_multi_uint16;
  kernel::Body set_coil;
  kernel::Body set_multi_coil_uint16;
  kernel::Body set_multi_uint16;
};

// `members` followed by the six handlers, each declared by `as` (a method, or
// an abstract method).
std::vector<kernel::Member> with_slave_handlers(std::vector<kernel::Member> members,
                                                kernel::Member (*as)(kernel::FunctionDef),
                                                const SlaveHandlerBodies &bodies);

} // namespace zul_mew::roles
