// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace orvex::detail::bluez {

// A private dbus-daemon for tests and measurements: started on construction (the address
// is known and the daemon listens once the constructor returns), ended on destruction.
// Its policy allows everything, or, with `denyBluez`, refuses every call to org.bluez (as a
// system bus does for a user outside the bluetooth policy).
class PrivateBus {
public:
    explicit PrivateBus(bool denyBluez = false);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }  // the daemon's process (for measurements)
    // Ends the daemon now (every connection on it breaks).
    void kill();
    // How many clients are connected to the bus now, leaving out the connection that asks:
    // a fake org.bluez counts as one.
    std::size_t clients() const;

private:
    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
};

}  // namespace orvex::detail::bluez
