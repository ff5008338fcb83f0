// Every class of the module, in the order the import creates them.
#pragma once

#include "module/kernel/class_builder.hpp"

namespace zul_mew {

namespace py = pybind11;

namespace codec {
const kernel::ClassDef &mew_static_class();
}
namespace transport {
const kernel::ClassDef &channel_class();
const kernel::ClassDef &mew_serial_class();
} // namespace transport
namespace link {
const kernel::ClassDef &mew_base_class();
}
namespace roles {
const kernel::ClassDef &mew_slave_base_class();
const kernel::ClassDef &mew_master_base_class();
const kernel::ClassDef &mew_master_class();
const kernel::ClassDef &mew_full_duplex_class();
} // namespace roles
namespace inst {
const kernel::ClassDef &inst_class();
const kernel::ClassDef &inst_unknown_class();
const kernel::ClassDef &x16_class();
const kernel::ClassDef &y16_class();
const kernel::ClassDef &inst_xy_class();
const kernel::ClassDef &inst_axis_class();
const kernel::ClassDef &inst_ad_class();
const kernel::ClassDef &inst_x_list_class();
const kernel::ClassDef &inst_wx_list_class();
const kernel::ClassDef &inst_y_list_class();
const kernel::ClassDef &inst_wy_list_class();
const kernel::ClassDef &inst_manager_class();
} // namespace inst
namespace demo {
const kernel::ClassDef &random_mew_slave_demo_class();
}

// MewError and the kinds of failure under it, in the order of their creation.
const std::vector<kernel::ClassDef> &failure_classes();

} // namespace zul_mew
