// Channel: the byte channel every node reaches its line through.
#include "module/classes.hpp"

namespace zul_mew::transport {

const kernel::ClassDef &channel_class() {
  using namespace kernel;
  static const ClassDef def{
      "Channel",
      {"ABC"},
      {
          abstract_method({"read", {self(), arg_int("size", 1, Type::Int)}, nothing, Type::Text}),
          abstract_method({"receive_frame", {self()}, nothing, Type::Text}),
          abstract_method({"send_frame", {self(), arg("data", Type::Text)}, nothing}),
          abstract_property({"in_waiting", {self()}, nothing, Type::Int}),
          method({"close", {self()}, nothing}),
          method({"flush_input", {self()}, nothing}),
          method({"flush_output", {self()}, nothing}),
      }};
  return def;
}

} // namespace zul_mew::transport
