// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <pybind11/pybind11.h>

// One function per area binds its part of orvex._core.

namespace orvex::python {

namespace py = pybind11;

void bindRecords(py::module_& module);
void bindLink(py::module_& module);
void bindSim(py::module_& module);

}  // namespace orvex::python
