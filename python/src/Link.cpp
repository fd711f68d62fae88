// SPDX-License-Identifier: Apache-2.0
// The link (ReaderInterface) and the delegate that calls a Python object's snake_case
// methods.

#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "Bindings.hpp"
#include "Enums.hpp"
#include "Runtime.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/bluez/Bluez.hpp"

namespace orvex::python {

namespace {

// How long interpreter exit waits for Python calls under way on the library's threads.
constexpr std::chrono::milliseconds kExitWait{2000};

// Calls a helper of orvex._delegate, which runs the host's code and reports an exception
// from it to the "orvex" logger instead of letting it out. Needs the GIL.
template <class... Args>
void callHelper(const char* helper, Args&&... args) {
    try {
        py::module_::import("orvex._delegate").attr(helper)(std::forward<Args>(args)...);
    } catch (py::error_already_set& error) {
        // Only when reporting itself failed (logging broken, the module gone).
        error.discard_as_unraisable(helper);
    }
}

// The link's delegate, forwarding every call to a Python object. Each call is made on the
// link's thread; the GIL is taken for it.
class PyDelegate : public ReaderInterfaceDelegate {
public:
    explicit PyDelegate(py::object target) : target_(std::move(target)) {}

    // Needs the GIL.
    const py::object& target() const { return target_.get(); }

