// What the link engine asks of the module's own serial channel beyond the
// Channel operations.
#pragma once

#include <pybind11/pybind11.h>

namespace zul_mew::transport {

// Cancels a read in progress on a MewSerial's port, where the port can; any
// other channel is asked through its own cancel_read, where it has one.
void cancel_read(pybind11::handle channel);

} // namespace zul_mew::transport
