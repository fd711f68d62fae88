// SPDX-License-Identifier: Apache-2.0
// The simulated platform and the simulated reader with their knobs.

#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "Bindings.hpp"
#include "Enums.hpp"
#include "Runtime.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

namespace orvex::python {

namespace {

using sim::SimPlatform;

// A simulated reader that can also vanish: stop advertising and drop its connection, as a
// reader does when it is switched off or carried out of range.
class PySimReader : public sim::SimReader {
public:
    using sim::SimReader::SimReader;

    void attached(std::shared_ptr<sim::SimDeviceContext> context) override {
        {
            std::lock_guard lock(mutex_);
            context_ = context;
        }
        sim::SimReader::attached(std::move(context));
    }

    void vanish() {
        std::shared_ptr<sim::SimDeviceContext> context;
        {
            std::lock_guard lock(mutex_);
            context = context_;
        }
        if (!context) return;
        context->setAdvertising(false);
        context->disconnect();
    }

private:
    std::mutex mutex_;
    std::shared_ptr<sim::SimDeviceContext> context_;
};

py::bytes toBytes(const std::vector<std::uint8_t>& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// Keyword construction for the plain knob structs: SimTag(type=4, country=999, ...).
template <class T>
T fromKeywords(const py::kwargs& keywords) {
    py::object object = py::cast(T{});
    for (const auto& item : keywords) {
        const auto name = py::str(item.first).cast<std::string>();
        if (!py::hasattr(object, name.c_str()) || name.starts_with("_")) {
            throw py::type_error("unexpected keyword argument '" + name + "'");
        }
        object.attr(item.first) = item.second;
    }
    return py::cast<T>(object);
}

template <class T>
std::string fieldsRepr(const char* name, const T& value, std::initializer_list<const char*> fields) {
    py::object object = py::cast(value);
    std::string text = std::string(name) + "(";
    bool first = true;
    for (const char* field : fields) {
        if (!first) text += ", ";
        first = false;
        text += std::string(field) + "=" + py::cast<std::string>(py::repr(object.attr(field)));
    }
    return text + ")";
}

// Dropping the last Python reference to a platform stops its loop thread, which may be
// waiting for the GIL inside a Python callback: let go of the GIL while it stops.
std::shared_ptr<SimPlatform> makePlatform(sim::Clock clock) {
    return std::shared_ptr<SimPlatform>(new SimPlatform(clock), [](SimPlatform* platform) {
        if (!Runtime::closing() && PyGILState_Check()) {
            py::gil_scoped_release release;
            delete platform;
        } else {
            delete platform;
        }
    });
}

}  // namespace

void bindSim(py::module_& m) {
    using Release = py::call_guard<py::gil_scoped_release>;

    py::class_<platform::Platform, std::shared_ptr<platform::Platform>>(
        m, "Platform", "A Bluetooth platform a link runs on (the simulator, BlueZ).")
        .def_property_readonly(
            "now", [](platform::Platform& p) { return p.now(); },
            "The platform's clock, in seconds.");

    py::class_<sim::DeviceTiming>(m, "DeviceTiming",
                                  "How long a simulated peripheral takes to answer, in seconds.")
        .def(py::init(&fromKeywords<sim::DeviceTiming>))
        .def_readwrite("connect_delay", &sim::DeviceTiming::connectDelay, "connect() to the connection.")
        .def_readwrite("discovery_delay", &sim::DeviceTiming::discoveryDelay,
                       "A discovery request to its result.")
        .def_readwrite("advertise_delay", &sim::DeviceTiming::advertiseDelay,
                       "The start of a scan to the peripheral's discovery.")
        .def("__repr__", [](const sim::DeviceTiming& t) {
            return fieldsRepr("DeviceTiming", t,
                              {"connect_delay", "discovery_delay", "advertise_delay"});
        });

    py::class_<sim::SimTag>(m, "SimTag", "A transponder the simulated reader can have in its field.")
        .def(py::init(&fromKeywords<sim::SimTag>))
        .def_readwrite("type", &sim::SimTag::type, "Raw type value (4 is FDX-B, the only type with a contact).")
        .def_readwrite("country", &sim::SimTag::country, "Country code, 0 to 999.")
        .def_readwrite("national_number", &sim::SimTag::nationalNumber,
                       "National number (keep it below 10**12).")
        .def_property(
            "contact",
            [](const sim::SimTag& t) -> py::object {
                if (!t.contact) return py::none();
                return toBytes(*t.contact);
            },
            [](sim::SimTag& t, std::optional<py::bytes> bytes) {
                if (!bytes) {
                    t.contact.reset();
                    return;
                }
                const std::string text = *bytes;
                t.contact = std::vector<std::uint8_t>(text.begin(), text.end());
            },
            "The 24-byte contact record stored on the tag (see Contact.encode), or None.")
        .def_readwrite("writable", &sim::SimTag::writable, "Whether a contact write is accepted.")
        .def_property_readonly("id", &sim::SimTag::id, "The identifier as the link prints it.")
        .def("__repr__", [](const sim::SimTag& t) {
            return fieldsRepr("SimTag", t, {"type", "country", "national_number", "contact", "writable"});
        });

    py::class_<sim::SimFaults>(m, "SimFaults",
                               "Faults injected into the conversation (repeatable from `random_start`).")
        .def(py::init(&fromKeywords<sim::SimFaults>))
        .def_readwrite("drop_rate", &sim::SimFaults::dropRate, "Fraction of answers never sent.")
        .def_readwrite("duplicate_rate", &sim::SimFaults::duplicateRate, "Fraction of answers sent twice.")
        .def_readwrite("garbage_rate", &sim::SimFaults::garbageRate,
                       "Fraction of answers preceded by a notification of `garbage_bytes`.")
        .def_property(
            "garbage_bytes", [](const sim::SimFaults& f) { return toBytes(f.garbageBytes); },
            [](sim::SimFaults& f, const py::bytes& bytes) {
                const std::string text = bytes;
                f.garbageBytes.assign(text.begin(), text.end());
            },
            "The bytes of a garbage notification.")
        .def_readwrite("random_start", &sim::SimFaults::randomStart, "Start value of the fault generator.")
        .def_readwrite("ignore_pings", &sim::SimFaults::ignorePings, "Leave keep-alive pings unanswered.")
        .def_readwrite("disconnect_at_frame", &sim::SimFaults::disconnectAtFrame,
                       "Drop the connection when the Nth frame arrives (once).")
        .def_readwrite("disconnect_at_slice", &sim::SimFaults::disconnectAtSlice,
                       "Drop the connection when the Nth micro-app slice arrives (once).")
        .def_readwrite("disconnect_on_contact_write", &sim::SimFaults::disconnectOnContactWrite,
                       "Drop the connection when a contact write arrives (once).")
        .def("__repr__", [](const sim::SimFaults& f) {
            return fieldsRepr("SimFaults", f,
                              {"drop_rate", "duplicate_rate", "garbage_rate", "random_start",
                               "ignore_pings", "disconnect_at_frame", "disconnect_at_slice",
                               "disconnect_on_contact_write"});
        });

    py::class_<sim::SimReaderConfig>(
        m, "SimReaderConfig",
        "Everything that makes one simulated reader. List fields are copied in and out:\n"
        "assign a new list rather than changing the one read.")
        .def(py::init(&fromKeywords<sim::SimReaderConfig>))
        .def_readwrite("name", &sim::SimReaderConfig::name, "Advertised name.")
        .def_readwrite("address", &sim::SimReaderConfig::address,
                       "Identifier on the platform (\"AA:BB:CC:DD:EE:FF\"); empty: one is made up.")
        .def_readwrite("service", &sim::SimReaderConfig::service, "GATT layout (SimService).")
        .def_readwrite("version", &sim::SimReaderConfig::version, "Version text the reader reports.")
        .def_readwrite("battery_raw", &sim::SimReaderConfig::batteryRaw, "Raw battery byte (134 is full).")
        .def_readwrite("tags", &sim::SimReaderConfig::tags, "The tags known to the reader.")
        .def_readwrite("tag_in_field", &sim::SimReaderConfig::tagInField,
                       "Index into `tags` of the tag in the field, or None.")
        .def_readwrite("stored_readings", &sim::SimReaderConfig::storedReadings,
                       "Readings kept by the reader, sent by an export.")
        .def_readwrite("micro_app_current", &sim::SimReaderConfig::microAppCurrent,
                       "Whether the micro app is current (False: the reader asks for an upload).")
        .def_readwrite("notification_size", &sim::SimReaderConfig::notificationSize,
                       "Largest notification in bytes.")
        .def_readwrite("answer_delay", &sim::SimReaderConfig::answerDelay,
                       "Seconds between a command and its answer.")
        .def_readwrite("trigger_end_delay", &sim::SimReaderConfig::triggerEndDelay,
                       "Seconds from a trigger reading to the status that ends it.")
        .def_readwrite("faults", &sim::SimReaderConfig::faults, "Injected faults (SimFaults).")
        .def("__repr__", [](const sim::SimReaderConfig& c) {
            return fieldsRepr("SimReaderConfig", c,
                              {"name", "service", "version", "battery_raw", "tags", "tag_in_field",
                               "stored_readings", "micro_app_current", "notification_size",
                               "answer_delay", "trigger_end_delay", "faults"});
        });

    py::class_<SimPlatform, platform::Platform, std::shared_ptr<SimPlatform>>(
        m, "SimPlatform",
        "A simulated Bluetooth platform. In real time its own thread runs the loop; in virtual\n"
        "time nothing moves until run_until_idle() or advance() is called.")
        .def(py::init(&makePlatform), py::arg("clock") = sim::Clock::virtualTime)
        .def_property_readonly("clock", &SimPlatform::clock, "How the platform keeps time (Clock).")
        .def("run_until_idle", &SimPlatform::runUntilIdle, Release(),
             "Virtual time: runs everything due now.")
        .def("advance", &SimPlatform::advance, py::arg("seconds"), Release(),
             "Virtual time: moves the clock forward, firing due timers.")
        .def("shutdown", &SimPlatform::shutdown, Release(),
             "Stops the loop and drops everything pending.")
        .def_property("adapter_state", &SimPlatform::adapterState, &SimPlatform::setAdapterState,
                      "The simulated adapter's state (ManagerState); setting it reports it.")
        .def(
            "set_micro_app_image",
            [](SimPlatform& p, std::optional<py::bytes> image) {
                std::optional<platform::Bytes> bytes;
                if (image) {
                    const std::string text = *image;
                    bytes = platform::Bytes(text.begin(), text.end());
                }
                py::gil_scoped_release release;
                p.setMicroAppImage(std::move(bytes));
            },
            py::arg("image"), "The micro-app image the platform offers the link (None: none).")
        .def_property_readonly("is_scanning", &SimPlatform::isScanning,
                               "Whether a central manager is looking for peripherals.")
        .def("add_nearby_peripherals", &sim::addNearbyPeripherals, Release(),
             "Adds a few advertising peripherals that are not readers.");

    py::class_<PySimReader, std::shared_ptr<PySimReader>>(
        m, "SimReader", "The simulated reader: the reader's side of the protocol on a SimPlatform.")
        .def_static(
            "attach",
            [](SimPlatform& platform, sim::SimReaderConfig config, sim::DeviceTiming timing) {
                py::gil_scoped_release release;
                const std::string name = config.name;
                const std::string address = config.address;
                const auto layout = sim::SimReader::gattLayout(config.service);
                auto reader = std::make_shared<PySimReader>(std::move(config));
                platform.addDevicePeripheral(name, layout, reader, timing, address);
                return reader;
            },
            py::arg("platform"), py::arg("config") = sim::SimReaderConfig{},
            py::arg("timing") = sim::DeviceTiming{},
            "Creates a reader and adds it to `platform` as an advertising peripheral.")
        .def("trigger_reading", &PySimReader::triggerReading,
             py::arg("format") = sim::SimReadingFormat::packed, Release(),
             "A reading on the reader's own trigger.")
        .def("export_readings", &PySimReader::exportReadings, Release(),
             "Sends every stored reading as an export record.")
        .def("set_tag_in_field", &PySimReader::setTagInField, py::arg("index"), Release(),
             "Puts tag `index` of the configuration into the field (None: empty field).")
        .def("set_stored_readings", &PySimReader::setStoredReadings, py::arg("readings"), Release())
        .def("set_faults", &PySimReader::setFaults, py::arg("faults"), Release(),
             "Replaces the faults from now on.")
        .def("disconnect", &PySimReader::disconnect, Release(),
             "Drops the connection from the reader's side (it keeps advertising).")
        .def("vanish", &PySimReader::vanish, Release(),
             "The reader goes away: it stops advertising and drops its connection.")
        .def_property_readonly("config", &PySimReader::config,
                               "The configuration as it stands now (a copy).")
        .def_property_readonly("is_connected", &PySimReader::isConnected,
                               "Whether a central is connected to the reader.")
        .def_property_readonly("micro_app_current", &PySimReader::microAppCurrent,
                               "Whether the reader's micro app is current.")
        .def_property_readonly("frames_received", &PySimReader::framesReceived,
                               "Frames received in the reader's life.")
        .def_property_readonly("messages_sent", &PySimReader::messagesSent,
                               "Answer messages sent in the reader's life.")
        .def_property_readonly("uploaded_image",
                               [](const PySimReader& r) { return toBytes(r.uploadedImage()); },
                               "The last micro-app image uploaded, complete or not.");
}

}  // namespace orvex::python
