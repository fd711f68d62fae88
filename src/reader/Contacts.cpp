// SPDX-License-Identifier: Apache-2.0
// Owner contacts: the contact read that follows every FDX-B reading, and the host's
// contact write, which a ContactUpdater carries out.

#include <utility>

#include "orvex/Contact.hpp"
#include "reader/ContactUpdater.hpp"
#include "reader/Link.hpp"

namespace orvex::detail {

// State is already waitingForContact.
void Link::readContact() {
    // Armed before the command goes out, so that even the fastest answer can cancel it.
    stopTimer(contactTimer, true);
    contactTimer = schedule(CONTACT_TIMEOUT, false, &Link::contactTimerBlock);
    Bytes command = COMMAND_START_PREFIX_DATA;
    command.insert(command.end(), CONTACT_READ_DATA.begin(), CONTACT_READ_DATA.end());
    command.insert(command.end(), COMMAND_START_SUFFIX_DATA.begin(),
                   COMMAND_START_SUFFIX_DATA.end());
    writeData(command);
}

// The reading is reported without its contact. A message half received is left to complete:
// it may be anything the reader sends (the watchdog drops it if the reader falls silent).
void Link::contactTimerBlock() {
    contactTimer.reset();
    if (readings_.empty() || !readings_.front().asked) return;
    if (state == State::waitingForContact) state = State::idle;
    finishReading(nullptr);
    pumpContactReads();
}

// The final report of the oldest reading that waits for its contact.
void Link::finishReading(std::shared_ptr<Contact> contact) {
    if (readings_.empty()) return;
    if (readings_.front().asked) stopTimer(contactTimer, true);
    ScanResult result = std::move(readings_.front().result);
    readings_.pop_front();
    result.contact = std::move(contact);
    report([&](auto& d) { d.scanReceived(std::move(result), false); });
}

// A contact record (10 and 24 record bytes) belongs to the oldest reading that waits for
// its contact, asked for or not yet (a reader may send it on its own); with none waiting it
// answers nothing.
void Link::contactAnswer(std::span<const std::uint8_t> bytes) {
    if (readings_.empty()) return;
    Bytes record(bytes.begin() + 1, bytes.end());
    auto contact = Contact::decode(record);
    if (state == State::waitingForContact) state = State::idle;
    finishReading(std::move(contact));
}

void Link::doWriteContact(std::string name, std::string phone, std::string xpdrId,
                          std::function<void(bool, OrvexContactStatus)> completion) {
    auto peripheral = readerPeripheral;
    auto characteristic = readerCharacteristic;

    auto deliver = [platform = platform_, completion = std::move(completion)](
                       bool success, OrvexContactStatus status) {
        if (!completion) return;
        platform->mainExecutor().post(
            [completion, success, status] {
                callHost("contact-write completion", [&] { completion(success, status); });
            });
    };

    // A write needs a connected reader, and the link to itself: one write at a time, no
    // upload (the reader is locked), no reading or contact read that still owes the host its
    // report, and no message half received. Link-internal exchanges (ping, battery) give way.
    const bool linkFree =
        (state == State::idle || state == State::pingSent || state == State::waitingForBattery) &&
        framer_.buffered() == 0;
    if (!peripheral || !characteristic || !isConnected_.load() || contactUpdater ||
        readerUpdater || scanPending || !readings_.empty() || !linkFree) {
        deliver(false, OrvexContactStatus::protocolError);
        return;
    }

    Bytes record = Contact::encode(phone, name);
    state = State::writingContact;
    auto updater = std::make_shared<ContactUpdater>(platform_, std::move(peripheral),
                                                    std::move(characteristic),
                                                    characteristicWriteType, std::move(record));
    contactUpdater = updater;

    std::weak_ptr<Link> weakLink = weak_from_this();
    std::weak_ptr<ContactUpdater> weakUpdater = updater;
    updater->startUpdate(weakLink, std::move(xpdrId),
                         [weakLink, weakUpdater, deliver = std::move(deliver)](
                             bool success, OrvexContactStatus status) {
                             deliver(success, status);
                             auto link = weakLink.lock();
                             if (!link) return;
                             // Only the write under way may hand the link back.
                             auto current = weakUpdater.lock();
                             if (!current || link->contactUpdater != current) return;
                             link->contactUpdater.reset();
                             if (link->state == State::writingContact) link->state = State::idle;
                             // Readings that came during the write have their contacts read.
                             link->pumpContactReads();
                         });
}

}  // namespace orvex::detail
