// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/Sockets.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvex::detail::bluez {

OwnedFd::OwnedFd(int fd, std::atomic<int>* live) : fd_(fd), live_(fd >= 0 ? live : nullptr) {
    if (live_) ++*live_;
}

OwnedFd::OwnedFd(OwnedFd&& other) noexcept : fd_(other.fd_), live_(other.live_) {
    other.fd_ = -1;
    other.live_ = nullptr;
}

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        live_ = other.live_;
        other.fd_ = -1;
        other.live_ = nullptr;
    }
    return *this;
}

void OwnedFd::reset() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    if (live_) --*live_;
    live_ = nullptr;
}

std::atomic<int>& gattSocketCounter() {
    static std::atomic<int> counter{0};
    return counter;
}

int openGattSockets() {
    return gattSocketCounter().load();
}

int sendPacket(int fd, const std::uint8_t* data, std::size_t size) {
    for (;;) {
        const auto sent = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) return 1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return 0;
        return -1;
    }
}

SocketPoller::SocketPoller() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { run(); });
}

SocketPoller::~SocketPoller() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    entries_.clear();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void SocketPoller::wake() {
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

unsigned SocketPoller::add(OwnedFd fd, Packet packet, Closed closed) {
    unsigned id;
    {
        std::lock_guard lock(mutex_);
        id = ++nextId_;
        entries_.emplace(id, Entry{std::move(fd), std::move(packet), std::move(closed)});
    }
    wake();
    return id;
}

void SocketPoller::remove(unsigned id) {
    {
        std::lock_guard lock(mutex_);
        entries_.erase(id);
    }
    wake();
}

void SocketPoller::run() {
    ::pthread_setname_np(::pthread_self(), "orvex-sockets");
    std::vector<pollfd> fds;
    std::vector<unsigned> ids;
    std::vector<std::uint8_t> buffer(1024);
    while (!stopping_) {
        fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
        ids.assign(1, 0);
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, entry] : entries_) {
                fds.push_back(pollfd{entry.fd.get(), POLLIN, 0});
                ids.push_back(id);
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            std::uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        std::lock_guard lock(mutex_);
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            // A socket removed (and its number perhaps reused) since the poll began is
            // skipped: only what is still registered under the same id is read.
            auto it = entries_.find(ids[i]);
            if (it == entries_.end() || it->second.fd.get() != fds[i].fd) continue;
            bool gone = (fds[i].revents & (POLLERR | POLLNVAL)) != 0;
            while (!gone) {
                const auto n = ::recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n > 0) {
                    it->second.packet(
                        std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n));
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    gone = (fds[i].revents & POLLHUP) != 0;
                    break;
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    gone = true;
                }
            }
            if (gone) {
                auto closed = std::move(it->second.closed);
                entries_.erase(it);
                if (closed) closed();
            }
        }
    }
}

}  // namespace orvex::detail::bluez
