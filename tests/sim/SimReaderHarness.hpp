// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "simreader/Messages.hpp"
#include "simreader/ReaderProtocol.hpp"

// Helpers for the tests of the simulated reader's protocol core.

namespace orvex::sim::harness {

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes ascii(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes escaped(const Bytes& payload) {
    Bytes out;
    for (auto b : payload) {
        out.push_back(b);
        if (b == 0xFE) out.push_back(0xFE);
    }
    return out;
}

inline Bytes frame(const Bytes& content) {
    return concat({{0xFE, 0x00}, escaped(content), {0xFE, 0x01}});
}

// The reader protocol on a hand-driven clock: scheduled actions run when the test advances
// the time; notifications and disconnections are recorded.
struct Harness {
    double now = 0.0;
    std::multimap<double, std::function<void()>> pending;
    std::vector<Bytes> notifications;
    int disconnects = 0;
    std::vector<std::pair<Bytes, SimSendKind>> sent;  // what the send tap saw
    ReaderProtocol reader;

    explicit Harness(SimReaderConfig config)
        : reader(std::move(config), ReaderProtocol::Io{
                                        [this](const Bytes& b) { notifications.push_back(b); },
                                        [this](double s, std::function<void()> a) {
                                            pending.emplace(now + s, std::move(a));
                                        },
                                        [this] { ++disconnects; },
                                        [this](const Bytes& m, SimSendKind kind) {
                                            sent.emplace_back(m, kind);
                                        },
                                    }) {
        reader.connected();
    }

    void advance(double seconds) {
        const double until = now + seconds;
        while (!pending.empty() && pending.begin()->first <= until) {
            auto it = pending.begin();
            now = it->first;
            auto action = std::move(it->second);
            pending.erase(it);
            action();
        }
        now = until;
    }

    // Writes one command frame and returns the notifications it caused.
    std::vector<Bytes> ask(const Bytes& content) {
        notifications.clear();
        reader.received(frame(content));
        advance(10.0);
        return notifications;
    }
    Bytes askOne(const Bytes& content) {
        auto n = ask(content);
        return n.size() == 1 ? n[0] : Bytes{0xDE, 0xAD};
    }
};

inline SimReaderConfig quickConfig() {
    SimReaderConfig c;
    c.answerDelay = 0.0;
    c.notificationSize = 244;
    return c;
}

}  // namespace orvex::sim::harness
