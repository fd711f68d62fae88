// SPDX-License-Identifier: Apache-2.0
#include "Relaunch.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace orvex::cli {

namespace {

std::vector<std::string>& remembered() {
    static std::vector<std::string> arguments;
    return arguments;
}

std::vector<char*> argvOf(const std::string& name, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

void rememberCommandLine(int argc, char** argv) {
    remembered().assign(argv + 1, argv + argc);
}

const std::vector<std::string>& commandLineArguments() {
    return remembered();
}

std::string relaunch(const std::string& program, const std::vector<std::string>& directories,
                     bool searchPath, const std::vector<std::string>& arguments) {
    // Whatever this process has printed must come out before the other one's output.
    std::fflush(stdout);
    std::fflush(stderr);
    std::error_code ignored;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path();
    std::string tried;
    for (const auto& directory : self.empty() ? std::vector<std::string>{} : directories) {
        const std::filesystem::path candidate =
            (self / directory / program).lexically_normal();
        if (!std::filesystem::exists(candidate, ignored)) {
            tried += (tried.empty() ? "" : ", ") + candidate.string();
            continue;
        }
        const auto argv = argvOf(candidate.string(), arguments);
        ::execv(candidate.c_str(), argv.data());
        return "cannot run " + candidate.string() + ": " + std::strerror(errno);
    }
    if (searchPath) {
        const auto argv = argvOf(program, arguments);
        ::execvp(program.c_str(), argv.data());
        if (errno != ENOENT) return "cannot run " + program + ": " + std::strerror(errno);
        tried += (tried.empty() ? "" : ", ") + std::string("PATH");
    }
    return program + " is not installed (looked in " + tried + ")";
}

}  // namespace orvex::cli
