// The six handlers a slave answers requests with, declared once for every role.
#include "mew/roles/slave_handlers.hpp"

namespace zul_mew::roles {

std::vector<kernel::Member> with_slave_handlers(std::vector<kernel::Member> members,
                                                kernel::Member (*as)(kernel::FunctionDef),
                                                const SlaveHandlerBodies &bodies) {
  using kernel::arg;
  using kernel::self;
  using kernel::Type;
  members.push_back(
      as({"on_get_coil", {self(), arg("name", Type::Text)}, bodies.get_coil, Type::Bool}));
  members.push_back(as({"on_get_multi_coil_uint16",
                        {self(), arg("name", Type::Text), arg("count", Type::Int)},
                        bodies.get_multi_coil_uint16,
                        Type::ListOfInt}));
  members.push_back(as({"on_get_multi_uint16",
                        {self(), arg("name", Type::Text), arg("count", Type::Int)},
                        bodies.get_multi_uint16,
                        Type::ListOfInt}));
  members.push_back(as({"on_set_coil",
                        {self(), arg("name", Type::Text), arg("value", Type::Bool)},
                        bodies.set_coil}));
  members.push_back(as({"on_set_multi_coil_uint16",
                        {self(), arg("name", Type::Text), arg("values", Type::ListOfInt)},
                        bodies.set_multi_coil_uint16}));
  members.push_back(as({"on_set_multi_uint16",
                        {self(), arg("name", Type::Text), arg("values", Type::ListOfInt)},
                        bodies.set_multi_uint16}));
  return members;
}

} // namespace zul_mew::roles
