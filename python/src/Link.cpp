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
             Release(), "Reads the micro-app image from this file when the reader asks for one.");

    m.def("process_wide_link", &processWideLink,
          "The process-wide link, created on first use on the platform chosen by use_platform().");
    m.def("use_platform", &ReaderInterface::usePlatform, py::arg("platform"), Release(),
          "Chooses the platform of the process-wide link; False once the link exists.");
    m.def("_close_at_exit", &closeAtExit);
}

}  // namespace orvex::python
