// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

// The built `orvex` binary running in a child process while the test goes on: its standard
// output is read line by line, and it is stopped with a signal.

namespace orvex::test {

class CliProcess {
public:
    explicit CliProcess(std::vector<std::string> args) {
        // Everything the child needs is made before fork(): the child only calls exec.
        std::string program = ORVEX_CLI_PATH;
        std::vector<char*> argv{program.data()};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
    }

    ~CliProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }

    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Reads lines until one holds `text`; false after `seconds` or at the end of output.
    bool waitForLine(const std::string& text, double seconds) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(seconds));
        for (;;) {
            for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
                lines.push_back(pending_.substr(0, end));
                pending_.erase(0, end + 1);
                if (lines.back().find(text) != std::string::npos) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return false;
            pending_.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Sends `signal`, reads the rest of the output and returns the exit code (-1 when the
    // process did not exit normally).
    int stop(int signal) {
        kill(pid_, signal);
        waitForLine("\x01never", 30.0);
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> lines;

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    std::string pending_;
};

}  // namespace orvex::test
