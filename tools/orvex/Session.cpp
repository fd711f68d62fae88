// SPDX-License-Identifier: Apache-2.0
#include "Session.hpp"

#include <chrono>
#include <future>

#include <fmt/format.h>

#include "Backend.hpp"
#include "Describe.hpp"
#include "orvex/record/Recorder.hpp"

namespace orvex::cli {

namespace {

using Clock = std::chrono::steady_clock;

// How long closing waits for the reader to confirm the disconnection.
constexpr double kDisconnectWait = 3.0;
// How long closing waits for the link and the platform to be released by other threads.
constexpr double kTeardownWait = 3.0;

Clock::time_point deadlineAfter(double seconds) {
    // Bounded, so that a huge timeout cannot overflow the clock.
    const double bounded = std::min(seconds, 1.0e7);
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

bool endsLink(const Event& event) {
    return event.kind == Event::Kind::disconnected || event.kind == Event::Kind::connectionFailed ||
           event.kind == Event::Kind::btError;
}

}  // namespace

// The platform as the link sees it: it forwards every call and reports when the link has
// let go of it, so that the session can end the real platform after the link, on its own
// thread.
class Session::LinkPlatform : public platform::Platform {
public:
    explicit LinkPlatform(std::shared_ptr<platform::Platform> platform)
        : platform_(std::move(platform)) {}
    ~LinkPlatform() override {
        platform_.reset();  // before the news, so that the session holds the last reference
        released_.set_value();
    }

    std::future<void> released() { return released_.get_future(); }

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate> delegate) override {
        return platform_->createCentralManager(std::move(delegate));
    }
    platform::Executor& linkQueue() override { return platform_->linkQueue(); }
    platform::Executor& mainExecutor() override { return platform_->mainExecutor(); }
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                   std::function<void()> action) override {
        return platform_->scheduleTimer(seconds, repeats, std::move(action));
    }
    double now() const override { return platform_->now(); }
    std::optional<platform::Bytes> microAppImage() override { return platform_->microAppImage(); }
    void hostOperation(std::string_view operation,
                       const std::vector<std::string>& arguments) override {
        platform_->hostOperation(operation, arguments);
    }

private:
    std::shared_ptr<platform::Platform> platform_;
    std::promise<void> released_;
};

Session::Session(SessionOptions options)
    : options_(std::move(options)),
      queue_(std::make_shared<EventQueue>()),
      delegate_(std::make_shared<EventDelegate>(queue_)) {}

Session::~Session() {
    close();
}

std::unique_ptr<Session> Session::open(const SessionOptions& options, std::string& error) {
    auto sessions = openSeveral(options, {options.address}, error);
    if (sessions.empty()) return nullptr;
    return std::move(sessions.front());
}

std::vector<std::unique_ptr<Session>> Session::openSeveral(
    const SessionOptions& options, const std::vector<std::string>& addresses,
    std::string& error) {
    std::vector<std::unique_ptr<Session>> sessions;
    for (const auto& address : addresses) {
        SessionOptions own = options;
        own.address = address;
        if (options.sim) own.simSetup.reader.address = address;
        sessions.emplace_back(new Session(std::move(own)));
    }
    if (sessions.empty()) return sessions;
    std::shared_ptr<platform::Platform> platform;
    std::shared_ptr<void> owner;
    if (options.sim) {
        auto simPlatform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
        simPlatform->setMicroAppImage(options.simSetup.microAppImage);
        if (options.simSetup.nearbyDevices) sim::addNearbyPeripherals(*simPlatform);
        for (auto& session : sessions) {
            session->simReader_ = sim::SimReader::attach(
                *simPlatform, session->options_.simSetup.reader, options.simSetup.timing);
        }
        platform = simPlatform;
        owner = std::shared_ptr<void>(nullptr, [simPlatform](void*) { simPlatform->shutdown(); });
    } else {
        auto backend = openBluetoothBackend(options.adapter, options.microAppImage, error);
        if (!backend) return {};
        platform = std::move(backend->platform);
        auto stop = std::move(backend->shutdown);
        owner = std::shared_ptr<void>(nullptr, [stop](void*) {
            if (stop) stop();
        });
        for (auto& session : sessions) session->ownerStops_ = static_cast<bool>(stop);
    }
    for (auto& session : sessions) {
        session->ownerStops_ = session->ownerStops_ || options.sim;
        if (!session->attach(platform, owner, error)) return {};
    }
    return sessions;
}

bool Session::attach(std::shared_ptr<platform::Platform> platform, std::shared_ptr<void> owner,
                     std::string& error) {
    platform_ = std::move(platform);
    platformOwner_ = std::move(owner);
    std::shared_ptr<platform::Platform> seen = platform_;
    if (!options_.recordPath.empty()) {
        seen = record::recordToFile(platform_, options_.recordPath, &error);
        if (!seen) return false;
    }
    linkPlatform_ = std::make_shared<LinkPlatform>(seen);
    reader_ = ReaderInterface::create(linkPlatform_);
    reader_->setReaderAddress(options_.address);
    reader_->setDelegate(delegate_);
    return true;
}

