// SPDX-License-Identifier: Apache-2.0
#include "BridgeConfig.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

namespace orvex::bridge {

namespace {

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<double> toNumber(const std::string& text) {
    double value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

std::optional<bool> toBool(const std::string& text) {
    if (text == "true" || text == "yes" || text == "on" || text == "1") return true;
    if (text == "false" || text == "no" || text == "off" || text == "0") return false;
    return std::nullopt;
}

using Apply = std::function<std::string(BridgeConfig&, const std::string&)>;

Apply text(std::string BridgeConfig::*field) {
    return [field](BridgeConfig& c, const std::string& v) {
        c.*field = v;
        return std::string();
    };
}

Apply topicLevel(std::string BridgeConfig::*field) {
    return [field](BridgeConfig& c, const std::string& v) {
        if (!isTopicLevel(v)) return fmt::format("'{}' is not one MQTT topic level", v);
        c.*field = v;
        return std::string();
    };
}

Apply number(double BridgeConfig::*field, double low, double high) {
    return [=](BridgeConfig& c, const std::string& v) {
        const auto n = toNumber(v);
        if (!n || *n < low || *n > high)
            return fmt::format("'{}' must be a number from {:g} to {:g}", v, low, high);
        c.*field = *n;
        return std::string();
    };
}

template <typename Int>
Apply whole(Int BridgeConfig::*field, double low, double high) {
    return [=](BridgeConfig& c, const std::string& v) {
        const auto n = toNumber(v);
        if (!n || *n < low || *n > high || *n != static_cast<double>(static_cast<long long>(*n)))
            return fmt::format("'{}' must be a whole number from {:g} to {:g}", v, low, high);
        c.*field = static_cast<Int>(*n);
        return std::string();
    };
}

Apply flag(bool BridgeConfig::*field) {
    return [field](BridgeConfig& c, const std::string& v) {
        const auto b = toBool(v.empty() ? std::string("true") : v);
        if (!b) return fmt::format("'{}' must be true or false", v);
        c.*field = *b;
        return std::string();
    };
}

std::string applyReader(BridgeConfig& c, const std::string& v) {
    ReaderSpec wanted;
    const auto eq = v.find('=');
    wanted.name = v.substr(0, eq);
    if (eq != std::string::npos) wanted.address = v.substr(eq + 1);
    if (!isTopicLevel(wanted.name))
        return fmt::format("reader '{}': the name must be one MQTT topic level", v);
    if (std::any_of(c.readers.begin(), c.readers.end(),
                    [&](const ReaderSpec& r) { return r.name == wanted.name; }))
        return fmt::format("reader '{}' is named twice", wanted.name);
    c.readers.push_back(std::move(wanted));
    return {};
}

std::string applyBroker(BridgeConfig& c, const std::string& v) {
    std::string error;
    auto address = parseBrokerUrl(v, error);
    if (!address) return error;
    c.broker = *address;
    return {};
}

std::string applySpoolSync(BridgeConfig& c, const std::string& v) {
    if (v == "full") {
        c.spoolSyncFull = true;
    } else if (v == "normal") {
        c.spoolSyncFull = false;
    } else {
        return fmt::format("'{}' must be full or normal", v);
    }
    return {};
}

std::string applyLogLevel(BridgeConfig& c, const std::string& v) {
    static const std::pair<const char*, LogLevel> levels[] = {{"error", LogLevel::error},
                                                              {"warning", LogLevel::warning},
                                                              {"info", LogLevel::info},
                                                              {"debug", LogLevel::debug}};
    for (const auto& [name, level] : levels) {
        if (v == name) {
            c.logLevel = level;
            return {};
        }
    }
    return fmt::format("'{}' must be error, warning, info or debug", v);
}

std::string unquote(const std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

bool isTopicLevel(std::string_view level) {
    return !level.empty() && level.find_first_of("/+#") == std::string_view::npos &&
           level.find('\0') == std::string_view::npos;
}

std::optional<BrokerAddress> parseBrokerUrl(std::string_view url, std::string& error) {
    BrokerAddress address;
    std::string_view rest = url;
    if (rest.starts_with("mqtts://")) {
        address.tls = true;
        address.port = 8883;
        rest.remove_prefix(8);
    } else if (rest.starts_with("mqtt://")) {
        rest.remove_prefix(7);
    } else if (rest.find("://") != std::string_view::npos) {
        error = fmt::format("broker '{}': the scheme must be mqtt:// or mqtts://", url);
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    // "[::1]:1883" for an IPv6 address, "host:1883" otherwise.
    std::string_view host = rest;
    std::string_view port;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) {
            error = fmt::format("broker '{}': unclosed '['", url);
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                error = fmt::format("broker '{}': expected ':' after ']'", url);
                return std::nullopt;
            }
            port = rest.substr(close + 2);
        }
    } else if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("/@ ") != std::string_view::npos) {
        error = fmt::format("broker '{}': expected mqtt://host:port", url);
        return std::nullopt;
    }
    address.host = std::string(host);
    if (!port.empty() || rest.ends_with(':')) {
        int value = 0;
        const auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || ptr != port.data() + port.size() || value < 1 || value > 65535) {
            error = fmt::format("broker '{}': the port must be a number from 1 to 65535", url);
            return std::nullopt;
        }
        address.port = value;
    }
    return address;
}

