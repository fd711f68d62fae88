// SPDX-License-Identifier: Apache-2.0
#include "reader/ReaderUpdater.hpp"
#include "reader/Logging.hpp"

#include <algorithm>
#include <utility>

#include "reader/GuardedDelegate.hpp"
#include "reader/Messages.hpp"

namespace orvex::detail {

std::shared_ptr<ReaderUpdater> ReaderUpdater::create(
    std::shared_ptr<platform::Peripheral> reader,
    std::shared_ptr<platform::Characteristic> characteristic, platform::WriteType writeType,
    std::optional<Bytes> image) {
    if (!reader || !characteristic) return nullptr;
    if (!image || image->size() < MICRO_APP_HEAD_SIZE) return nullptr;
    return std::make_shared<ReaderUpdater>(std::move(reader), std::move(characteristic), writeType,
                                           std::move(*image));
}

ReaderUpdater::ReaderUpdater(std::shared_ptr<platform::Peripheral> reader,
                             std::shared_ptr<platform::Characteristic> characteristic,
                             platform::WriteType writeType, Bytes image)
    : readerPeripheral(std::move(reader)),
      readerCharacteristic(std::move(characteristic)),
      characteristicWriteType(writeType),
      microAppData(std::move(image)) {}

long ReaderUpdater::announcedSlices(std::size_t imageSize) {
    if (imageSize < MICRO_APP_HEAD_SIZE) return 0;
    return static_cast<long>((imageSize - MICRO_APP_HEAD_SIZE) / MICRO_APP_SLICE_SIZE);
}

bool ReaderUpdater::startUpdate(const std::shared_ptr<ReaderInterfaceDelegate>& progress) {
    if (updateState != UpdateState::starting) return false;
    delegate = progress;
    if (microAppData.size() < MICRO_APP_HEAD_SIZE) return false;
    updateState = UpdateState::waitingForLock;
    write(LOCK_PREFIX_DATA);
    writePayload(std::span<const std::uint8_t>(microAppData).first(MICRO_APP_HEAD_SIZE));
    write(FRAME_END_DATA);
    return true;
}

void ReaderUpdater::handleMessage(const Bytes& data, const Completion& completion) {
    if (data.empty()) return;
    // The completion may drop the owner's reference to this updater.
    auto self = weak_from_this().lock();
    const std::uint8_t b = data[0];

    switch (updateState) {
        case UpdateState::waitingForLock:
            if (b != code::lockAck && b != code::negative) return;
            if (b == code::lockAck) {
                updateState = UpdateState::sendNextSlice;
                if (auto d = delegate.lock()) GuardedDelegate(*d).startUpdate(announcedSlices(microAppData.size()));
            } else {
                updateState = UpdateState::finished;
                completion(OrvexDeviceUpdateStatus::readerLockingFailed);
            }
            break;
        case UpdateState::sliceSent:
            if (b != code::sliceAck && b != code::negative) return;
            if (b == code::sliceAck) {
                if (auto d = delegate.lock()) GuardedDelegate(*d).updateStatus(sliceCounter);
                ++sliceCounter;
                const std::size_t sent =
                    MICRO_APP_HEAD_SIZE +
                    MICRO_APP_SLICE_SIZE * static_cast<std::size_t>(sliceCounter);
                if (sent >= microAppData.size()) {
                    success = true;
                    updateState = UpdateState::sendUnlock;
                } else {
                    updateState = UpdateState::sendNextSlice;
                }
            } else {
                updateState = UpdateState::sendUnlock;
                completion(OrvexDeviceUpdateStatus::sliceUploadFailed);
            }
            break;
        case UpdateState::unlockSent:
            if (b == code::unlockAck) {
                if (success) {
                    updateState = UpdateState::updated;
                    completion(std::nullopt);
                } else {
                    updateState = UpdateState::finished;
                    completion(OrvexDeviceUpdateStatus::readerUnlockingFailed);
                }
            }
            break;
        default:
            break;
    }

    switch (updateState) {
        case UpdateState::sendNextSlice:
            sendSlice();
            break;
        case UpdateState::sendUnlock:
            write(UNLOCK_DATA);
            updateState = UpdateState::unlockSent;
            break;
        default:
            break;
    }
}

void ReaderUpdater::sendSlice() {
    const std::size_t begin =
        MICRO_APP_HEAD_SIZE + MICRO_APP_SLICE_SIZE * static_cast<std::size_t>(sliceCounter);
    const std::size_t end = std::min(begin + MICRO_APP_SLICE_SIZE, microAppData.size());
    write(SLICE_PREFIX_DATA);
    if (begin < end) {
        writePayload(std::span<const std::uint8_t>(microAppData).subspan(begin, end - begin));
    }
    write(FRAME_END_DATA);
    updateState = UpdateState::sliceSent;
}

// Escaped into a buffer kept from slice to slice, so an upload allocates nothing per slice.
void ReaderUpdater::writePayload(std::span<const std::uint8_t> data) {
    if (data.empty()) return;
    escapePayloadInto(escaped, data);
    write(escaped);
}

void ReaderUpdater::write(const Bytes& data) {
    traceWrite(*readerPeripheral, data);
    readerPeripheral->writeValue(data, readerCharacteristic, characteristicWriteType);
}

}  // namespace orvex::detail
