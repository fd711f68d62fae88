// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

// A private mosquitto broker for one test: its own directory, config file and free
// loopback port. It keeps its sessions on disk across a stop() and start(), so that a
// subscriber's queued messages survive an outage, as with a real deployment.

namespace orvex::test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvex-bridge-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A loopback port that nothing listens on right now.
inline int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

inline bool portAccepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

struct BrokerOptions {
    // A mosquitto_passwd file; anonymous clients are then refused.
    std::string passwordFile;
    // TLS on the listener: the broker's certificate and key.
    std::string certFile;
    std::string keyFile;
};

class TestBroker {
public:
    explicit TestBroker(const TempDir& dir, BrokerOptions options = {})
        : dir_(dir), port_(freeLoopbackPort()) {
        std::ofstream conf(dir_.file("mosquitto.conf"));
        conf << "listener " << port_ << " 127.0.0.1\n";
        if (const passwd* user = getpwuid(getuid())) conf << "user " << user->pw_name << "\n";
        conf << "persistence true\npersistence_location " << dir_.path() << "/\n";
        conf << "max_queued_messages 0\nlog_dest file " << dir_.file("mosquitto.log") << "\n";
        if (options.passwordFile.empty()) {
            conf << "allow_anonymous true\n";
        } else {
            conf << "allow_anonymous false\npassword_file " << options.passwordFile << "\n";
        }
        if (!options.certFile.empty()) {
            conf << "certfile " << options.certFile << "\nkeyfile " << options.keyFile << "\n";
        }
    }
    ~TestBroker() { stop(); }
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    int port() const { return port_; }
    std::string url(const char* scheme = "mqtt") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

    // Starts the broker and waits (up to 10 s) until it takes connections.
    bool start() {
        const std::string conf = dir_.file("mosquitto.conf");
        pid_ = fork();
        if (pid_ == 0) {
            execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            if (portAccepts(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Stops it the way an operator does (SIGTERM: it saves its sessions) and waits.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    const TempDir& dir_;
    int port_;
    pid_t pid_ = -1;
};

}  // namespace orvex::test