const std::vector<ConfigKey>& configKeys() {
    static const std::vector<ConfigKey> keys = {
        {"broker", "Broker address: mqtt://host:port or mqtts://host:port (TLS)", false, false,
         applyBroker},
        {"gateway", "This gateway's topic level (default: the host name)", false, false,
         topicLevel(&BridgeConfig::gateway)},
        {"prefix", "First topic level (default: orvex)", false, false,
         topicLevel(&BridgeConfig::prefix)},
        {"client-id", "MQTT client id (default: orvex-bridge-<gateway>)", false, false,
         text(&BridgeConfig::clientId)},
        {"username", "Broker user name", false, false, text(&BridgeConfig::username)},
        {"password", "Broker password (better kept in the config file)", false, false,
         text(&BridgeConfig::password)},
        {"ca-file", "CA certificate file that the broker's certificate must chain to", false,
         false, text(&BridgeConfig::caFile)},
        {"cert-file", "Client certificate file (with key-file)", false, false,
         text(&BridgeConfig::certFile)},
        {"key-file", "Client private key file (with cert-file)", false, false,
         text(&BridgeConfig::keyFile)},
        {"keepalive", "MQTT keep-alive in seconds (5 to 3600)", false, false,
         whole(&BridgeConfig::keepalive, 5, 3600)},
        {"spool", "Spool file (SQLite)", false, false, text(&BridgeConfig::spoolPath)},
        {"spool-limit", "Most messages the spool holds before it refuses readings", false,
         false, whole(&BridgeConfig::spoolLimit, 1, 1e9)},
        {"spool-sync", "full: every spool commit reaches the disk; normal: at checkpoints",
         false, false, applySpoolSync},
        {"reconnect-min", "Shortest wait before connecting again (seconds)", false, false,
         number(&BridgeConfig::reconnectMin, 0.05, 3600)},
        {"reconnect-max", "Longest wait before connecting again (seconds)", false, false,
         number(&BridgeConfig::reconnectMax, 0.05, 3600)},
        {"reader", "A reader: NAME (its topic level) or NAME=ADDRESS; repeatable", true, false,
         applyReader},
        {"sim", "Use the simulated reader instead of Bluetooth", false, true,
         flag(&BridgeConfig::sim)},
        {"sim-trigger-every", "Simulated trigger reading every so many seconds", false, false,
         number(&BridgeConfig::simTriggerEvery, 0, 86400)},
        {"sim-export-every", "Simulated export every so many seconds", false, false,
         number(&BridgeConfig::simExportEvery, 0, 86400)},
        {"sim-stored", "Stored readings of the simulated reader (1 to 999)", false, false,
         whole(&BridgeConfig::simStored, 1, 999)},
        {"sim-delay", "Answer delay of the simulated reader (seconds)", false, false,
         number(&BridgeConfig::simDelay, 0, 10)},
        {"once", "Deliver what the spool holds, then stop", false, true,
         flag(&BridgeConfig::once)},
        {"timeout", "With --once: longest wait for the broker (seconds)", false, false,
         number(&BridgeConfig::timeout, 0.1, 1e6)},
        {"log-level", "error, warning, info or debug", false, false, applyLogLevel},
    };
    return keys;
}

std::string readConfigFile(const std::string& path,
                           std::map<std::string, std::vector<std::string>>& values) {
    std::ifstream in(path);
    if (!in) return fmt::format("cannot read config file {}: {}", path, std::strerror(errno));
    std::string line;
    int number = 0;
    bool holdsPassword = false;
    while (std::getline(in, line)) {
        ++number;
        const std::string content = trim(line);
        if (content.empty() || content.front() == '#') continue;
        const auto eq = content.find('=');
        if (eq == std::string::npos)
            return fmt::format("{}:{}: expected key = value", path, number);
        const std::string key = trim(std::string_view(content).substr(0, eq));
        const std::string value = unquote(trim(std::string_view(content).substr(eq + 1)));
        const auto& keys = configKeys();
        const auto known = std::find_if(keys.begin(), keys.end(),
                                        [&](const ConfigKey& k) { return k.name == key; });
        if (known == keys.end()) return fmt::format("{}:{}: unknown key '{}'", path, number, key);
        if (key == "password" && !value.empty()) holdsPassword = true;
        values[key].push_back(value);
    }
    if (holdsPassword) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0)
            return fmt::format("cannot read config file {}: {}", path, std::strerror(errno));
        if (info.st_mode & S_IROTH)
            return fmt::format(
                "config file {} holds a password and others can read it (chmod o-r {})", path,
                path);
    }
    return {};
}

std::string finishConfig(BridgeConfig& config) {
    if (config.gateway.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0 || !isTopicLevel(host))
            return "cannot take the gateway name from the host name: give --gateway";
        config.gateway = host;
    }
    if (config.clientId.empty()) config.clientId = "orvex-bridge-" + config.gateway;
    if (config.readers.empty()) config.readers.push_back({"reader", ""});
    if (config.reconnectMax < config.reconnectMin) config.reconnectMax = config.reconnectMin;
    if (config.certFile.empty() != config.keyFile.empty())
        return "cert-file and key-file go together";
    if (!config.caFile.empty() || !config.certFile.empty()) {
        if (!config.broker.tls)
            return "ca-file and cert-file need a TLS broker address (mqtts://)";
    }
    for (const auto* file : {&config.caFile, &config.certFile, &config.keyFile}) {
        if (!file->empty() && access(file->c_str(), R_OK) != 0)
            return fmt::format("cannot read {}: {}", *file, std::strerror(errno));
    }
    return {};
}

}  // namespace orvex::bridge
