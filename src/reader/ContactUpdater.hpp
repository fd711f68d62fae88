// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "orvex/Status.hpp"
#include "orvex/platform/Platform.hpp"
#include "reader/Commands.hpp"

namespace orvex::detail {

// Carries out one contact write for the link: the reader reads the tag in its field, the
// tag's identifier is checked against the one the host named, the contact record goes out in
// one framed command, and exactly one outcome is reported.
//
// Runs on the link queue only: startUpdate() is called from there, handleMessage() from the
// link's notification routing, and the phase timers deliver their actions there.
class ContactUpdater : public std::enable_shared_from_this<ContactUpdater> {
public:
    using Completion = std::function<void(bool, OrvexContactStatus)>;

    ContactUpdater(std::shared_ptr<platform::Platform> platform,
                   std::shared_ptr<platform::Peripheral> reader,
                   std::shared_ptr<platform::Characteristic> characteristic,
                   platform::WriteType writeType, Bytes contact);
    ~ContactUpdater();
    ContactUpdater(const ContactUpdater&) = delete;
    ContactUpdater& operator=(const ContactUpdater&) = delete;

    // Sends the scan command and arms the scan-phase timer. `reader` is the link that owns
    // the write: answers that arrive once it is gone are dropped. Only the first call acts.
    void startUpdate(std::weak_ptr<const void> reader, std::string xpdrId, Completion completion);

    // One notification value from the reader, as received (never empty). Values that do
    // not open an answer awaited in the current phase are ignored.
    void handleMessage(const Bytes& data);

    // The connection is gone: the write ends at once with its phase's failure.
    void connectionLost();

    // The outcome has been reported (or the update can no longer report one).
    bool isFinished() const { return updateState == UpdateState::finished; }

    // The frame that carries `contact`: FE 00 03, 11 10 7C, the escaped record, FE 01.
    static Bytes contactFrame(const Bytes& contact);

private:
    enum class UpdateState { starting, waitingForScan, finished, dataSent };

    void scanTimerBlock();
    void writeTimerBlock();
    void writeData();
    void armTimer(void (ContactUpdater::*action)());
    void stopTimer();
    // Ends the update and hands the outcome to the completion, at most once.
    void finish(bool success, OrvexContactStatus status);

    Bytes readBuffer;
    std::optional<std::string> xpdrId;
    UpdateState updateState = UpdateState::starting;
    std::shared_ptr<platform::Platform> platform_;
    std::shared_ptr<platform::Peripheral> readerPeripheral;
    std::shared_ptr<platform::Characteristic> readerCharacteristic;
    platform::WriteType characteristicWriteType;
    std::weak_ptr<const void> reader;
    const Bytes contactData;
    Completion completionHandler;
    std::shared_ptr<platform::Timer> operationTimer;
};

}  // namespace orvex::detail
