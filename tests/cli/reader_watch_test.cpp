#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

// `orvex watch` running in a child process, its standard output read line by line.
class WatchProcess {
public:
    explicit WatchProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::string program = ORVEX_CLI_PATH;
            std::vector<char*> argv{program.data()};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
    }

    ~WatchProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }

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

    // Sends `signal` and returns the exit code (-1 when it did not exit normally).
    int stop(int signal) {
        kill(pid_, signal);
        waitForLine("\x01never", 30.0);  // the rest of the output, up to its end
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

TEST(CliWatch, PrintsJsonLinesUntilASignalThenExitsZero) {
    for (const int signal : {SIGINT, SIGTERM}) {
        WatchProcess watch({"watch", "--sim", "--json", "--delay", "0.005", "--sim-export",
                            "--sim-trigger-every", "0.2"});
        ASSERT_TRUE(watch.waitForLine("\"event\":\"reading\"", 30.0)) << signal;
        EXPECT_EQ(watch.stop(signal), 0) << signal;

        std::vector<std::string> events;
        for (const auto& line : watch.lines) {
            const auto json = nlohmann::json::parse(line);  // every line is one JSON object
            events.push_back(json.at("event"));
            if (json["event"] == "reading") {
                EXPECT_EQ(json["id"], "999 000000012345");
                EXPECT_EQ(json["contact"]["phone"], "+44 7946 0001");
            }
            if (json["event"] == "export") {
                EXPECT_TRUE(json["number"].is_number());
            }
        }
        ASSERT_GE(events.size(), 7u);
        EXPECT_EQ(events[0], "connected");
        EXPECT_EQ(events[1], "battery");
        // The three stored readings, then the trigger reading with its scanning status.
        EXPECT_EQ(std::vector<std::string>(events.begin() + 2, events.begin() + 7),
                  (std::vector<std::string>{"export", "export", "export", "scanning", "reading"}));
    }
}

TEST(CliWatch, TextLinesCarryTheTimeOfDay) {
    WatchProcess watch({"watch", "--sim", "--delay", "0.005", "--sim-trigger-every", "0.2"});
    ASSERT_TRUE(watch.waitForLine("reading", 30.0));
    EXPECT_EQ(watch.stop(SIGINT), 0);
    ASSERT_GE(watch.lines.size(), 3u);
    EXPECT_EQ(watch.lines[0].substr(8), "  connected  KX100-M 2.4.1");
    for (const auto& line : watch.lines) {
        EXPECT_EQ(line[2], ':') << line;
        EXPECT_EQ(line[5], ':') << line;
    }
}

}  // namespace
