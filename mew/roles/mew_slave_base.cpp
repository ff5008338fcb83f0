// MewSlaveBase: turns one request frame into one answer frame.
#include "module/classes.hpp"

namespace zul_mew::roles {

namespace {

using kernel::Args;

py::object nothing(const Args &) { return py::none(); }

} // namespace

const kernel::ClassDef &mew_slave_base_class() {
  using namespace kernel;
  static const ClassDef def{
      "MewSlaveBase",
      {"ABC"},
      {
          abstract_method({"on_get_coil", {self(), arg("name", Type::Text)}, nothing, Type::Bool}),
          abstract_method({"on_get_multi_coil_uint16",
                           {self(), arg("name", Type::Text), arg("count", Type::Int)},
                           nothing,
                           Type::ListOfInt}),
          abstract_method({"on_get_multi_uint16",
                           {self(), arg("name", Type::Text), arg("count", Type::Int)},
                           nothing,
                           Type::ListOfInt}),
          abstract_method({"on_set_coil",
                           {self(), arg("name", Type::Text), arg("value", Type::Bool)},
                           nothing}),
          abstract_method({"on_set_multi_coil_uint16",
                           {self(), arg("name", Type::Text), arg("values", Type::ListOfInt)},
                           nothing}),
          abstract_method({"on_set_multi_uint16",
                           {self(), arg("name", Type::Text), arg("values", Type::ListOfInt)},
                           nothing}),
      }};
  return def;
}

} // namespace zul_mew::roles