std::string Session::readerName() const {
    return options_.sim ? options_.simSetup.reader.name : std::string();
}

void Session::track(const Event& event) {
    switch (event.kind) {
        case Event::Kind::connecting:
            connecting_ = true;
            break;
        case Event::Kind::connected:
            connecting_ = false;
            connected_ = true;
            break;
        case Event::Kind::disconnected:
        case Event::Kind::connectionFailed:
            connecting_ = false;
            connected_ = false;
            break;
        default:
            break;
    }
}

Wait Session::waitFor(const Match& match, double seconds, const Observer& observe) {
    const auto deadline = deadlineAfter(seconds);
    for (;;) {
        auto event = queue_->next(deadline);
        if (!event) {
            return Wait{interruptRequested() ? WaitStatus::interrupted : WaitStatus::timedOut,
                        Event()};
        }
        track(*event);
        if (match && match(*event)) return Wait{WaitStatus::matched, std::move(*event)};
        if (endsLink(*event)) return Wait{WaitStatus::linkLost, std::move(*event)};
        if (observe) observe(*event);
    }
}

Wait Session::waitFor(const Match& match, const Observer& observe) {
    return waitFor(match, options_.timeout, observe);
}

std::string Session::explain(const Wait& wait, std::string_view awaited) const {
    switch (wait.status) {
        case WaitStatus::matched:
            return {};
        case WaitStatus::interrupted:
            return "interrupted";
        case WaitStatus::timedOut:
            return fmt::format("timed out after {:g} s waiting for {}", options_.timeout, awaited);
        case WaitStatus::linkLost:
            break;
    }
    const Event& e = wait.event;
    switch (e.kind) {
        case Event::Kind::btError:
            return "Bluetooth unusable: " + describe(static_cast<OrvexBluetoothError>(e.code));
        case Event::Kind::connectionFailed:
            return "connection failed: " + describe(static_cast<OrvexConnectionError>(e.code));
        case Event::Kind::disconnected:
            return "the reader disconnected: " +
                   describe(static_cast<OrvexDisconnectionCause>(e.code));
        default:
            return "the link ended";
    }
}

std::string Session::connect(const Observer& observe) {
    reader_->initializeBluetooth();
    auto wait = waitFor([](const Event& e) { return is(e, Event::Kind::btReady); }, observe);
    if (wait.status != WaitStatus::matched) return explain(wait, "the Bluetooth adapter");
    if (observe) observe(wait.event);

    reader_->connectToReader();
    wait = waitFor([](const Event& e) { return is(e, Event::Kind::connected); }, observe);
    if (wait.status != WaitStatus::matched) return explain(wait, "the reader to connect");
    if (observe) observe(wait.event);

    wait = waitFor([](const Event& e) { return is(e, Event::Kind::version); }, observe);
    if (wait.status != WaitStatus::matched) return explain(wait, "the reader's version");
    if (observe) observe(wait.event);

    // The micro-app check comes next and perhaps an upload; each step of it restarts the
    // clock, so that only a stalled upload times out. The battery answer ends the setup.
    for (;;) {
        wait = waitFor(
            [](const Event& e) {
                return is(e, Event::Kind::battery) || is(e, Event::Kind::updateStarted) ||
                       is(e, Event::Kind::sliceAccepted) || is(e, Event::Kind::updateEnded);
            },
            observe);
        if (wait.status != WaitStatus::matched) return explain(wait, "the reader's battery level");
        if (observe) observe(wait.event);
        if (is(wait.event, Event::Kind::battery)) return {};
    }
}

std::function<void(bool, OrvexContactStatus)> Session::contactCompletion() {
    return delegate_->contactCompletion();
}

void Session::close(const Observer& observe) {
    if (closed_ || !reader_) return;
    closed_ = true;
    if (connected_ || connecting_) {
        reader_->disconnectFromReader();
        // Not cut short by an interruption: a clean disconnection is what it asks for.
        const auto deadline = deadlineAfter(connected_ ? kDisconnectWait : 0.5);
        while (auto event = queue_->next(deadline, /*interruptible=*/false)) {
            track(*event);
            if (observe) observe(*event);
            if (endsLink(*event)) break;
        }
    }
    reader_->setDelegate(nullptr);
    // The platform's threads stop before the link goes, so no callback runs into it (once
    // the last session of the platform lets go of it).
    platformOwner_.reset();
    auto released = linkPlatform_->released();
    reader_.reset();
    simReader_.reset();
    linkPlatform_.reset();
    // A block still running on the link's thread may hold the link a moment longer, and
    // what the link owned may end in a block after it. Wait for both (bounded), so that the
    // backend's threads have finished with them before the platform goes, here, and before
    // the process ends.
    const auto limit = std::chrono::duration<double>(kTeardownWait);
    if (released.wait_for(limit) == std::future_status::ready && !ownerStops_) {
        auto drained = std::make_shared<std::promise<void>>();
        auto done = drained->get_future();
        platform_->linkQueue().post([drained] { drained->set_value(); });
        done.wait_for(limit);
    }
    platform_.reset();
}

}  // namespace orvex::cli
