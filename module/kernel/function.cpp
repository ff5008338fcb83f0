#include "module/kernel/function.hpp"

#include "module/kernel/host.hpp"
#include "module/kernel/names.hpp"
#include "module/kernel/thread_exit.hpp"

#include <structmember.h>

#include <array>
#include <cstdint>
#include <exception>

namespace zul_mew::kernel {

namespace {

// How a call's arguments reach the parameters, worked out once per function.
struct Shape {
  std::size_t positional = 0; // parameters filled by position
  int var_args = -1;
  int var_kw = -1;
  std::uint32_t text = 0; // bit i: parameter i is declared as text
  // Every parameter is positional: a call with all of them by position
  // binds by handing on the caller's argument array.
  bool plain() const { return var_args < 0 && var_kw < 0; }
};

Shape shape_of(const FunctionDef &def) {
  Shape shape;
  for (std::size_t i = 0; i < def.params.size(); ++i) {
    switch (def.params[i].kind) {
    case ParamKind::Normal:
      if (def.params[i].type == Type::Text)
        shape.text |= 1u << i;
      if (shape.var_args < 0)
        shape.positional = i + 1;
      break;
    case ParamKind::VarArgs:
      shape.var_args = static_cast<int>(i);
      break;
    case ParamKind::VarKw:
      shape.var_kw = static_cast<int>(i);
      break;
    }
  }
  return shape;
}

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionDef *def;
  Shape shape;
  PyObject *dict;
  PyObject *name;
  PyObject *qualname;
  PyObject *module;
  PyObject *doc;
  PyObject *annotations;
  PyObject *param_names; // tuple of interned names, parameter order
  PyObject *defaults;    // tuple, parameter order; None also for required ones
  PyObject *signature;   // built at its first look-up, then kept
};

PyTypeObject *g_function_type = nullptr;
constexpr std::size_t kMaxParams = 8;

int find_param(FunctionObject *f, PyObject *key) {
  PyObject *names = f->param_names;
  Py_ssize_t count = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < count; ++i)
    if (PyTuple_GET_ITEM(names, i) == key)
      return static_cast<int>(i);
  for (Py_ssize_t i = 0; i < count; ++i) {
    int equal = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key);
    if (equal == 0)
      return static_cast<int>(i);
  }
  return -1;
}

bool is_named(const FunctionDef &def, int index) {
  return index >= 0 && def.params[index].kind == ParamKind::Normal;
}

bool check_text_arguments(FunctionObject *f, PyObject *const *slots) {
  const FunctionDef &def = *f->def;
  for (std::size_t i = 0; i < def.params.size(); ++i) {
    PyObject *value = slots[i];
    if (!(f->shape.text & (1u << i)) || value == Py_None || PyUnicode_Check(value))
      continue;
    set_argument_type_error(def.params[i].name, value);
    return false;
  }
  return true;
}

// Sorts positional and keyword arguments into the parameter slots. On success
// `owned` holds the *args tuple and the **kwargs dict that the slots borrow.
bool bind_arguments(FunctionObject *f, PyObject *const *args, std::size_t nargs, PyObject *kwnames,
                    PyObject **slots, std::array<PyObject *, 2> &owned) {
  const FunctionDef &def = *f->def;
  const Shape &shape = f->shape;
  if (nargs > shape.positional && shape.var_args < 0) {
    PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zu %s given",
                 f->qualname, shape.positional, shape.positional == 1 ? "" : "s", nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }
  std::size_t taken = nargs < shape.positional ? nargs : shape.positional;
  for (std::size_t i = 0; i < taken; ++i)
    slots[i] = args[i];
  if (shape.var_args >= 0) {
    owned[0] = PyTuple_New(static_cast<Py_ssize_t>(nargs - taken));
    if (!owned[0])
      return false;
    for (std::size_t i = taken; i < nargs; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(owned[0], static_cast<Py_ssize_t>(i - taken), args[i]);
    }
    slots[shape.var_args] = owned[0];
  }
  if (shape.var_kw >= 0) {
    owned[1] = PyDict_New();
    if (!owned[1])
      return false;
    slots[shape.var_kw] = owned[1];
  }
  Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    PyObject *value = args[nargs + static_cast<std::size_t>(k)];
    int index = find_param(f, key);
    if (is_named(def, index) && static_cast<std::size_t>(index) < def.params.size()) {
      bool by_position = shape.var_args < 0 || index < shape.var_args;
      if (slots[index] && by_position) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname,
                     key);
        return false;
      }
      slots[index] = value;
      continue;
    }
    if (shape.var_kw < 0) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname,
                   key);
      return false;
    }
    if (PyDict_SetItem(owned[1], key, value) < 0)
      return false;
  }
  for (std::size_t i = 0; i < def.params.size(); ++i) {
    if (slots[i])
      continue;
    PyObject *fallback = PyTuple_GET_ITEM(f->defaults, static_cast<Py_ssize_t>(i));
    if (fallback == Py_None && def.params[i].fallback.kind == Default::Kind::Required) {
      PyErr_Format(PyExc_TypeError, "%U() missing required argument '%s'", f->qualname,
                   def.params[i].name);
      return false;
    }
    slots[i] = fallback;
  }
  return check_text_arguments(f, slots);
}

