// SPDX-License-Identifier: Apache-2.0
// orvex._core: the library's records, codec, link and simulator, for the orvex package.

#include "Bindings.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled part of the orvex package; import orvex instead.";
    m.attr("__version__") = ORVEX_PYTHON_VERSION;
    orvex::python::bindRecords(m);
    orvex::python::bindSim(m);
    orvex::python::bindLink(m);
    pybind11::module_::import("atexit").attr("register")(m.attr("_close_at_exit"));
}
