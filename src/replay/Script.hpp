// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "orvex/platform/Platform.hpp"
#include "orvex/platform/Uuid.hpp"

// The lines of a replay script, read into events.

namespace orvex::sim::script {

using platform::Bytes;
using platform::Uuid;

// A line that cannot be read; what() says why.
struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class HostOp {
    initializeBluetooth,
    connectToReader,
    disconnectFromReader,
    scan,
    query,
    delegateNone,
    delegateSet,
};

struct Blank {};  // empty line or comment
struct Host {
    HostOp op;
};
struct WriteContact {
    std::string name;
    std::string phone;
    std::string xpdrId;
};
struct Adapter {
    platform::ManagerState state;
};
struct Found {
    std::optional<std::string> name;
    std::string address;  // `at ADDRESS`; empty: one made up from the name
};
// host readerAddress "A" / host readerName "N": the link's restrictions.
struct Restrict {
    bool address = true;
    std::string value;
};
// The end of a scenario file's script: the expected output follows and is not run.
struct End {};
struct Connect {
    bool ok;
};
struct Services {
    std::optional<std::vector<Uuid>> list;
    bool error = false;
};
struct Characteristics {
    Uuid service;
    std::optional<std::vector<Uuid>> list;
    bool error = false;
};
struct Notify {
    std::optional<Uuid> characteristic;  // absent: the one last switched on
    Bytes value;
};
struct Disconnected {};
struct Wait {
    double seconds;
};
struct Image {
    std::optional<Bytes> bytes;
};

using Event = std::variant<Blank, Host, WriteContact, Adapter, Found, Connect, Services,
                           Characteristics, Notify, Disconnected, Wait, Image, Restrict, End>;

// Longest `wait` and largest `image fill` accepted.
inline constexpr double kMaxWaitSeconds = 1'000'000.0;
inline constexpr std::size_t kMaxImageSize = 16u * 1024u * 1024u;

// Reads one line (without its line end). Throws ScriptError.
Event parseLine(std::string_view line);

}  // namespace orvex::sim::script
