// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace orvex::detail::bluez {

// A file descriptor that is closed exactly once, when its owner lets it go. `live`, when
// given, counts the descriptors of one kind that are open.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd, std::atomic<int>* live = nullptr);
    ~OwnedFd() { reset(); }
    OwnedFd(OwnedFd&& other) noexcept;
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
    std::atomic<int>* live_ = nullptr;
};

// The descriptors of the backend's own GATT sockets (AcquireWrite / AcquireNotify) that
// are open now, in this process.
int openGattSockets();
std::atomic<int>& gattSocketCounter();

// Sends one packet without blocking: 1 sent, 0 the socket is full (try again later), -1 the
// socket is broken.
int sendPacket(int fd, const std::uint8_t* data, std::size_t size);

// Reads packets from SOCK_SEQPACKET sockets on its own thread. Each packet is handed to its
// socket's `packet` callback; `closed` runs once when the peer goes away, and the
// descriptor is closed then. Callbacks run on the poller's thread and must not block.
class SocketPoller {
public:
    using Packet = std::function<void(std::vector<std::uint8_t>)>;
    using Closed = std::function<void()>;

    SocketPoller();
    ~SocketPoller();  // stops the thread and closes every socket still watched
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // Takes `fd` over; returns an id for remove().
    unsigned add(OwnedFd fd, Packet packet, Closed closed);
    // Closes the socket; once this returns, none of its callbacks runs any more. Not from
    // inside a callback.
    void remove(unsigned id);

private:
    struct Entry {
        OwnedFd fd;
        Packet packet;
        Closed closed;
    };
    void run();
    void wake();

    std::mutex mutex_;  // held while callbacks run
    std::map<unsigned, Entry> entries_;
    unsigned nextId_ = 0;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace orvex::detail::bluez
