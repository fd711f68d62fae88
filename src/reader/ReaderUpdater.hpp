// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/Status.hpp"
#include "orvex/platform/Platform.hpp"
#include "reader/Commands.hpp"

namespace orvex::detail {

// Uploads a micro-app image to the reader: the 16-byte head locks the reader, the body
// follows in 80-byte slices, each acknowledged, and an unlock ends the upload. The image is
// opaque bytes. One upload per updater; it has no timer and runs on the link queue only.
class ReaderUpdater : public std::enable_shared_from_this<ReaderUpdater> {
public:
    // Receives a failure status, or nothing when the upload finished successfully.
    using Completion = std::function<void(std::optional<OrvexDeviceUpdateStatus>)>;

    // Nothing when there is no image or it is shorter than its head.
    static std::shared_ptr<ReaderUpdater> create(
        std::shared_ptr<platform::Peripheral> reader,
        std::shared_ptr<platform::Characteristic> characteristic, platform::WriteType writeType,
        std::optional<Bytes> image);

    ReaderUpdater(std::shared_ptr<platform::Peripheral> reader,
                  std::shared_ptr<platform::Characteristic> characteristic,
                  platform::WriteType writeType, Bytes image);
    ReaderUpdater(const ReaderUpdater&) = delete;
    ReaderUpdater& operator=(const ReaderUpdater&) = delete;

    // Receives startUpdate(slices:) and updateStatus(slice:).
    std::weak_ptr<ReaderInterfaceDelegate> delegate;

    // Sends the lock frame and from now on reports progress to `progress`; false (nothing
    // sent) unless the updater is fresh.
    bool startUpdate(const std::shared_ptr<ReaderInterfaceDelegate>& progress);

    // One notification value from the reader (never empty). `completion` is called at most
    // once per call. Values that do not open an answer awaited in the current phase (the
    // acknowledgement or the reader's refusal, 7F) are ignored.
    void handleMessage(const Bytes& data, const Completion& completion);

    // Slices announced by startUpdate(slices:) for an image of `imageSize` bytes.
    static long announcedSlices(std::size_t imageSize);

private:
    enum class UpdateState {
        starting,
        finished,
        waitingForLock,
        sendNextSlice,
        sliceSent,
        sendUnlock,
        unlockSent,
        updated,
    };

    void writePayload(std::span<const std::uint8_t> data);
    void write(const Bytes& data);
    void sendSlice();

    UpdateState updateState = UpdateState::starting;
    std::shared_ptr<platform::Peripheral> readerPeripheral;
    std::shared_ptr<platform::Characteristic> readerCharacteristic;
    platform::WriteType characteristicWriteType;
    const Bytes microAppData;
    long sliceCounter = 0;
    bool success = false;
    Bytes escaped;  // the payload being written, kept for its capacity
};

}  // namespace orvex::detail
