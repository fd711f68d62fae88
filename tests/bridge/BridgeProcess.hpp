// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// `orvex bridge ...` in a child process. Its standard output and error are collected line
// by line on a thread of their own, so the child never blocks on a full pipe.

namespace orvex::test {

class BridgeProcess {
public:
    explicit BridgeProcess(std::vector<std::string> args) {
        std::string program = ORVEX_CLI_PATH;
        std::string bridge = "bridge";
        std::vector<char*> argv{program.data(), bridge.data()};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] { collect(fd); });
    }

    ~BridgeProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
    }
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    // Waits until a line holds `text`; false after `seconds` or at the end of the output.
    bool waitForLine(const std::string& text, double seconds) {
        const auto found = [&] {
            for (const auto& line : lines_)
                if (line.find(text) != std::string::npos) return true;
            return false;
        };
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                          [&] { return ended_ || found(); });
        return found();
    }

    // Sends `signal` and waits for the end; the exit code, or -1 when it did not exit.
    int stop(int signal) {
        kill(pid_, signal);
        return wait();
    }
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        if (reader_.joinable()) reader_.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid() const { return pid_; }

    std::string output() {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const auto& line : lines_) all += line + "\n";
        return all;
    }

private:
    void collect(int fd) {
        std::string pending;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<std::size_t>(n));
            std::lock_guard lock(mutex_);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                lines_.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            changed_.notify_all();
        }
        close(fd);
        std::lock_guard lock(mutex_);
        if (!pending.empty()) lines_.push_back(pending);
        ended_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

}  // namespace orvex::test
