// The module's function object: a C++ body behind a Python-function face.
#pragma once

#include "module/kernel/body.hpp"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

namespace zul_mew::kernel {

namespace py = pybind11;

// Declared types, shown to the host as annotations; only Text is checked on entry.
enum class Type { Undeclared, Text, Int, Bool, Float, ListOfInt };

enum class ParamKind { Normal, VarArgs, VarKw };

struct Default {
  enum class Kind { Required, None, Int, Float } kind = Kind::Required;
  double value = 0;
};

struct Param {
  const char *name;
  Type type = Type::Undeclared;
  Default fallback = {};
  ParamKind kind = ParamKind::Normal;
};

inline Param arg(const char *name, Type type = Type::Undeclared) { return {name, type}; }
inline Param arg_none(const char *name, Type type = Type::Undeclared) {
  return {name, type, {Default::Kind::None}};
}
inline Param arg_int(const char *name, long value, Type type = Type::Undeclared) {
  return {name, type, {Default::Kind::Int, static_cast<double>(value)}};
}
inline Param arg_float(const char *name, double value, Type type = Type::Undeclared) {
  return {name, type, {Default::Kind::Float, value}};
}
inline Param var_args(const char *name) { return {name, Type::Undeclared, {}, ParamKind::VarArgs}; }
inline Param var_kw(const char *name) { return {name, Type::Undeclared, {}, ParamKind::VarKw}; }
inline Param self() { return arg("self"); }

struct FunctionDef {
  const char *name;
  std::vector<Param> params;
  Body body;
  Type result = Type::Undeclared;
};

// Creates a function object for `def`; `qualname` is "Class.name".
py::object make_function(const FunctionDef &def, const char *qualname);

// Creates the function type; called once at import.
void init_function_type();

} // namespace zul_mew::kernel
