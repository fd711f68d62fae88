// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "orvex/ReaderInterface.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/platform/Uuid.hpp"

// The vocabulary shared with the reader: command frames, incoming message codes, GATT
// identifiers, timing constants and the texts the link uses.

namespace orvex::detail {

using Bytes = std::vector<std::uint8_t>;

// Outgoing frames (every constant already holds its FE 00 ... FE 01 markers).
inline const Bytes PING_DATA{0xFE, 0x00, 0xFE, 0x01};
inline const Bytes VERSION_DATA{0xFE, 0x00, 0x07, 0xFE, 0x01};
inline const Bytes BATTERY_DATA{0xFE, 0x00, 0x0E, 0xFE, 0x01};
inline const Bytes SCAN_DATA{0xFE, 0x00, 0x08, 0x0F, 0xFE, 0x01};
inline const Bytes CHECK_MICRO_APP_DATA{0xFE, 0x00, 0x04, 0xFE, 0x01};
inline const Bytes COMMAND_START_PREFIX_DATA{0xFE, 0x00, 0x03};
inline const Bytes COMMAND_START_SUFFIX_DATA{0xFE, 0x01};
inline const Bytes CONTACT_READ_DATA{0x10, 0x10, 0x7C};
inline const Bytes CONTACT_WRITE_DATA{0x11, 0x10, 0x7C};

// Micro-app upload frames.
inline const Bytes LOCK_PREFIX_DATA{0xFE, 0x00, 0x00};
inline const Bytes SLICE_PREFIX_DATA{0xFE, 0x00, 0x01};
inline const Bytes UNLOCK_DATA{0xFE, 0x00, 0x02, 0xFE, 0x01};
inline const Bytes FRAME_END_DATA{0xFE, 0x01};

// First bytes of incoming messages.
namespace code {
inline constexpr std::uint8_t contact = 0x10;
inline constexpr std::uint8_t text = 0x55;  // status message or text scan record
inline constexpr std::uint8_t noResult = 0x7E;
inline constexpr std::uint8_t negative = 0x7F;
inline constexpr std::uint8_t ack = 0x80;
inline constexpr std::uint8_t lockAck = 0x81;
inline constexpr std::uint8_t sliceAck = 0x82;
inline constexpr std::uint8_t unlockAck = 0x83;
inline constexpr std::uint8_t microAppCheck = 0x84;
inline constexpr std::uint8_t version = 0x87;
inline constexpr std::uint8_t requestedScan = 0x88;
inline constexpr std::uint8_t battery = 0x8E;
inline constexpr std::uint8_t scan = 0x8F;
inline constexpr std::uint8_t exportRecord = 0xAA;
inline constexpr std::uint8_t contactWritten = 0x11;
inline constexpr std::uint8_t contactNotWritten = 0x12;
}  // namespace code

// Message sizes.
inline constexpr std::size_t PACKED_SCAN_SIZE = 9;
inline constexpr std::size_t TEXT_SCAN_SIZE = 31;
inline constexpr std::size_t EXPORT_RECORD_SIZE = 37;
inline constexpr std::size_t CONTACT_ANSWER_SIZE = 25;
inline constexpr std::size_t CONTACT_RECORD_SIZE = 24;
inline constexpr std::size_t MICRO_APP_ANSWER_SIZE = 3;
inline constexpr std::size_t BATTERY_ANSWER_SIZE = 3;
inline constexpr std::size_t STATUS_MESSAGE_SIZE = 6;
inline constexpr std::string_view STATUS_TAG = "QX,S";
inline constexpr std::uint8_t STATUS_BEGIN = 'B';
inline constexpr std::uint8_t STATUS_END = 'E';


// Micro-app image layout.
inline constexpr std::size_t MICRO_APP_HEAD_SIZE = ReaderInterface::MICRO_APP_HEAD_SIZE;
inline constexpr std::size_t MICRO_APP_SLICE_SIZE = ReaderInterface::MICRO_APP_SLICE_SIZE;

// GATT identifiers.
inline const platform::Uuid UARTService{"49535343-FE7D-4AE5-8FA9-9FAFD205E455"};
inline const platform::Uuid UARTReadCharacteristic{"49535343-1E4D-4BD9-BA61-23C647249616"};
inline const platform::Uuid UARTWriteCharacteristic{"49535343-8841-43F4-A8D4-ECBE34729BB3"};
inline const platform::Uuid GenericService{"FFE0"};
inline const platform::Uuid GenericCharacteristic{"FFE1"};
inline const std::vector<platform::Uuid> KnownServices{GenericService, UARTService};
inline const std::vector<platform::Uuid> KnownCharacteristics{
    GenericCharacteristic, UARTReadCharacteristic, UARTWriteCharacteristic};

// Timing (seconds) and counters.
inline constexpr double CONNECTION_TIMEOUT = 10.0;
inline constexpr double WATCHDOG_INTERVAL = 2.5;
inline constexpr double SCAN_TIMEOUT = 21.0;
inline constexpr double CONTACT_TIMEOUT = 21.0;
inline constexpr double CONTACT_WRITE_PHASE_TIMEOUT = 21.0;
// The same export record again within this time is a doubled notification.
inline constexpr double DOUBLED_EXPORT_RECORD_WINDOW = 1.0;
// The same reading, battery level, contact record or 7E again, right after itself and within
// this time, is a doubled notification (a second 7E would end the next exchange). A doubled notification comes with its original, in the
// same connection event; two messages the reader sends are at least a connection event apart
// (7.5 ms, the shortest interval Bluetooth LE allows), which this window stays below, so two
// equal battery reports, or two readings whose tags hold the same contact, are both reported.
inline constexpr double DOUBLED_MESSAGE_WINDOW = 0.005;
// Readings that wait for their contact to be read. A reading beyond them is reported at once
// without its contact (and the log says so).
inline constexpr std::size_t READING_QUEUE_CAP = 32;
inline constexpr long PING_LIMIT = 9;  // the link drops when pingCounter exceeds this
inline constexpr long BATTERY_PERIOD = 100;
// Watchdog ticks (7.5 to 10 s) an upload waits for an acknowledgement while the reader goes
// on talking, before it counts as lost.
inline constexpr long UPLOAD_STALL_TICKS = 4;
inline constexpr double BATTERY_FULL_SCALE = 134.0;

// Texts.
inline constexpr std::array<std::string_view, 6> READER_NAME_FRAGMENTS{
    "CC41-A", "KESTRALON", "QX-BT4", "KX-BT4", "KX250-BT4", "HC-02"};
// True for an advertised name the link connects to.
inline bool isReaderName(std::string_view name) {
    for (auto fragment : READER_NAME_FRAGMENTS) {
        if (name.find(fragment) != std::string_view::npos) return true;
    }
    return false;
}
inline constexpr std::string_view VERSION_LONG_NAME = "KESTRALON KX100 MOBILE";
inline constexpr std::string_view VERSION_SHORT_NAME = "KX100-M";
inline constexpr std::string_view VERSION_REFUSED_TEXT = "Connected";
inline constexpr std::string_view DETECTED_DEVICES = BLE_DETECTED_DEVICES;
inline constexpr std::string_view UNNAMED = BLE_UNNAMED;
inline constexpr std::string_view DISCOVERED_SERVICES = BLE_DISCOVERED_SERVICES;
inline constexpr std::string_view DISCOVERED_CHARACTERISTICS = BLE_DISCOVERED_CHARACTERISTICS;

}  // namespace orvex::detail
