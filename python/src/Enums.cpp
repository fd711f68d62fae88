// SPDX-License-Identifier: Apache-2.0
#include "Enums.hpp"

namespace orvex::python {

namespace {

py::object enumClass(const char* className) {
    return py::module_::import("orvex._enums").attr(className);
}

}  // namespace

py::object enumMember(const char* className, int value) {
    return enumClass(className)(value);
}

bool enumValue(py::handle source, const char* className, bool convert, int& value) {
    const auto cls = enumClass(className);
    if (py::isinstance(source, cls)) {
        value = source.attr("value").cast<int>();
        return true;
    }
    if (!convert || !PyLong_Check(source.ptr())) return false;
    // A plain number must name a member.
    try {
        value = cls(source).attr("value").cast<int>();
    } catch (const py::error_already_set&) {
        return false;
    }
    return true;
}

}  // namespace orvex::python
