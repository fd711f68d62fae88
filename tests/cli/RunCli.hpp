// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// Runs the built `orvex` binary with the given arguments and collects what it printed.

namespace orvex::test {

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline CliResult runCli(const std::vector<std::string>& args) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        std::vector<char*> argv;
        std::string program = ORVEX_CLI_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    CliResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Number of lines in `text` (a last line without a newline counts).
inline int lineCount(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;
    return lines;
}

}  // namespace orvex::test
