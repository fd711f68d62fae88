// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <pybind11/pybind11.h>

#include "orvex/Status.hpp"
#include "orvex/platform/Platform.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

// The library's enumerations cross into Python as members of the enum.Enum classes of
// orvex._enums (same names, same case order), not as pybind11 enum objects, so that they
// behave like every other Python enumeration.

namespace orvex::python {

namespace py = pybind11;

// The member of orvex._enums.<className> with this value.
py::object enumMember(const char* className, int value);
// The value of `source` when it is a member of orvex._enums.<className> (a plain int is
// accepted when `convert` allows it).
bool enumValue(py::handle source, const char* className, bool convert, int& value);

}  // namespace orvex::python

#define ORVEX_PYTHON_ENUM(Type, PyName)                                                 \
    namespace pybind11::detail {                                                        \
    template <>                                                                         \
    struct type_caster<Type> {                                                          \
        PYBIND11_TYPE_CASTER(Type, const_name(PyName));                                 \
        bool load(handle source, bool convert) {                                        \
            int raw = 0;                                                                \
            if (!orvex::python::enumValue(source, PyName, convert, raw)) return false;  \
            value = static_cast<Type>(raw);                                             \
            return true;                                                                \
        }                                                                               \
        static handle cast(Type source, return_value_policy, handle) {                  \
            return orvex::python::enumMember(PyName, static_cast<int>(source)).release(); \
        }                                                                               \
    };                                                                                  \
    }

ORVEX_PYTHON_ENUM(orvex::OrvexBluetoothError, "OrvexBluetoothError")
ORVEX_PYTHON_ENUM(orvex::OrvexConnectionError, "OrvexConnectionError")
ORVEX_PYTHON_ENUM(orvex::OrvexDisconnectionCause, "OrvexDisconnectionCause")
ORVEX_PYTHON_ENUM(orvex::OrvexContactStatus, "OrvexContactStatus")
ORVEX_PYTHON_ENUM(orvex::OrvexDeviceUpdateStatus, "OrvexDeviceUpdateStatus")
ORVEX_PYTHON_ENUM(orvex::platform::ManagerState, "ManagerState")
ORVEX_PYTHON_ENUM(orvex::sim::Clock, "Clock")
ORVEX_PYTHON_ENUM(orvex::sim::SimService, "SimService")
ORVEX_PYTHON_ENUM(orvex::sim::SimReadingFormat, "SimReadingFormat")
