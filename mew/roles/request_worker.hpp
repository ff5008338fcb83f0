// The request worker that serves a slave station's requests: the full-duplex
// node and the demo slave run the same one, differing only in how they wait.
#pragma once

#include "module/kernel/host.hpp"

namespace zul_mew::roles {

namespace py = pybind11;

// Starts the worker thread unless one runs; stops and joins it if one runs.
void start_request_worker(py::handle self);
void stop_request_worker(py::handle self);
bool request_worker_stopping(py::handle self);

// Runs `serve` on a fresh request queue registered in the node's query
// listeners, and removes the queue again on every exit.
void run_request_worker(py::handle self, void (*serve)(py::handle self, py::handle request_queue));

// Processes one request and sends its answer, if any. An error of this one
// request is reported in one line naming `node`, and the worker goes on.
void serve_request(py::handle self, py::handle frame, const char *node);

} // namespace zul_mew::roles
