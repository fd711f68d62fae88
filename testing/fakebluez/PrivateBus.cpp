// SPDX-License-Identifier: Apache-2.0
#include "fakebluez/PrivateBus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

extern char** environ;

namespace orvex::detail::bluez {

namespace {

constexpr int START_LIMIT_MS = 5000;

std::string config(const std::string& dir, bool denyBluez) {
    std::string text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:path=" +
        dir +
        "/bus</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n";
    if (denyBluez) text += "    <deny send_destination=\"org.bluez\"/>\n";
    text += "  </policy>\n</busconfig>\n";
    return text;
}

}  // namespace

PrivateBus::PrivateBus(bool denyBluez) {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvex-bus-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("private bus: cannot make a directory");
    dir_ = buffer.data();
    const std::string file = dir_ + "/bus.conf";
    std::ofstream(file) << config(dir_, denyBluez);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("private bus: no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);  // dup2 clears close-on-exec
    std::string configArg = "--config-file=" + file;
    std::vector<char*> argv{const_cast<char*>("dbus-daemon"), const_cast<char*>("--nofork"),
                            configArg.data(), const_cast<char*>("--print-address=3"), nullptr};
    const int spawned =
        ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        pid_ = -1;
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("private bus: cannot start dbus-daemon (is it installed?)");
    }
    // The first line is the address; once printed, the daemon listens.
    std::string line;
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (line.empty() || line.back() != '\n') {
        if (::poll(&p, 1, START_LIMIT_MS) <= 0) break;
        const auto n = ::read(fds[0], &c, 1);
        if (n == 1) {
            line += c;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    if (line.empty() || line.back() != '\n') {
        kill();
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("private bus: dbus-daemon printed no address");
    }
    line.pop_back();
    address_ = line;
}

PrivateBus::~PrivateBus() {
    kill();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void PrivateBus::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::size_t PrivateBus::clients() const {
    auto connection = sdbus::createSessionBusConnectionWithAddress(address_);
    auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::vector<std::string> names;
    daemon->callMethod("ListNames")
        .onInterface("org.freedesktop.DBus")
        .withTimeout(std::chrono::seconds(5))
        .storeResultsTo(names);
    // Every connection has one unique name (":1.7"); well-known names ride on them.
    std::size_t unique = 0;
    for (const auto& name : names) unique += name.rfind(':', 0) == 0 ? 1 : 0;
    return unique > 0 ? unique - 1 : 0;
}

}  // namespace orvex::detail::bluez
