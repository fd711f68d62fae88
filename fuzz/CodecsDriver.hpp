// SPDX-License-Identifier: Apache-2.0
#pragma once

// Feeds arbitrary bytes to the contact codec, the reader message decoders and the text
// helpers, checking the properties each one promises.
//
// Input: byte 0 splits the rest into a telephone text and an e-mail text for the encoder;
// the whole input is also a contact record, a scan record, an export record, a version
// text and a payload to escape.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "model/Text.hpp"
#include "orvex/Contact.hpp"
#include "orvex/Transponder.hpp"
#include "reader/Messages.hpp"

namespace orvex::fuzz {

inline void codecFail(const char* what) {
    std::fprintf(stderr, "fuzz_codecs: %s\n", what);
    std::abort();
}

inline int fuzzCodecs(const std::uint8_t* data, std::size_t size) {
    using Bytes = std::vector<std::uint8_t>;
    const Bytes input(data, data + size);

    // Encoding never fails, always gives 24 bytes that decode, and the decoded texts encode
    // to the same record again.
    if (size > 0) {
        const std::size_t split = std::min<std::size_t>(data[0], size - 1);
        const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
        const std::string_view phone = text.substr(0, split);
        const std::string_view email = text.substr(split);
        Bytes record = Contact::encode(phone, email);
        if (record.size() != 24) codecFail("encoded record is not 24 bytes");
        if (record[0] > 0xF0) codecFail("encoded record starts above F0");
        const Bytes original = record;
        auto contact = Contact::decode(record);
        if (!contact) codecFail("encoded record does not decode");
        if (contact->name.size() != 25) codecFail("decoded e-mail is not 25 characters");
        if (Contact::encode(contact->phone, contact->name) != original) {
            codecFail("decoded texts encode to another record");
        }
    }

    // Decoding reads only the first 24 bytes, clears the checksum bits whatever the outcome
    // and changes nothing else.
    {
        Bytes buffer = input;
        auto contact = Contact::decode(buffer);
        if (input.size() < 24) {
            if (contact || buffer != input) codecFail("short buffer decoded or changed");
        } else {
            if (buffer[17] != 0 || (buffer[18] & 0xFC) != 0) codecFail("checksum bits kept");
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                const bool checksum = i == 17 || i == 18;
                if (!checksum && buffer[i] != input[i]) codecFail("decode changed a record byte");
            }
            if (contact && contact->name.size() != 25) codecFail("decoded e-mail length");
        }
    }

    // Message decoders: any bytes give a result; records of the right length give a scan.
    const ScanResult packed = detail::decodePackedScan(input, 0.0);
    if ((size >= 9) != static_cast<bool>(packed.scan)) codecFail("packed scan presence");
    if (packed.scan) {
        const auto& xpdr = *packed.scan->xpdr;
        if (xpdr.type < 0 || xpdr.type > 6) codecFail("packed scan type out of range");
        if (xpdr.id.size() != 16 && xpdr.id.size() != 17) codecFail("packed scan id length");
    }
    const ScanResult text = detail::decodeTextScan(input, 0.0);
    if ((size >= 31) != static_cast<bool>(text.scan)) codecFail("text scan presence");
    if (text.scan && (text.scan->xpdr->type < 0 || text.scan->xpdr->type > 6)) {
        codecFail("text scan type out of range");
    }
    const long number = detail::exportRecordNumber(input);
    if (number < -99 || number > 999) codecFail("export number out of range");
    (void)detail::versionText(input);
    (void)detail::isStatusMessage(input);
    if (size > 0 && detail::batteryLevel(data[0]) > 100) codecFail("battery above 100");

    // Escaping doubles every FE and nothing else: undoing it gives the input back.
    const Bytes escaped = detail::escapePayload(input);
    Bytes unescaped;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        unescaped.push_back(escaped[i]);
        if (escaped[i] == 0xFE) {
            if (i + 1 >= escaped.size() || escaped[i + 1] != 0xFE) codecFail("lone FE");
            ++i;
        }
    }
    if (unescaped != input) codecFail("escaping is not reversible");

    // Text helpers never fail and never read past the text.
    const std::string_view serial(reinterpret_cast<const char*>(data), size);
    const std::int8_t type = Transponder::decode_type(serial);
    if (type < 0 || type > 6) codecFail("decode_type out of range");
    (void)Transponder::decode_id(serial);
    (void)detail::utf8Lossy(std::span<const std::uint8_t>(data, size));
    return 0;
}

}  // namespace orvex::fuzz
