// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/Status.hpp"

namespace orvex::detail {

// Reports what `call`, a host callback named `what`, threw (the call has ended).
void reportHostException(const char* what, std::exception_ptr thrown) noexcept;

// Runs `call`, a host callback named `what`, catching what it throws.
template <class F>
void guardedCall(const char* what, F&& call) noexcept {
    try {
        call();
    } catch (...) {
        reportHostException(what, std::current_exception());
    }
}

// The host's delegate as the link calls it: an exception thrown by a callback is caught
// and reported at error level, naming the callback, and the link goes on as if the call
// had returned. A host callback must not be able to end the host process from one of the
// library's threads.
class GuardedDelegate final : public ReaderInterfaceDelegate {
public:
    // `host` must outlive the wrapper.
    explicit GuardedDelegate(ReaderInterfaceDelegate& host) : host_(host) {}

    void btReader() override;
    void btError(OrvexBluetoothError reason) override;
    void btPoweringDown() override;
    void bleDetected(const std::string& prefix, const std::string& deviceName) override;
    void connecting() override;
    void connectionFailed(OrvexConnectionError error) override;
    void readerConnected() override;
    void readerDisconnected(OrvexDisconnectionCause cause) override;
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override;
    void readerScanning(bool active) override;
    void exportReceived(std::optional<ScanResult> result, long number) override;
    void scanFailed() override;
    void version(const std::string& text) override;
    void battery(long level) override;
    void startUpdate(long slices) override;
    void updateStatus(long slice) override;
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override;

private:
    ReaderInterfaceDelegate& host_;
};

// Runs a host callback named `what` ("contact-write completion"), catching and reporting
// what it throws as above.
void callHost(const char* what, const std::function<void()>& call);

}  // namespace orvex::detail
