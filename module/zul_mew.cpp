// The module's entry point: binds the host names, the constants and the
// classes in the order the import has always bound them, then the failures.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"
#include "module/kernel/names.hpp"

#include <exception>

namespace zul_mew {

namespace {

using kernel::ClassDef;

void bind_from(py::handle ns, const char *module, std::initializer_list<const char *> names) {
  py::object source = py::module_::import(module);
  for (const char *name : names)
    ns[name] = source.attr(name);
}

void build(py::handle ns, std::initializer_list<const ClassDef *> classes) {
  for (const ClassDef *def : classes)
    kernel::build_class(*def, ns);
}

void populate(py::module_ module) {
  py::dict ns = module.attr("__dict__");
  kernel::intern_names();
  kernel::set_module_namespace(ns);
  kernel::init_function_type();
  bind_from(ns, "serial", {"Serial"});
  bind_from(ns, "threading", {"Lock", "Thread"});
  bind_from(ns, "struct", {"pack", "unpack"});
  bind_from(ns, "time", {"sleep"});
  bind_from(ns, "typing", {"List", "Union"});
  bind_from(ns, "queue", {"Queue", "Empty"});
  bind_from(ns, "abc", {"ABC", "abstractmethod"});
  ns["_random"] = py::module_::import("random");
  build(ns,
        {&codec::mew_static_class(), &transport::channel_class(), &transport::mew_serial_class(),
         &link::mew_base_class(), &roles::mew_slave_base_class(), &roles::mew_master_base_class(),
         &roles::mew_master_class(), &roles::mew_full_duplex_class()});
  ns["INST_TYPE_UNKNOWN"] = 0;
  ns["INST_TYPE_XY"] = 1;
  ns["INST_TYPE_Axis"] = 2;
  ns["INST_TYPE_AD"] = 3;
  build(ns, {&inst::inst_class(), &inst::inst_unknown_class(), &inst::x16_class(),
             &inst::y16_class(), &inst::inst_xy_class(), &inst::inst_axis_class(),
             &inst::inst_ad_class(), &inst::inst_x_list_class(), &inst::inst_wx_list_class(),
             &inst::inst_y_list_class(), &inst::inst_wy_list_class(), &inst::inst_manager_class(),
             &demo::random_mew_slave_demo_class()});
  for (const ClassDef &def : failure_classes())
    kernel::build_class(def, ns);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zul_mew", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

} // namespace

} // namespace zul_mew

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_zul_mew() {
  PyObject *module = PyModule_Create(&zul_mew::module_def);
  if (!module)
    return nullptr;
  try {
    zul_mew::populate(pybind11::reinterpret_borrow<pybind11::module_>(module));
  } catch (pybind11::error_already_set &error) {
    error.restore();
    Py_DECREF(module);
    return nullptr;
  } catch (const std::exception &error) {
    PyErr_SetString(PyExc_ImportError, error.what());
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
