// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The topic tree: <prefix>/<gateway>/status for the gateway, and per reader
// <prefix>/<gateway>/<reader>/{reading, export, status, reply, cmd/<command>}.

namespace orvex::bridge {

class Topics {
public:
    Topics(std::string prefix, std::string gateway);

    // The gateway's own status (retained; the Last Will sets it to offline).
    std::string gatewayStatus() const;
    std::string reading(std::string_view reader) const;
    std::string exportRecord(std::string_view reader) const;
    std::string status(std::string_view reader) const;
    std::string reply(std::string_view reader) const;
    // The subscription that brings every command to every reader of this gateway.
    std::string commandFilter() const;

    // A command topic taken apart: the reader and the command ("scan", "write-contact",
    // "export"); nothing when `topic` is not a command topic of this gateway.
    struct Command {
        std::string reader;
        std::string command;
    };
    std::optional<Command> parseCommand(std::string_view topic) const;

private:
    std::string base_;  // "<prefix>/<gateway>/"
};

}  // namespace orvex::bridge
