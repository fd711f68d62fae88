// SPDX-License-Identifier: Apache-2.0
#include "replay/Recorders.hpp"

#include <fmt/format.h>

#include "replay/Format.hpp"

namespace orvex::sim {

using format::boolean;
using format::name;
using format::result;
using format::text;

// --- delegate

void RecordingDelegate::call(const std::string& what) const {
    out_->line("delegate " + what);
}

void RecordingDelegate::btReader() {
    call("btReader()");
}

void RecordingDelegate::btError(OrvexBluetoothError reason) {
    call("btError(reason: " + name(reason) + ")");
}

void RecordingDelegate::btPoweringDown() {
    call("btPoweringDown()");
}

void RecordingDelegate::bleDetected(const std::string& prefix, const std::string& deviceName) {
    call("bleDetected(prefix: " + text(prefix) + ", deviceName: " + text(deviceName) + ")");
}

void RecordingDelegate::connecting() {
    call("connecting()");
}

void RecordingDelegate::connectionFailed(OrvexConnectionError error) {
    call("connectionFailed(error: " + name(error) + ")");
}

void RecordingDelegate::readerConnected() {
    call("readerConnected()");
}

void RecordingDelegate::readerDisconnected(OrvexDisconnectionCause cause) {
    call("readerDisconnected(cause: " + name(cause) + ")");
}

void RecordingDelegate::scanReceived(std::optional<ScanResult> r, bool contactPending) {
    call("scanReceived(result: " + result(r) + ", contactPending: " + boolean(contactPending) +
         ")");
}

void RecordingDelegate::readerScanning(bool active) {
    call("readerScanning(active: " + boolean(active) + ")");
}

void RecordingDelegate::exportReceived(std::optional<ScanResult> r, long number) {
    call(fmt::format("exportReceived(result: {}, number: {})", result(r), number));
}

void RecordingDelegate::scanFailed() {
    call("scanFailed()");
}

void RecordingDelegate::version(const std::string& t) {
    call("version(text: " + text(t) + ")");
}

void RecordingDelegate::battery(long level) {
    call(fmt::format("battery(level: {})", level));
}

void RecordingDelegate::startUpdate(long slices) {
    call(fmt::format("startUpdate(slices: {})", slices));
}

void RecordingDelegate::updateStatus(long slice) {
    call(fmt::format("updateStatus(slice: {})", slice));
}

void RecordingDelegate::endUpdate(std::optional<OrvexDeviceUpdateStatus> status) {
    call("endUpdate(status: " + (status ? name(*status) : std::string("nil")) + ")");
}

// --- platform requests

void RecordingObserver::onCentralCreate() {
    out_->line("central create");
}

void RecordingObserver::onScanForPeripherals() {
    out_->line("central scanForPeripherals");
}

void RecordingObserver::onStopScan() {
    out_->line("central stopScan");
}

void RecordingObserver::onConnect(const std::shared_ptr<platform::Peripheral>& peripheral) {
    out_->line("central connect " + format::peripheralName(peripheral->name()));
}

void RecordingObserver::onCancelConnection(
    const std::shared_ptr<platform::Peripheral>& peripheral) {
    out_->line("central cancelConnection " + format::peripheralName(peripheral->name()));
}

void RecordingObserver::onDiscoverServices(const std::shared_ptr<platform::Peripheral>&,
                                           const std::vector<Uuid>& services) {
    out_->line("peripheral discoverServices " + format::uuidList(services));
}

void RecordingObserver::onDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>&,
                                                  const Uuid& service,
                                                  const std::vector<Uuid>& characteristics) {
    out_->line("peripheral discoverCharacteristics " + service.str() + " " +
               format::uuidList(characteristics));
}

void RecordingObserver::onSetNotifyValue(const std::shared_ptr<platform::Peripheral>&, bool enabled,
                                         const Uuid& characteristic) {
    out_->line("peripheral setNotifyValue " + boolean(enabled) + " " + characteristic.str());
}

void RecordingObserver::onWrite(const std::shared_ptr<platform::Peripheral>&, const Bytes& bytes,
                                const Uuid&, WriteType type) {
    std::string line = "write " + name(type);
    if (!bytes.empty()) line += " " + format::hex(bytes);
    out_->line(line);
}

}  // namespace orvex::sim
