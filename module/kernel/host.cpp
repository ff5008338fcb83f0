#include "module/kernel/host.hpp"
#include "module/kernel/names.hpp"

#include <cstdarg>
#include <stdexcept>

namespace zul_mew::kernel {

namespace {
PyObject *g_module_dict = nullptr;
PyObject *g_builtins = nullptr;
int g_assertions = -1;
} // namespace

void set_module_namespace(py::handle module_dict) {
  g_module_dict = module_dict.inc_ref().ptr();
  g_builtins = PyImport_ImportModule("builtins");
  if (!g_builtins)
    raise_pending();
  py::object flags = py::module_::import("sys").attr("flags");
  g_assertions = flags.attr("optimize").cast<int>() == 0;
}

py::object module_global(py::handle name) {
  PyObject *value = PyDict_GetItemWithError(g_module_dict, name.ptr());
  if (value)
    return py::reinterpret_borrow<py::object>(value);
  if (!PyErr_Occurred())
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
  raise_pending();
}

py::object module_global(const char *name) {
  py::object key = steal(PyUnicode_FromString(name));
  PyObject *value = PyDict_GetItemWithError(g_module_dict, key.ptr());
  if (value)
    return py::reinterpret_borrow<py::object>(value);
  if (!PyErr_Occurred())
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  raise_pending();
}

void print(py::handle text) {
  py::object host_print = steal(PyObject_GetAttr(g_builtins, ID(print).ptr()));
  host_print(text);
}

bool assertions_enabled() { return g_assertions != 0; }

void raise(PyObject *type, const char *message) {
  PyErr_SetString(type, message);
  throw py::error_already_set();
}

py::str format(const char *format, ...) {
  va_list values;
  va_start(values, format);
  PyObject *text = PyUnicode_FromFormatV(format, values);
  va_end(values);
  return steal(text);
}

void raise(PyObject *type, py::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

void raise_bare(PyObject *type) {
  PyErr_SetNone(type);
  throw py::error_already_set();
}

void raise_pending() { throw py::error_already_set(); }

void raise_object(py::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void raise_failure(py::handle kind, py::handle message) {
  raise_object(module_global(kind)(message));
}

void raise_failure(py::handle kind, const char *message) {
  raise_failure(kind, steal(PyUnicode_FromString(message)));
}

void set_argument_type_error(const char *name, PyObject *value) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, "str",
               Py_TYPE(value)->tp_name);
}

py::object call_waiting(py::handle self, py::handle method, std::initializer_list<py::handle> args,
                        py::handle keywords) {
  constexpr std::size_t kMostArgs = 3;
  PyObject *slots[1 + kMostArgs] = {self.ptr()};
  std::size_t count = 1;
  if (args.size() > kMostArgs)
    throw std::invalid_argument("too many arguments for a waiting call");
  for (py::handle arg : args)
    slots[count++] = arg.ptr();
  std::size_t named = keywords ? static_cast<std::size_t>(PyTuple_GET_SIZE(keywords.ptr())) : 0;
  return steal(call_method_waiting(method.ptr(), slots, count - named, keywords.ptr()));
}

py::handle keywords(std::initializer_list<py::handle> names) {
  py::tuple tuple(names.size());
  std::size_t i = 0;
  for (py::handle name : names)
    tuple[i++] = name;
  // Kept for the life of the module, like the names themselves.
  return tuple.release();
}

py::object call(py::handle callable, std::initializer_list<py::handle> args, py::handle keywords) {
  constexpr std::size_t kMostArgs = 3;
  PyObject *slots[kMostArgs];
  std::size_t count = 0;
  if (args.size() > kMostArgs)
    throw std::invalid_argument("too many arguments for a call");
  for (py::handle arg : args)
    slots[count++] = arg.ptr();
  std::size_t named = keywords ? static_cast<std::size_t>(PyTuple_GET_SIZE(keywords.ptr())) : 0;
  return steal(PyObject_Vectorcall(callable.ptr(), slots, count - named, keywords.ptr()));
}

void acquire(py::handle lock) { call_waiting(lock, ID(acquire)); }

void release(py::handle lock) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject *result = PyObject_CallMethodNoArgs(lock.ptr(), ID(release).ptr());
  if (result)
    Py_DECREF(result);
  else
    PyErr_WriteUnraisable(lock.ptr());
  PyErr_Restore(type, value, traceback);
}

} // namespace zul_mew::kernel