// A call by position that leaves out only parameters with defaults binds
// without the keyword machinery.
bool fill_from_defaults(FunctionObject *f, PyObject *const *args, std::size_t nargs,
                        PyObject **slots) {
  const FunctionDef &def = *f->def;
  if (nargs > def.params.size())
    return false;
  for (std::size_t i = nargs; i < def.params.size(); ++i)
    if (def.params[i].fallback.kind == Default::Kind::Required)
      return false;
  for (std::size_t i = 0; i < nargs; ++i)
    slots[i] = args[i];
  for (std::size_t i = nargs; i < def.params.size(); ++i)
    slots[i] = PyTuple_GET_ITEM(f->defaults, static_cast<Py_ssize_t>(i));
  return true;
}

PyObject *call_body(FunctionObject *f, PyObject *const *slots) {
  try {
    return f->def->body(Args(slots, f->def->params.size())).release().ptr();
  } catch (py::error_already_set &error) {
    error.restore();
  } catch (py::builtin_exception &error) {
    error.set_error();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  }
#ifdef ZUL_MEW_FORCED_UNWIND
  // The thread's end at interpreter exit is no error of the call.
  catch (abi::__forced_unwind &) {
    throw;
  }
#endif
  catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  return nullptr;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
  auto *f = reinterpret_cast<FunctionObject *>(callable);
  std::size_t nargs = PyVectorcall_NARGS(nargsf);
  if (!kwnames && f->shape.plain() && nargs == f->def->params.size()) {
    if (!check_text_arguments(f, args))
      return nullptr;
    return call_body(f, args);
  }
  std::array<PyObject *, kMaxParams> slots{};
  if (!kwnames && f->shape.plain() && fill_from_defaults(f, args, nargs, slots.data()))
    return check_text_arguments(f, slots.data()) ? call_body(f, slots.data()) : nullptr;
  std::array<PyObject *, 2> owned{};
  PyObject *result = nullptr;
  if (bind_arguments(f, args, nargs, kwnames, slots.data(), owned))
    result = call_body(f, slots.data());
  Py_XDECREF(owned[0]);
  Py_XDECREF(owned[1]);
  return result;
}

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) {
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, instance);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
  auto *f = reinterpret_cast<FunctionObject *>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->signature);
  return 0;
}

// Breaks the cycles the host can make through the writable fields. The names
// and defaults hold only text and numbers and take part in no cycle; they stay
// until the object goes, because host code running while a cycle is collected
// can still reach a cleared object, and its calls, repr and errors read them.
int function_clear(PyObject *self) {
  auto *f = reinterpret_cast<FunctionObject *>(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->signature);
  return 0;
}

void function_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  auto *f = reinterpret_cast<FunctionObject *>(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->param_names);
  Py_CLEAR(f->defaults);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
  auto *f = reinterpret_cast<FunctionObject *>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

py::object annotation_of(Type type) {
  switch (type) {
  case Type::Text:
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyUnicode_Type));
  case Type::Int:
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyLong_Type));
  case Type::Bool:
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBool_Type));
  case Type::Float:
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyFloat_Type));
  case Type::ListOfInt:
    return module_global(
        ID(List))[py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyLong_Type))];
  case Type::Undeclared:
    break;
  }
  return py::none();
}

py::object default_of(const Param &param) {
  switch (param.fallback.kind) {
  case Default::Kind::Int:
    return py::int_(static_cast<long>(param.fallback.value));
  case Default::Kind::Float:
    return py::float_(param.fallback.value);
  case Default::Kind::None:
  case Default::Kind::Required:
    break;
  }
  return py::none();
}

