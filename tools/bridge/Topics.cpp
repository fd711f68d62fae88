// SPDX-License-Identifier: Apache-2.0
#include "Topics.hpp"

namespace orvex::bridge {

Topics::Topics(std::string prefix, std::string gateway)
    : base_(std::move(prefix) + "/" + std::move(gateway) + "/") {}

std::string Topics::gatewayStatus() const {
    return base_ + "status";
}

std::string Topics::reading(std::string_view reader) const {
    return base_ + std::string(reader) + "/reading";
}

std::string Topics::exportRecord(std::string_view reader) const {
    return base_ + std::string(reader) + "/export";
}

std::string Topics::status(std::string_view reader) const {
    return base_ + std::string(reader) + "/status";
}

std::string Topics::reply(std::string_view reader) const {
    return base_ + std::string(reader) + "/reply";
}

std::string Topics::commandFilter() const {
    return base_ + "+/cmd/+";
}

std::optional<Topics::Command> Topics::parseCommand(std::string_view topic) const {
    if (!topic.starts_with(base_)) return std::nullopt;
    topic.remove_prefix(base_.size());
    const auto slash = topic.find('/');
    if (slash == std::string_view::npos || slash == 0) return std::nullopt;
    const std::string_view reader = topic.substr(0, slash);
    std::string_view rest = topic.substr(slash + 1);
    if (!rest.starts_with("cmd/")) return std::nullopt;
    rest.remove_prefix(4);
    if (rest.empty() || rest.find('/') != std::string_view::npos) return std::nullopt;
    return Command{std::string(reader), std::string(rest)};
}

}  // namespace orvex::bridge
