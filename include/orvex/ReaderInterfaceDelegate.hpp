// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"

namespace orvex {

// The host's callback interface. Every call is made on the link's own serial context
// (never under a lock of the library), so a host may call back into the link from here.
// The seven functions with empty bodies are optional.
class ReaderInterfaceDelegate {
public:
    virtual ~ReaderInterfaceDelegate() = default;

    virtual void btReader() {}
    virtual void btError(OrvexBluetoothError reason) = 0;
    virtual void btPoweringDown() {}
    virtual void bleDetected(const std::string& prefix, const std::string& deviceName) {
        (void)prefix;
        (void)deviceName;
    }
    virtual void connecting() = 0;
    virtual void connectionFailed(OrvexConnectionError error) = 0;
    virtual void readerConnected() = 0;
    virtual void readerDisconnected(OrvexDisconnectionCause cause) = 0;
    virtual void scanReceived(std::optional<ScanResult> result, bool contactPending) = 0;
    virtual void readerScanning(bool active) = 0;
    virtual void exportReceived(std::optional<ScanResult> result, long number) = 0;
    virtual void scanFailed() = 0;
    virtual void version(const std::string& text) = 0;
    virtual void battery(long level) { (void)level; }
    virtual void startUpdate(long slices) { (void)slices; }
    virtual void updateStatus(long slice) { (void)slice; }
    virtual void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) { (void)status; }
};

}  // namespace orvex