// inspect.signature reads this: the parameters with their kinds, defaults and
// declared types.
py::object signature_of(const FunctionDef &def) {
  py::object inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object empty = parameter.attr("empty");
  py::list params;
  bool keyword_only = false;
  for (const Param &param : def.params) {
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    if (param.kind == ParamKind::VarArgs) {
      kind = parameter.attr("VAR_POSITIONAL");
      keyword_only = true;
    } else if (param.kind == ParamKind::VarKw) {
      kind = parameter.attr("VAR_KEYWORD");
    } else if (keyword_only) {
      kind = parameter.attr("KEYWORD_ONLY");
    }
    py::dict options;
    if (param.type != Type::Undeclared)
      options["annotation"] = annotation_of(param.type);
    if (param.fallback.kind != Default::Kind::Required)
      options["default"] = default_of(param);
    params.append(parameter(param.name, kind, **options));
  }
  py::object result = def.result == Type::Undeclared ? empty : annotation_of(def.result);
  return inspect.attr("Signature")(params, py::arg("return_annotation") = result);
}

PyObject *function_get_signature(PyObject *self, void *) {
  auto *f = reinterpret_cast<FunctionObject *>(self);
  if (!f->signature) {
    try {
      f->signature = signature_of(*f->def).release().ptr();
    } catch (py::error_already_set &error) {
      error.restore();
      return nullptr;
    }
  }
  Py_INCREF(f->signature);
  return f->signature;
}

// The names appear in every argument error and in the repr, so like a host
// function's they stay text: assigning anything else or deleting them fails.
int set_text(PyObject *&field, PyObject *value, const char *member) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", member);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(field, value);
  return 0;
}

PyObject *get_text(PyObject *field) {
  Py_INCREF(field);
  return field;
}

PyObject *function_get_name(PyObject *self, void *) {
  return get_text(reinterpret_cast<FunctionObject *>(self)->name);
}

int function_set_name(PyObject *self, PyObject *value, void *) {
  return set_text(reinterpret_cast<FunctionObject *>(self)->name, value, "__name__");
}

PyObject *function_get_qualname(PyObject *self, void *) {
  return get_text(reinterpret_cast<FunctionObject *>(self)->qualname);
}

int function_set_qualname(PyObject *self, PyObject *value, void *) {
  return set_text(reinterpret_cast<FunctionObject *>(self)->qualname, value, "__qualname__");
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot function_slots[] = {{Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                                {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
                                {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
                                {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
                                {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
                                {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
                                {Py_tp_members, function_members},
                                {Py_tp_getset, function_getset},
                                {0, nullptr}};

PyType_Spec function_spec = {"zul_mew.function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR,
                             function_slots};

} // namespace

void init_function_type() {
  g_function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
  if (!g_function_type)
    raise_pending();
  // Only make_function gives an object its body and names; one the host made
  // itself would have none, so the host makes none, as with its own builtin
  // functions.
  g_function_type->tp_new = nullptr;
  PyType_Modified(g_function_type);
}

py::object make_function(const FunctionDef &def, const char *qualname) {
  if (def.params.size() > kMaxParams)
    raise(PyExc_SystemError, "too many parameters");
  py::tuple names(def.params.size());
  py::tuple defaults(def.params.size());
  py::dict annotations;
  for (std::size_t i = 0; i < def.params.size(); ++i) {
    const Param &param = def.params[i];
    names[i] = steal(PyUnicode_InternFromString(param.name));
    defaults[i] = default_of(param);
    if (param.type != Type::Undeclared)
      annotations[param.name] = annotation_of(param.type);
  }
  if (def.result != Type::Undeclared)
    annotations["return"] = annotation_of(def.result);
  py::object name = steal(PyUnicode_InternFromString(def.name));
  py::object full_name = steal(PyUnicode_FromString(qualname));
  py::object module = steal(PyUnicode_InternFromString("zul_mew"));

  // Every field is whole before the collector can see the object.
  auto *f = PyObject_GC_New(FunctionObject, g_function_type);
  if (!f)
    raise_pending();
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->shape = shape_of(def);
  f->dict = nullptr;
  f->name = name.release().ptr();
  f->qualname = full_name.release().ptr();
  f->module = module.release().ptr();
  f->doc = py::none().release().ptr();
  f->annotations = annotations.release().ptr();
  f->param_names = names.release().ptr();
  f->defaults = defaults.release().ptr();
  f->signature = nullptr;
  PyObject_GC_Track(f);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

} // namespace zul_mew::kernel
