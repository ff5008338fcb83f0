// Builds real host classes from member tables: each class of the module is a
// table of constants and function objects handed to the metaclass of its bases.
#pragma once

#include "module/kernel/function.hpp"

#include <string>
#include <vector>

namespace zul_mew::kernel {

enum class MemberKind { Method, Static, Property, AbstractMethod, AbstractProperty };

struct Member {
  MemberKind kind;
  FunctionDef function;
};

inline Member method(FunctionDef f) { return {MemberKind::Method, std::move(f)}; }
inline Member static_method(FunctionDef f) { return {MemberKind::Static, std::move(f)}; }
inline Member property(FunctionDef f) { return {MemberKind::Property, std::move(f)}; }
inline Member abstract_method(FunctionDef f) { return {MemberKind::AbstractMethod, std::move(f)}; }
inline Member abstract_property(FunctionDef f) {
  return {MemberKind::AbstractProperty, std::move(f)};
}

struct Constant {
  const char *name;
  enum class Kind { Int, Text } kind;
  long number;
  const char *text;
};

inline Constant int_constant(const char *name, long value) {
  return {name, Constant::Kind::Int, value, nullptr};
}
inline Constant text_constant(const char *name, const char *value) {
  return {name, Constant::Kind::Text, 0, value};
}

struct ClassDef {
  const char *name;
  std::vector<const char *> bases; // names in the module namespace, or built-in classes
  std::vector<Member> members;     // in order of definition
  std::vector<Constant> constants = {};
  const char *doc = nullptr;
};

// Creates the class with the most derived metaclass of its bases and binds it
// in the module namespace.
void build_class(const ClassDef &def, py::handle module_dict);

} // namespace zul_mew::kernel
