// SPDX-License-Identifier: Apache-2.0
// orvex contact encode PHONE EMAIL | orvex contact decode HEX...

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Commands.hpp"
#include "Hex.hpp"
#include "orvex/Contact.hpp"

namespace orvex::cli {

namespace {

constexpr std::size_t kRecordSize = 24;

struct ContactArgs {
    std::string phone;
    std::string email;
    std::vector<std::string> hex;
};

int encodeContact(const ContactArgs& args) {
    fmt::print("{}\n", formatHex(Contact::encode(args.phone, args.email)));
    return 0;
}

int decodeContact(const ContactArgs& args) {
    std::string error;
    auto bytes = parseHex(args.hex, &error);
    if (!bytes) {
        fmt::print(stderr, "orvex: contact decode: {}\n", error);
        return 2;
    }
    if (bytes->size() < kRecordSize) {
        fmt::print(stderr, "orvex: contact decode: a contact record has 24 bytes, got {}\n",
                   bytes->size());
        return 2;
    }
    const auto contact = Contact::decode(*bytes);
    if (!contact) {
        fmt::print(stderr, "orvex: contact decode: the record fails its checksum\n");
        return 1;
    }
    const nlohmann::ordered_json out{{"phone", contact->phone}, {"name", contact->name}};
    fmt::print("{}\n", out.dump());
    return 0;
}

}  // namespace

void addContactCommands(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<ContactArgs>();
    auto* contact = app.add_subcommand("contact", "Encode or decode a 24-byte contact record");
    contact->require_subcommand(1);

    auto* encode =
        contact->add_subcommand("encode",
                                "Print the contact record of a telephone and an e-mail text as hex "
                                "(put -- before texts that start with '-')");
    encode->add_option("phone", args->phone, "Telephone text (optional '+' and 12 digits)")
        ->required();
    encode->add_option("email", args->email, "E-mail text (25 characters)")->required();
    encode->callback([args, &ctx] { ctx.exitCode = encodeContact(*args); });

    auto* decode = contact->add_subcommand(
        "decode",
        "Print the phone and name of a contact record as JSON; exit 1 when the record fails "
        "its checksum");
    decode->add_option("hex", args->hex, "Record bytes in hex (24 or more; extra bytes ignored)")
        ->required();
    decode->callback([args, &ctx] { ctx.exitCode = decodeContact(*args); });
}

}  // namespace orvex::cli
