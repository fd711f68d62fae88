// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "orvex/platform/Platform.hpp"
#include "orvex/Export.hpp"

/// \file
/// Recording a session for `orvex replay`.
///
/// A recorder is a platform that forwards everything to the platform it wraps and writes
/// down, as a replay script, what that platform delivered to the link: the adapter state,
/// every peripheral discovered, connection outcomes, services and characteristics, every
/// notification, disconnections, and the host's operations, with the time between them.
/// `orvex replay FILE` then runs the same conversation in virtual time and prints the
/// delegate calls the live session made, so that a problem seen in the field becomes a
/// file to attach to a bug report and to turn into a test.
///
/// \code
/// std::string why;
/// auto platform = orvex::bluez::makePlatform({}, &why);
/// auto recorded = orvex::record::recordToFile(platform, "session.txt", &why);
/// auto link = orvex::ReaderInterface::create(recorded);
/// \endcode
///
/// Wrap the platform of one link (a recorder records one conversation). The waits of the
/// script are placed so that every timer of the link fires in the replay in the same order,
/// relative to the events, as it fired in the live session.

namespace orvex::record {

/// Receives the script one line at a time (without a line end), on the link queue.
using LineSink = std::function<void(std::string_view line)>;

/// A platform that forwards to `platform` and hands every script line to `sink`.
ORVEX_EXPORT std::shared_ptr<platform::Platform> recordTo(
    std::shared_ptr<platform::Platform> platform, LineSink sink);

/// The same, writing the script to the file at `path` (replaced if it exists), each line
/// flushed as it is written so that a crash loses nothing already seen. Returns nullptr,
/// with a one-line reason in `*error` if given, when the file cannot be opened.
ORVEX_EXPORT std::shared_ptr<platform::Platform> recordToFile(
    std::shared_ptr<platform::Platform> platform, const std::string& path,
    std::string* error = nullptr);

}  // namespace orvex::record
