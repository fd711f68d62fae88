// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/Export.hpp"

/// @file
/// The simulated reader: the reader's side of the wire protocol, played by a device on the
/// simulated platform. A host developer uses it to run a whole session with no hardware.

namespace orvex::sim {

/// One transponder the simulated reader can have in its field.
struct ORVEX_SIM_EXPORT SimTag {
    /// Transponder::Types raw value (4 is FDX-B, the only type that carries a contact).
    std::int8_t type = 4;
    /// Country code (0 to 999).
    std::uint16_t country = 999;
    /// National number (40 bits). The text record of a reading carries the 16-character
    /// id, so keep it below 10^12.
    std::uint64_t nationalNumber = 12345;
    /// The 24-byte owner contact record stored on the tag (see Contact::encode), if any.
    std::optional<std::vector<std::uint8_t>> contact;
    /// Whether a contact write is accepted.
    bool writable = true;

    /// The identifier as the link prints it: "999 000000012345".
    std::string id() const;
    /// The 8-character type name field of a text record ("FDXB    ").
    std::string typeField() const;
};

/// Which GATT layout the reader offers.
enum class SimService {
    /// Transparent UART: a notify characteristic and a separate write characteristic.
    uart,
    /// 16-bit serial service FFE0 with the one characteristic FFE1 for both directions.
    serial16,
};

/// How a reading made on the reader's own trigger is sent.
enum class SimReadingFormat {
    packed,  ///< 8F and the 8-byte packed record.
    text,    ///< 55 and the 30-byte text record.
};

/// Faults injected into the conversation. Every random choice comes from one generator
/// started from `randomStart`, so a run with the same configuration repeats exactly.
struct ORVEX_SIM_EXPORT SimFaults {
    /// Fraction of answer messages that are never sent.
    double dropRate = 0.0;
    /// Fraction of answer messages that are sent twice.
    double duplicateRate = 0.0;
    /// Fraction of answer messages preceded by a notification holding `garbageBytes`.
    double garbageRate = 0.0;
    /// The bytes of a garbage notification.
    std::vector<std::uint8_t> garbageBytes{0x00, 0x3C, 0xC3, 0x5A};
    /// Start value of the random generator behind the rates above.
    std::uint64_t randomStart = 1;

    /// Pings (empty frames) go unanswered; every other command is answered as usual.
    bool ignorePings = false;

    /// Drop the connection, without answering, when the Nth frame (counted from 1 since the
    /// connection was made) arrives. Fires once in the reader's life.
    std::optional<std::size_t> disconnectAtFrame;
    /// Drop the connection, without answering, when the Nth slice of a micro-app upload
    /// (counted from 1 within the upload) arrives. Fires once in the reader's life.
    std::optional<std::size_t> disconnectAtSlice;
    /// Drop the connection, without storing or answering, when a contact write arrives.
    /// Fires once in the reader's life.
    bool disconnectOnContactWrite = false;
};

/// Everything that makes one simulated reader. The defaults make a good first session: a
/// reader named "KX-BT4 SIM" on the UART service, one FDX-B tag with an owner contact in its
/// field, three stored readings, a current micro app and 20-byte notifications.
struct ORVEX_SIM_EXPORT SimReaderConfig {
    /// The advertised name; the link connects to a name holding a reader name fragment.
    std::string name = "KX-BT4 SIM";
    /// The reader's identifier on the platform ("AA:BB:CC:DD:EE:FF" form), which a link can
    /// be restricted to (ReaderInterface::setReaderAddress()). Empty: made up from `name`,
    /// stable from run to run (see SimPlatform::addPeripheral()). Give each reader its own
    /// address when several share a name.
    std::string address;
    /// The GATT layout offered.
    SimService service = SimService::uart;
    /// The version text answered (the link shortens "KESTRALON KX100 MOBILE" to "KX100-M").
    std::string version = "KESTRALON KX100 MOBILE 2.4.1";
    /// Raw battery level byte; 134 is full.
    std::uint8_t batteryRaw = 120;
    /// The tags known to the reader.
    std::vector<SimTag> tags = defaultTags();
    /// Which tag (an index into `tags`) is in the reader's field; empty for none.
    std::optional<std::size_t> tagInField = 0;
    /// Readings kept by the reader, sent by an export. Readings made on the trigger are added.
    std::vector<SimTag> storedReadings = defaultStoredReadings();
    /// Whether the micro app is current; when false the micro-app check asks for an upload.
    bool microAppCurrent = true;
    /// Largest notification in bytes. An answer longer than this is split over several
    /// notifications; two answers never share one. Values below 6 count as 6, so a status
    /// message always arrives whole.
    std::size_t notificationSize = 20;
    /// Time in seconds between a command and its answer (also before a trigger reading and
    /// an export).
    double answerDelay = 0.05;
    /// Time in seconds from a trigger reading to the status "E" that ends it (the reader keeps
    /// its antenna on for a while after a reading).
    double triggerEndDelay = 0.5;
    /// Faults injected into the conversation (none by default).
    SimFaults faults;

