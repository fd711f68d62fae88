// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/ScanResult.hpp"
#include "orvex/platform/Platform.hpp"
#include "reader/AsymmetricFence.hpp"
#include "reader/Commands.hpp"
#include "reader/GuardedDelegate.hpp"
#include "reader/MessageFramer.hpp"
#include "reader/State.hpp"

namespace orvex::detail {

class ContactUpdater;
class ReaderUpdater;

// The reader link. Public operations post their work to the link queue and return at
// once; everything else (platform callbacks, timer actions, message handling) runs on the
// link queue, one at a time, so the fields below need no lock. Only `isConnected_`,
// `isReady_`, `isScanning_` and the delegate are read from other threads.
//
// The member functions live in several files, one concern each:
//   Link.cpp        construction, public operations, delegate access, teardown
//   Lifecycle.cpp   adapter state, discovery, connection, GATT discovery, disconnection
//   Receiving.cpp   notifications, handshake, whole messages routed by kind, writeData
//   KeepAlive.cpp   watchdog, pings, version and battery
//   Scanning.cpp    scan(), scan timer, readings and their queue, export records
//   Contacts.cpp    contact reads of the queued FDX-B readings, writeContact
//   MicroApp.cpp    micro-app check and upload
class Link : public platform::CentralManagerDelegate,
             public platform::PeripheralDelegate,
             public std::enable_shared_from_this<Link> {
public:
    explicit Link(std::shared_ptr<platform::Platform> platform);
    ~Link() override;

    // Host side (any thread).
    std::shared_ptr<ReaderInterfaceDelegate> delegate() const;
    void setDelegate(std::shared_ptr<ReaderInterfaceDelegate> delegate);
    // The host lets the link go: no delegate call starts from now on, and one already under
    // way on another thread is waited for. Calls made by the calling thread itself (the
    // host letting go from inside a delegate call) are not waited for.
    void close();
    // Whether the calling thread is inside one of this link's delegate calls.
    bool inDelegateCallOnThisThread() const;
    // The platform the link runs on (empty for a link built without one).
    const std::shared_ptr<platform::Platform>& platform() const { return platform_; }
    bool isConnected() const { return isConnected_.load(); }
    bool isReady() const { return isReady_.load(); }
    bool isScanning() const { return isScanning_.load(); }
    void initializeBluetooth();
    void connectToReader();
    void disconnectFromReader();
    void scan();
    void writeContact(std::string name, std::string phone, std::string xpdrId,
                      std::function<void(bool, OrvexContactStatus)> completion);
    void setMicroAppImagePath(std::string path);
    void setReaderAddress(std::string address);
    void setReaderName(std::string name);

    // Central manager callbacks (link queue).
    void centralManagerDidUpdateState(platform::ManagerState state) override;
    void didDiscover(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void didConnect(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void didFailToConnect(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void didDisconnect(const std::shared_ptr<platform::Peripheral>& peripheral) override;

    // Peripheral callbacks (link queue).
    void didDiscoverServices(const std::shared_ptr<platform::Peripheral>& peripheral,
                             const std::optional<platform::ServiceList>& services,
                             bool error) override;
    void didDiscoverCharacteristics(
        const std::shared_ptr<platform::Peripheral>& peripheral,
        const std::shared_ptr<platform::Service>& service,
        const std::optional<platform::CharacteristicList>& characteristics, bool error) override;
    void didUpdateValue(const std::shared_ptr<platform::Peripheral>& peripheral,
                        const std::shared_ptr<platform::Characteristic>& characteristic,
                        const Bytes& value) override;

    // For tests and fuzzers: the bytes of a message not yet whole (link queue only).
    std::size_t readBufferSize() const { return framer_.buffered(); }

private:
    // The host's delegate, entered for one call or for a run of calls in a row (the records
    // of one notification). While an entry lasts, close() on another thread waits for it and
    // the delegate it holds stays alive. current() gives the delegate to call now: before each
    // call it enters again if the host has set another delegate or let the link go since the
    // entry began, so a run of calls behaves as one entry per call would, at the cost of one
    // load per call. Never under a lock. What the delegate throws is caught and logged
    // (GuardedDelegate).
    //
    // An entry is made for every delegate call, so it takes no lock and no locked instruction:
    // the link queue alone counts its calls in `delegateCalls_` and reads the delegate from
    // `callable_`, with a light fence between. The host's side (setDelegate, close) stores
    // first, then passes the heavy fence and reads the count (AsymmetricFence.hpp): either it
    // sees the call counted, or the call sees what it stored. It keeps the delegate alive
    // meanwhile: a delegate replaced while a call is under way is retired, not released, and
    // the last call to end releases it.
    class DelegateEntry {
    public:
        explicit DelegateEntry(Link& link) : link_(link) { enter(); }
        ~DelegateEntry() { leave(); }
        DelegateEntry(const DelegateEntry&) = delete;
        DelegateEntry& operator=(const DelegateEntry&) = delete;
        // nullptr when there is no delegate or the host has let the link go.
        ReaderInterfaceDelegate* current() {
            auto* host = currentHost();
            if (!host) return nullptr;
            if (!guarded_) guarded_.emplace(*host);
            return &*guarded_;
        }
        // The host's delegate itself, for a caller that catches what it throws as
        // GuardedDelegate does (the export records: once per record, that spares a second
        // virtual call and a second copy of its arguments).
        ReaderInterfaceDelegate* currentHost() {
            if (link_.delegateVersion_.load(std::memory_order_acquire) != version_) reenter();
            return host_;
        }
        // How many of this thread's entries are into `link`.
        static std::uint64_t countOnThisThread(const Link& link);

    private:
        void reenter();
        // Inline: they run around every delegate call, once per export record at most.
        void enter() {
            version_ = link_.delegateVersion_.load(std::memory_order_acquire);
            auto& calls = link_.delegateCalls_;
            calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            link_.delegateFence_.light();  // counted before the delegate is read
            outer_ = innermost_;
            innermost_ = this;
            host_ = link_.callable_.load(std::memory_order_acquire);
        }
        void leave() {
            guarded_.reset();
            host_ = nullptr;
            innermost_ = outer_;
            auto& calls = link_.delegateCalls_;
            calls.store(calls.load(std::memory_order_relaxed) - 1, std::memory_order_release);
            link_.delegateFence_.light();  // gone from the count before the flag is read
            if (link_.callEndsHeard_.load(std::memory_order_relaxed)) link_.delegateCallEnded();
        }
        Link& link_;
        ReaderInterfaceDelegate* host_ = nullptr;
        std::optional<GuardedDelegate> guarded_;
        unsigned long version_ = 0;
        const DelegateEntry* outer_ = nullptr;
        static constinit thread_local const DelegateEntry* innermost_;
    };
    friend class DelegateEntry;
    // Calls `f(delegate)` when a delegate is set and the host has not let the link go.
    template <class F>
    void report(F&& f) {
        DelegateEntry entry(*this);
        if (auto* d = entry.current()) f(*d);
    }
    // Forwards an upload's progress reports to the delegate through report().
    class ProgressRelay;
    // Posts `f` to the link queue. The block holds the link weakly: once the link is gone
    // it does nothing.
    void onQueue(std::function<void(Link&)> f);
    // A platform timer whose action calls `action` on the link queue while the link lives.
    std::shared_ptr<platform::Timer> schedule(double seconds, bool repeats, void (Link::*action)());
    // Invalidates `timer` if one is held; `clear` also drops the reference.
    static void stopTimer(std::shared_ptr<platform::Timer>& timer, bool clear);
    // Tells the platform of a host operation taken up now (Platform::hostOperation).
    void tellPlatform(std::string_view operation, const std::vector<std::string>& arguments = {});
    // Mirrors the central manager's scanning flag into `isScanning_`.
    void syncScanning();
    void setState(State s) { state = s; }

    // Lifecycle.cpp
    // Whether the link takes this peripheral for its reader (address and name restrictions,
    // or else the reader name fragments).
    bool selects(const platform::Peripheral& peripheral,
                 const std::optional<std::string>& name) const;
    void doInitializeBluetooth();
    void doConnectToReader();
    void doDisconnectFromReader();
    void connectionTimeout();
    void lostLinkReport();
    // Lets the reader go for good: timers stopped, peripheral and characteristics dropped.
    void endLink();
    // Drops what the link kept of the reader's last connection: a message half received, the
    // messages a doubled one is checked against, the keep-alive counts.
    void forgetReceived();
    void characteristicsReady();
    void cancelReaderConnection();
    // Reports the one failure of the connection attempt under way; nothing once the attempt
    // has had its outcome.
    void failConnection(OrvexConnectionError error);
    // Cancels a connection whose attempt has failed; what the reader still sends before the
    // connection goes down is not read.
    void abandonReaderConnection();
    // Gives every exchange still waiting for the reader its outcome, before the loss of the
    // connection is reported.
    void endOutstandingExchanges();
    // Ends an upload that the loss of the connection interrupted (nothing without one).
    void endInterruptedUpload();
    void endUpload(OrvexDeviceUpdateStatus status);  // MicroApp.cpp; used on connection loss

    // Receiving.cpp
    // The reader's answer to the handshake ping: 80 completes the handshake, anything else
    // is a bad answer.
    void completeHandshake();
    void refuseHandshake();
    // Before the handshake: whether `message` is one the reader sends on its own (a reading,
    // an export record, a battery level), to be handled as at any other time. Else it is the
    // answer to the handshake ping, judged here.
    bool takenBeforeHandshake(const Message& message);
    static bool readerMaySendUnasked(std::uint8_t lead);
    // Whether `message` is a doubled notification of the message just before it.
    bool isDoubled(const Message& message);
    // What a whole message means to the link, by its kind and the exchange under way.
    void route(const Message& message);
    void negativeAnswer(std::span<const std::uint8_t> bytes);
    void microAppCheckAnswer(std::span<const std::uint8_t> bytes);
    void toContactUpdater(std::span<const std::uint8_t> bytes);
    void toUpload(std::span<const std::uint8_t> bytes);
    void statusMessage(std::uint8_t scanState);
    void writeData(const Bytes& data);

    // KeepAlive.cpp
    void watchdog();
    // A tick that found the link busy: drops a connected reader that has been silent for
    // too long while the link waits for its answer.
    void countSilentTick();
    void pingReader();
    // Sends the version request or the micro-app check again when it stays unanswered.
    void askAgainIfUnanswered();
    // Ends an upload whose acknowledgement was lost while the reader went on talking.
    void endStalledUpload();
    void handleVersion(std::span<const std::uint8_t> message);
    void handleBattery(std::span<const std::uint8_t> message);

    // Scanning.cpp
    void doScan();
    void scanTimerBlock();
    // The final report of a host scan that brought no reading.
    void failScan();
    // Ends the readings and the scan that the loss of the connection interrupted.
    void endInterruptedScan();
    // Whether a status "B" may start a reader's scan now without cutting into another exchange.
    bool mayStartReading() const;
    void noResult();
    void readingReceived(const Message& message);
    // Sends the contact read of the oldest queued reading once nothing else holds the link.
    void pumpContactReads();
    // Reports one or more export records in a row.
    void exportRecordsReceived(std::span<const std::uint8_t> bytes);

    // Contacts.cpp
    void readContact();
    void contactTimerBlock();
    // The final report of the oldest queued reading, with `contact` (or none).
    void finishReading(std::shared_ptr<Contact> contact);
    void contactAnswer(std::span<const std::uint8_t> bytes);
    void doWriteContact(std::string name, std::string phone, std::string xpdrId,
                        std::function<void(bool, OrvexContactStatus)> completion);

    // MicroApp.cpp
    void checkMicroApp();
    void updateMicroApp(const Bytes& data);
    std::optional<Bytes> loadMicroAppImage();

    std::shared_ptr<platform::Platform> platform_;

    // The delegate's state. Calls enter and leave without the mutex (DelegateEntry); the host's
    // side (setDelegate, close) takes it.
    mutable std::mutex delegateMutex_;
    std::shared_ptr<ReaderInterfaceDelegate> delegate_;
    // The object `delegate_` holds, for the calls to read, or nullptr once the host let go.
    std::atomic<ReaderInterfaceDelegate*> callable_{nullptr};
    // Delegates the host replaced while a call was under way, which that call may still be
    // using: released once no call is. `releasingRetired_` counts the releases that run
    // outside the mutex, which close() waits for too.
    std::vector<std::shared_ptr<ReaderInterfaceDelegate>> retired_;
    int releasingRetired_ = 0;
    // Delegate calls under way. Only the link queue enters calls, one block at a time (each
    // thread also keeps its own, to let a host close the link from inside a call), so a load
    // and a store count them; the host's side reads the count.
    std::atomic<std::uint64_t> delegateCalls_{0};
    // Set while the end of a call must take the mutex: close() waits, or retired delegates
    // wait for their release.
    std::atomic<bool> callEndsHeard_{false};
    // Between the store and the load of each side: light for the calls, heavy for the host.
    AsymmetricFence delegateFence_;
    // Changes whenever the delegate is set or the host lets go (DelegateEntry::current).
    std::atomic<unsigned long> delegateVersion_{0};
    std::condition_variable delegateCallsDone_;
    bool closed_ = false;
    // The end of a call that found `callEndsHeard_`: releases the retired delegates when no
    // call is left, and wakes a waiting close().
    void delegateCallEnded();
    // With the mutex held through `lock`: releases the retired delegates, outside the mutex
    // (a delegate's destructor may call back into the link).
    void releaseRetiredDelegates(std::unique_lock<std::mutex>& lock);
    std::atomic<bool> isConnected_{false};
    std::atomic<bool> isReady_{false};
    std::atomic<bool> isScanning_{false};

    // Everything below is touched on the link queue only.
    std::shared_ptr<platform::CentralManager> btCentralManager;
    std::shared_ptr<platform::Peripheral> readerPeripheral;
    // The reader the link let go of when the adapter was lost, until the platform reports the
    // end of that connection or another reader is chosen.
    std::weak_ptr<platform::Peripheral> releasedPeripheral_;
    std::shared_ptr<platform::Characteristic> readerCharacteristic;
    std::shared_ptr<platform::Characteristic> readerUartReadCharacteristic;
    platform::WriteType characteristicWriteType = platform::WriteType::withoutResponse;

    State state = State::idle;
    MessageFramer framer_;
    long pingCounter = 0;
    long msgCounter = 0;
    // Watchdog ticks in a row that found the link waiting for the reader with nothing heard
    // from it since the tick before; past PING_LIMIT the link is dropped.
    long silentTicks = 0;
    // Watchdog ticks since the version request or micro-app check under way was sent.
    long handshakeTicks = 0;
    // Watchdog ticks since the upload under way last heard its answer.
    long uploadTicks = 0;
    bool heardFromReader = false;
    // FDX-B readings reported with their contact pending, oldest first; the first one's
    // contact is asked for (`asked`) once nothing else holds the link.
    struct PendingReading {
        ScanResult result;
        bool asked = false;
    };
    std::deque<PendingReading> readings_;
    // A connectToReader() has reported connecting() and not yet its outcome.
    bool attemptOpen = false;
    // A host scan waits for its reading or its failure.
    bool scanPending = false;
    // The export record reported last, while no other message has come since, and when it
    // came: the same record again within a second is a doubled notification, not another
    // reading. (A reader exports again only when someone asks it to, which takes longer; a
    // doubled notification follows its original at once.) A flag beside the bytes rather
    // than an optional: each notification of an export copies its last record straight in.
    std::array<std::uint8_t, EXPORT_RECORD_SIZE> lastExportRecord{};
    bool hasLastExportRecord = false;
    double lastExportRecordAt = 0.0;
    // The reading, battery level, contact record or 7E just received (isDoubled()).
    Bytes lastMessage;
    bool hasLastMessage = false;
    double lastMessageAt = 0.0;

    std::shared_ptr<platform::Timer> connectionTimer;
    std::shared_ptr<platform::Timer> watchdogTimer;
    std::shared_ptr<platform::Timer> scanTimer;
    std::shared_ptr<platform::Timer> contactTimer;

    std::shared_ptr<ContactUpdater> contactUpdater;
    std::shared_ptr<ReaderUpdater> readerUpdater;
    std::shared_ptr<ReaderInterfaceDelegate> progressRelay_;
    std::optional<std::string> microAppImagePath_;
    // Restrictions on the peripheral taken for the reader (empty: none).
    std::string readerAddress_;
    std::string readerName_;
};

}  // namespace orvex::detail
