#include "module/kernel/class_builder.hpp"

#include "module/kernel/host.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::kernel {

namespace {

py::object constant_value(const Constant &constant) {
  if (constant.kind == Constant::Kind::Int)
    return py::int_(constant.number);
  return py::str(constant.text);
}

py::object wrap_member(const Member &member, py::object function, py::handle builtins) {
  switch (member.kind) {
  case MemberKind::Method:
    return function;
  case MemberKind::Static:
    return builtins["staticmethod"](function);
  case MemberKind::Property:
    return builtins["property"](function);
  case MemberKind::AbstractMethod:
    return module_global(ID(abstractmethod))(function);
  case MemberKind::AbstractProperty:
    return builtins["property"](module_global(ID(abstractmethod))(function));
  }
  return function;
}

// A body that takes other parameters than its table declares would read
// slots the call never filled: such a class is refused at import.
void check_arity(const FunctionDef &function, const std::string &qualname) {
  std::size_t arity = function.body.arity();
  if (arity == Body::kAnyArity || arity == function.params.size())
    return;
  PyErr_Format(PyExc_SystemError, "%s() takes %zu parameters, its member table declares %zu",
               qualname.c_str(), arity, function.params.size());
  raise_pending();
}

// The metaclass the host would pick: the most derived type of the bases.
py::handle metaclass_of(const py::tuple &bases) {
  PyTypeObject *winner = &PyType_Type;
  for (py::handle base : bases) {
    PyTypeObject *candidate = Py_TYPE(base.ptr());
    if (PyType_IsSubtype(winner, candidate))
      continue;
    if (!PyType_IsSubtype(candidate, winner))
      raise(PyExc_TypeError, "metaclass conflict");
    winner = candidate;
  }
  return reinterpret_cast<PyObject *>(winner);
}

// A base is a class of the module, or one of the host's built-in classes
// (IOError for the module's failures).
py::object base_named(const char *name, py::handle module_dict, py::handle builtins) {
  if (module_dict.contains(name))
    return module_global(name);
  return builtins[name];
}

} // namespace

void build_class(const ClassDef &def, py::handle module_dict) {
  py::dict builtins = py::module_::import("builtins").attr("__dict__");
  py::dict ns;
  ns["__module__"] = "zul_mew";
  ns["__qualname__"] = def.name;
  if (def.doc)
    ns["__doc__"] = py::str(def.doc);
  for (const Constant &constant : def.constants)
    ns[constant.name] = constant_value(constant);
  for (const Member &member : def.members) {
    std::string qualname = std::string(def.name) + "." + member.function.name;
    check_arity(member.function, qualname);
    py::object function = make_function(member.function, qualname.c_str());
    ns[member.function.name] = wrap_member(member, function, builtins);
  }
  py::tuple bases(def.bases.size());
  for (std::size_t i = 0; i < def.bases.size(); ++i)
    bases[i] = base_named(def.bases[i], module_dict, builtins);
  py::handle metaclass = metaclass_of(bases);
  py::object cls = metaclass(def.name, bases, ns);
  module_dict[def.name] = cls;
}

} // namespace zul_mew::kernel