    /// One FDX-B tag, 999 000000012345, carrying an owner contact.
    static std::vector<SimTag> defaultTags();
    /// Three readings: the FDX-B tag above, an HDX tag and an EM4102 tag.
    static std::vector<SimTag> defaultStoredReadings();
};

/// What a message seen by a send tap is (SimReader::setSendTap()).
enum class SimSendKind {
    message,  ///< A message of the reader's own: an answer, a reading, a status, a record.
    repeat,   ///< The second copy of a message that a fault (SimFaults::duplicateRate) doubles.
    garbage,  ///< The garbage notification a fault (SimFaults::garbageRate) puts before one.
};

/// Sees a message the reader puts on the air: the whole message, before it is split into
/// notifications, and what it is. A message a fault drops, and one whose connection ended
/// before it was due, is never seen.
using SimSendTap = std::function<void(const std::vector<std::uint8_t>& message, SimSendKind kind)>;

class ReaderProtocol;  // internal

/// The simulated reader device. Attach it to a SimPlatform with attach(); the link then finds
/// it by its name, connects and talks to it like to a real reader.
///
/// Every SimDevice call and every action of the reader runs on the platform's run loop. The
/// other member functions may be called from any thread: the actions are posted to the run
/// loop (in virtual time they happen at the next runUntilIdle()/advance()), the queries
/// return a snapshot.
class ORVEX_SIM_EXPORT SimReader : public SimDevice,
                                   public std::enable_shared_from_this<SimReader> {
public:
    /// A reader not yet on a platform; attach() makes and adds one in a single step.
    /// @param config the reader's make-up.
    explicit SimReader(SimReaderConfig config = {});
    ~SimReader() override;
    /// Not copyable.
    SimReader(const SimReader&) = delete;
    /// Not copyable.
    SimReader& operator=(const SimReader&) = delete;

    /// Creates a reader and adds it to `platform` as an advertising peripheral named
    /// `config.name`, with the address `config.address` and the GATT layout of
    /// `config.service`. Several readers may be attached to one platform.
    static std::shared_ptr<SimReader> attach(SimPlatform& platform, SimReaderConfig config = {},
                                             DeviceTiming timing = {});

    /// The GATT layout offered for a service choice.
    static GattLayout gattLayout(SimService service);
    /// The characteristic the reader notifies from, for a service choice.
    static Uuid notifyCharacteristic(SimService service);
    /// The characteristic the reader is written to, for a service choice (the same as the
    /// notify characteristic for SimService::serial16).
    static Uuid writeCharacteristic(SimService service);

    /// The peripheral the platform made for this reader (empty before attach()).
    std::shared_ptr<platform::Peripheral> peripheral() const;

    // --- actions on the reader (posted to the run loop)
    /// A reading on the reader's own trigger: status "B", the reading of the tag in the field
    /// (if any) in `format`, status "E". The reading is added to the stored readings.
    void triggerReading(SimReadingFormat format = SimReadingFormat::packed);
    /// Sends every stored reading as a 37-byte export record: AA, the record number as three
    /// zero-padded ASCII digits ("001"; counted from 1 and taken modulo 1000, so the 1000th
    /// record says "000"), two zero bytes, then the 31-byte text record of the reading. Each
    /// record starts a notification of its own.
    void exportReadings();
    /// An unsolicited battery report, as the reader sends one by itself from time to time:
    /// 8E, the configured raw level (SimReaderConfig::batteryRaw), 00, after the answer delay
    /// and with the faults applied like any answer.
    void reportBattery();
    /// Puts tag `index` of the configuration into the field, or empties the field.
    void setTagInField(std::optional<std::size_t> index);
    /// Replaces the stored readings.
    void setStoredReadings(std::vector<SimTag> readings);
    /// Replaces the faults from now on (the random generator goes on where it was).
    void setFaults(SimFaults faults);
    /// Drops the connection from the reader's side.
    void disconnect();
    /// Sets the tap that sees every message sent from now on (empty: none). The tap is
    /// called on the run loop at the moment the message goes out, with the reader's lock
    /// held: it must not call back into this SimReader.
    /// @param tap the tap.
    void setSendTap(SimSendTap tap);

    // --- queries (snapshots)
    /// The configuration as it stands now: tags with the contacts written to them, stored
    /// readings, whether the micro app is current.
    SimReaderConfig config() const;
    /// The last micro-app image uploaded (head and body in order), complete or not.
    Bytes uploadedImage() const;
    /// Whether the micro app is current (it becomes current when an upload ends with the
    /// unlock).
    bool microAppCurrent() const;
    /// Whether a central is connected.
    bool isConnected() const;
    /// Frames received in the reader's life.
    std::size_t framesReceived() const;
    /// The contents of the latest frames received (at most 256, oldest first, without
    /// their markers and escapes).
    std::vector<Bytes> recentFrames() const;
    /// Answer messages sent (a message split over several notifications counts once).
    std::size_t messagesSent() const;

    // --- SimDevice
    void attached(std::shared_ptr<SimDeviceContext> context) override;
    void onConnect() override;
    void onWrite(const Bytes& bytes, const Uuid& characteristic, WriteType type) override;
    void onDisconnect() override;

private:
    ORVEX_SIM_NO_EXPORT void onLoop(std::function<void(ReaderProtocol&)> action);

    mutable std::mutex mutex_;
    std::unique_ptr<ReaderProtocol> protocol_;
    std::shared_ptr<SimDeviceContext> context_;
    std::weak_ptr<platform::Peripheral> peripheral_;
    SimService service_;
};

/// Adds a few advertising peripherals that are not readers (named and unnamed), so that
/// discovery looks like a real room. No name holds a reader name fragment as the link
/// matches it (one holds a fragment in lower case, which the link must pass over).
ORVEX_SIM_EXPORT void addNearbyPeripherals(SimPlatform& platform);

}  // namespace orvex::sim
