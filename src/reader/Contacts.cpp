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

// The reading is reported without its contact, whatever part of the answer has arrived.
void Link::contactTimerBlock() {
    contactTimer.reset();
    if (!contactPending) return;
    if (state == State::waitingForContact || state == State::receivingContact) {
        readBuffer.clear();
        state = State::idle;
    }
    finishReading();
}

// 7E while waitingForContact: the tag holds no contact to give.
void Link::noContact() {
    state = State::idle;
    finishReading();
}

void Link::finishReading() {
    contactPending = false;
    stopTimer(contactTimer, true);
    const auto result = currentScan;
    report([&](auto& d) { d.scanReceived(result, false); });
}

std::shared_ptr<Contact> Link::handleContact() {
    if (readBuffer.size() < CONTACT_ANSWER_SIZE) return nullptr;
    stopTimer(contactTimer, true);
    Bytes record(readBuffer.begin() + 1, readBuffer.end());
    auto contact = Contact::decode(record);
    readBuffer.clear();
    state = State::idle;
    return contact;
}

// A contact answer (state receivingContact, 25 bytes or more), for the reading that asked
// for it.
void Link::contactAnswerComplete() {
    if (currentScan) currentScan->contact = handleContact();
    readBuffer.clear();
    state = State::idle;
    finishReading();
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
        state == State::idle || state == State::pingSent || state == State::waitingForBattery;
    if (!peripheral || !characteristic || !isConnected_.load() || contactUpdater ||
        readerUpdater || scanPending || contactPending || !linkFree) {
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
                         });
}

}  // namespace orvex::detail
