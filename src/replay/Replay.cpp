// SPDX-License-Identifier: Apache-2.0
#include "orvex/sim/Replay.hpp"

#include <type_traits>
#include <utility>

#include "orvex/ReaderInterface.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "replay/Format.hpp"
#include "replay/Recorders.hpp"
#include "replay/Script.hpp"

namespace orvex::sim {

// Opaque to hosts: as a member of an exported class it would be exported too.
struct ORVEX_SIM_NO_EXPORT Replay::State {
    std::shared_ptr<ReplayOutput> out;
    std::shared_ptr<SimPlatform> platform;
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<ReaderInterface> link;
    // A line "---" was read: the rest is a scenario's expected output, not run.
    bool ended = false;

    void run(const script::Event& event);
    void host(script::HostOp op);
};

Replay::Replay(Sink out) : state_(std::make_unique<State>()) {
    auto& s = *state_;
    s.out = std::make_shared<ReplayOutput>();
    s.out->sink = std::move(out);
    s.platform = std::make_shared<SimPlatform>(Clock::virtualTime);
    s.platform->setObserver(std::make_shared<RecordingObserver>(s.out));
    s.delegate = std::make_shared<RecordingDelegate>(s.out);
    s.link = ReaderInterface::create(s.platform);
    s.link->setDelegate(s.delegate);
    s.platform->runUntilIdle();
}

Replay::~Replay() {
    // Whatever the teardown makes happen is not part of the conversation.
    state_->out->closed = true;
    state_->link.reset();
    state_->platform->shutdown();
}

SimPlatform& Replay::platform() {
    return *state_->platform;
}

bool Replay::ended() const {
    return state_->ended;
}

std::optional<std::string> Replay::runLine(std::string_view line) {
    script::Event event;
    try {
        event = script::parseLine(line);
    } catch (const script::ScriptError& e) {
        return std::string(e.what());
    }
    if (std::holds_alternative<script::End>(event)) {
        state_->ended = true;
        return std::nullopt;
    }
    if (!state_->ended) state_->run(event);
    return std::nullopt;
}

void Replay::State::host(script::HostOp op) {
    using script::HostOp;
    switch (op) {
        case HostOp::initializeBluetooth:
            link->initializeBluetooth();
            break;
        case HostOp::connectToReader:
            link->connectToReader();
            break;
        case HostOp::disconnectFromReader:
            link->disconnectFromReader();
            break;
        case HostOp::scan:
            link->scan();
            break;
        case HostOp::query:
            out->line("query isReady: " + format::boolean(link->isReady()) +
                      ", isConnected: " + format::boolean(link->isConnected()) +
                      ", isScanning: " + format::boolean(link->isScanning()));
            break;
        case HostOp::delegateNone:
            link->setDelegate(nullptr);
            break;
        case HostOp::delegateSet:
            link->setDelegate(delegate);
            break;
    }
}

void Replay::State::run(const script::Event& event) {
    std::visit(
        [this](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, script::Blank>) {
                return;
            } else if constexpr (std::is_same_v<E, script::Host>) {
                host(e.op);
            } else if constexpr (std::is_same_v<E, script::WriteContact>) {
                link->writeContact(e.name, e.phone, e.xpdrId,
                                   [out = out](bool success, OrvexContactStatus status) {
                                       out->line("completion(success: " + format::boolean(success) +
                                                 ", status: " + format::name(status) + ")");
                                   });
            } else if constexpr (std::is_same_v<E, script::Adapter>) {
                platform->setAdapterState(e.state);
            } else if constexpr (std::is_same_v<E, script::Found>) {
                platform->discover(platform->addPeripheral(e.name, false, e.address));
            } else if constexpr (std::is_same_v<E, script::Restrict>) {
                if (e.address) {
                    link->setReaderAddress(e.value);
                } else {
                    link->setReaderName(e.value);
                }
            } else if constexpr (std::is_same_v<E, script::End>) {
                return;
            } else if constexpr (std::is_same_v<E, script::Connect>) {
                platform->completeConnect(e.ok);
            } else if constexpr (std::is_same_v<E, script::Services>) {
                platform->reportServices(e.list, e.error);
            } else if constexpr (std::is_same_v<E, script::Characteristics>) {
                platform->reportCharacteristics(e.service, e.list, e.error);
            } else if constexpr (std::is_same_v<E, script::Notify>) {
                if (e.characteristic) {
                    platform->notify(*e.characteristic, e.value);
                } else {
                    platform->notify(e.value);
                }
            } else if constexpr (std::is_same_v<E, script::Disconnected>) {
                platform->reportDisconnected();
            } else if constexpr (std::is_same_v<E, script::Wait>) {
                platform->advance(e.seconds);
            } else if constexpr (std::is_same_v<E, script::Image>) {
                platform->setMicroAppImage(e.bytes);
            }
        },
        event);
    platform->runUntilIdle();
}

std::optional<std::string> runScript(std::istream& script, const Replay::Sink& out) {
    Replay replay(out);
    std::string line;
    for (long number = 1; std::getline(script, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (replay.ended()) break;
        if (auto error = replay.runLine(line)) {
            return "line " + std::to_string(number) + ": " + *error;
        }
    }
    return std::nullopt;
}

}  // namespace orvex::sim
