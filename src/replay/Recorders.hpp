// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/sim/SimPlatform.hpp"

// What replay prints: the host's delegate calls and the link's requests of the platform.

namespace orvex::sim {

// Where every output line goes; `closed` silences it while the replay is torn down.
struct ReplayOutput {
    std::function<void(const std::string&)> sink;
    bool closed = false;
    void line(const std::string& text) const {
        if (!closed && sink) sink(text);
    }
};

class RecordingDelegate : public ReaderInterfaceDelegate {
public:
    explicit RecordingDelegate(std::shared_ptr<const ReplayOutput> out) : out_(std::move(out)) {}

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
    void call(const std::string& what) const;
    std::shared_ptr<const ReplayOutput> out_;
};

class RecordingObserver : public SimObserver {
public:
    explicit RecordingObserver(std::shared_ptr<const ReplayOutput> out) : out_(std::move(out)) {}

    void onCentralCreate() override;
    void onScanForPeripherals() override;
    void onStopScan() override;
    void onConnect(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void onCancelConnection(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void onDiscoverServices(const std::shared_ptr<platform::Peripheral>& peripheral,
                            const std::vector<Uuid>& services) override;
    void onDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>& peripheral,
                                   const Uuid& service,
                                   const std::vector<Uuid>& characteristics) override;
    void onSetNotifyValue(const std::shared_ptr<platform::Peripheral>& peripheral, bool enabled,
                          const Uuid& characteristic) override;
    void onWrite(const std::shared_ptr<platform::Peripheral>& peripheral, const Bytes& bytes,
                 const Uuid& characteristic, WriteType type) override;

private:
    std::shared_ptr<const ReplayOutput> out_;
};

}  // namespace orvex::sim
