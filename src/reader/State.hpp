// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace orvex::detail {

// Which exchange with the reader is outstanding, and so what an answer means. (How the bytes
// are cut into messages does not depend on it: MessageFramer.hpp.)
enum class State {
    idle,
    pingSent,
    waitingForVersion,
    waitingForBattery,
    waitingForScan,
    waitingForContact,
    checkMicroApp,
    updatingMicroApp,
    writingContact,
};

}  // namespace orvex::detail