    void btReader() override { call("on_bt_reader"); }
    void btError(OrvexBluetoothError reason) override { call("on_bt_error", reason); }
    void btPoweringDown() override { call("on_bt_powering_down"); }
    void bleDetected(const std::string& prefix, const std::string& deviceName) override {
        call("on_ble_detected", prefix, deviceName);
    }
    void connecting() override { call("on_connecting"); }
    void connectionFailed(OrvexConnectionError error) override {
        call("on_connection_failed", error);
    }
    void readerConnected() override { call("on_reader_connected"); }
    void readerDisconnected(OrvexDisconnectionCause cause) override {
        call("on_reader_disconnected", cause);
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        call("on_scan_received", result, contactPending);
    }
    void readerScanning(bool active) override { call("on_reader_scanning", active); }
    void exportReceived(std::optional<ScanResult> result, long number) override {
        call("on_export_received", result, number);
    }
    void scanFailed() override { call("on_scan_failed"); }
    void version(const std::string& text) override { call("on_version", text); }
    void battery(long level) override { call("on_battery", level); }
    void startUpdate(long slices) override { call("on_start_update", slices); }
    void updateStatus(long slice) override { call("on_update_status", slice); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override {
        call("on_end_update", status);
    }

private:
    template <class... Args>
    void call(const char* method, const Args&... args) {
        Runtime::withGil([&] { callHelper("dispatch", target_.get(), method, py::cast(args)...); });
    }

    PyHandle target_;
};

// The process-wide link, once Python has asked for it.
std::atomic<bool> processWideMade{false};

std::shared_ptr<ReaderInterface> processWideLink() {
    ReaderInterface* link = nullptr;
    {
        // The default platform may take a while to come up (the system bus).
        py::gil_scoped_release release;
        link = &ReaderInterface::reader();
    }
    processWideMade.store(true);
    // The link lives until the process ends; Python only borrows it.
    return std::shared_ptr<ReaderInterface>(link, [](ReaderInterface*) {});
}

// An independent link. Letting it go waits for a delegate call under way on the link's
// thread, which may need the GIL: so the GIL is released first, if this thread holds it.
std::shared_ptr<ReaderInterface> createLink(std::shared_ptr<platform::Platform> platform) {
    if (!platform) throw py::value_error("create_link needs a platform");
    std::shared_ptr<ReaderInterface> link;
    {
        py::gil_scoped_release release;
        link = ReaderInterface::create(std::move(platform));
    }
    ReaderInterface* raw = link.get();
    return std::shared_ptr<ReaderInterface>(raw, [link](ReaderInterface*) mutable {
        if (PyGILState_Check()) {
            py::gil_scoped_release release;
            link.reset();
        } else {
            link.reset();
        }
    });
}

std::chrono::milliseconds milliseconds(double seconds, const char* name) {
    if (!(seconds > 0.0) || seconds > 3600.0) {
        throw py::value_error(std::string(name) + " must be more than 0 and at most 3600 seconds");
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

std::shared_ptr<platform::Platform> bluezPlatform(std::string adapter,
                                                  std::optional<std::string> busAddress,
                                                  std::optional<std::string> microAppImage,
                                                  double callTimeout, double connectTimeout) {
    bluez::Options options;
    options.adapter = std::move(adapter);
    options.busAddress = std::move(busAddress);
    options.microAppImagePath = std::move(microAppImage);
    options.callTimeout = milliseconds(callTimeout, "call_timeout");
    options.connectTimeout = milliseconds(connectTimeout, "connect_timeout");
    std::string error;
    std::shared_ptr<platform::Platform> platform;
    {
        py::gil_scoped_release release;
        platform = bluez::makePlatform(options, &error);
    }
    if (!platform) throw py::value_error(error.empty() ? "no BlueZ platform" : error);
    return platform;
}

py::object delegateOf(const ReaderInterface& link) {
    std::shared_ptr<PyDelegate> delegate;
    {
        // Never wait for a library lock while holding the GIL.
        py::gil_scoped_release release;
        delegate = std::dynamic_pointer_cast<PyDelegate>(link.delegate());
    }
    if (!delegate) return py::none();
    return delegate->target();
}

void setDelegate(ReaderInterface& link, py::object target) {
    std::shared_ptr<ReaderInterfaceDelegate> delegate;
    if (!target.is_none()) delegate = std::make_shared<PyDelegate>(std::move(target));
    // The old delegate may be dropped here; it takes the GIL to let its object go.
    py::gil_scoped_release release;
    link.setDelegate(std::move(delegate));
}

void writeContact(ReaderInterface& link, std::string tag, std::string phone, std::string email,
                  std::optional<py::function> completion) {
    std::function<void(bool, OrvexContactStatus)> done = [](bool, OrvexContactStatus) {};
    if (completion) {
        auto handle = std::make_shared<PyHandle>(std::move(*completion));
        done = [handle](bool ok, OrvexContactStatus status) {
            Runtime::withGil([&] {
                callHelper("complete", handle->get(), ok, py::cast(status));
            });
        };
    }
    py::gil_scoped_release release;
    link.writeContact(std::move(email), std::move(phone), std::move(tag), std::move(done));
}

// At interpreter exit: the process-wide link lets go of its Python delegate, and no more
// Python calls start on the library's threads.
void closeAtExit() {
    if (processWideMade.load()) {
        py::gil_scoped_release release;
        ReaderInterface::reader().setDelegate(nullptr);
    }
    Runtime::close(kExitWait);
}

}  // namespace

void bindLink(py::module_& m) {
    using Release = py::call_guard<py::gil_scoped_release>;

    py::class_<ReaderInterface, std::shared_ptr<ReaderInterface>>(
        m, "Link",
        "The link to one handheld reader.\n\n"
        "Every operation returns at once; its outcome arrives through the delegate, whose\n"
        "methods are called one at a time on the link's own thread with the GIL taken.")
        .def_property("delegate", &delegateOf, &setDelegate,
                      "The object whose on_* methods receive the link's events (or None).")
        .def_property_readonly("is_connected", &ReaderInterface::isConnected, Release(),
                               "Whether a reader is connected.")
        .def_property_readonly("is_ready", &ReaderInterface::isReady, Release(),
                               "Whether the Bluetooth adapter is ready.")
        .def_property_readonly("is_scanning", &ReaderInterface::isScanning, Release(),
                               "Whether the link is looking for peripherals.")
        .def("initialize_bluetooth", &ReaderInterface::initializeBluetooth, Release(),
             "Starts using the adapter; on_bt_reader follows once it is ready.")
        .def("connect_to_reader", &ReaderInterface::connectToReader, Release(),
             "Looks for the reader and connects; on_reader_connected or on_connection_failed follows.")
        .def("disconnect_from_reader", &ReaderInterface::disconnectFromReader, Release(),
             "Ends the connection; on_reader_disconnected follows.")
        .def("scan", &ReaderInterface::scan, Release(),
             "Asks the reader for one reading; on_scan_received or on_scan_failed follows.")
        .def("write_contact", &writeContact, py::arg("tag"), py::arg("phone"), py::arg("email"),
             py::arg("completion") = py::none(),
             "Writes a contact to the tag `tag` (\"999 000000012345\") once the reader finds it\n"
             "in its field. `completion(ok, status)` is called once with the outcome, on the\n"
             "platform's main executor; nothing is called without a connected reader.")
        .def("set_micro_app_image_path", &ReaderInterface::setMicroAppImagePath, py::arg("path"),
             Release(), "Reads the micro-app image from this file when the reader asks for one.")
        .def("set_reader_address", &ReaderInterface::setReaderAddress, py::arg("address"),
             Release(),
             "Connects only to the reader with this identifier (\"AA:BB:CC:DD:EE:FF\"); an\n"
             "empty text lifts the restriction. Takes effect at the next connect_to_reader().")
        .def("set_reader_name", &ReaderInterface::setReaderName, py::arg("name"), Release(),
             "Connects only to a reader whose advertised name is exactly this; an empty text\n"
             "lifts the restriction. Takes effect at the next connect_to_reader().");

    m.def("process_wide_link", &processWideLink,
          "The process-wide link, created on first use on the platform chosen by use_platform().");
    m.def("use_platform", &ReaderInterface::usePlatform, py::arg("platform"), Release(),
          "Chooses the platform of the process-wide link; False once the link exists.");
    m.def("create_link", &createLink, py::arg("platform"),
          "A link of its own on `platform`, beside the process-wide one: each link has its\n"
          "own delegate and, with set_reader_address(), its own reader.");
    m.def("bluez_platform", &bluezPlatform, py::kw_only(), py::arg("adapter") = "",
          py::arg("bus_address") = py::none(), py::arg("micro_app_image") = py::none(),
          py::arg("call_timeout") = 5.0, py::arg("connect_timeout") = 20.0,
          "A BlueZ platform: `adapter` (\"hci1\"; empty: the first one), `bus_address` (empty:\n"
          "the system bus), the micro-app image file, and time limits in seconds. Raises\n"
          "ValueError with the reason when it cannot be made.");
    m.def("_close_at_exit", &closeAtExit);
}

}  // namespace orvex::python
