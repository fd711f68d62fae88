// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace orvex::detail {

// Which exchange with the reader is outstanding, and so how the next bytes are read.
enum class State {
    idle,
    pingSent,
    waitingForVersion,
    waitingForBattery,
    waitingForScan,
    receivingScan,
    receivingExport,
    waitingForContact,
    receivingContact,
    incomingScan,
    checkMicroApp,
    updatingMicroApp,
    writingContact,
};

}  // namespace orvex::detail
