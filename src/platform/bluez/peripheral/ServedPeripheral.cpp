// SPDX-License-Identifier: Apache-2.0
// orvex::bluez::servePeripheral(): the peripheral server on a thread of its own. Compiled
// without BlueZ too, where it serves nothing.
#include "orvex/bluez/Peripheral.hpp"

#ifdef ORVEX_WITH_BLUEZ
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/bluez/peripheral/PeripheralServer.hpp"
#endif

namespace orvex::bluez {

ServedPeripheral::~ServedPeripheral() = default;

#ifdef ORVEX_WITH_BLUEZ

namespace {

using detail::bluez::PeripheralServer;
using detail::bluez::RunLoop;

constexpr const char* kStopped = "stopped";

class Served final : public ServedPeripheral {
public:
    explicit Served(PeripheralOptions options) : options_(std::move(options)) {
        if (options_.adapter.empty()) options_.adapter = "hci0";
    }
    ~Served() override { stop(); }

    // Starts the serving thread; returns when both registrations are answered.
    std::optional<std::string> start() {
        std::promise<std::optional<std::string>> started;
        auto result = started.get_future();
        // The thread keeps the promise: this frame may be gone before set_value() returns.
        thread_ = std::thread([this, started = std::move(started)]() mutable { serve(started); });
        auto error = result.get();
        if (error) thread_.join();
        return error;
    }

    bool withReader(const std::function<void(sim::SimReader&)>& action) override {
        return call([&](PeripheralServer& server) { action(server.reader()); });
    }
    void goAway() override {
        call([](PeripheralServer& server) { server.goAway(); });
    }
    void comeBack() override {
        call([](PeripheralServer& server) { server.comeBack(); });
    }
    void disconnect() override {
        call([](PeripheralServer& server) { server.disconnect(); });
    }
    bool isConnected() const override {
        bool connected = false;
        call([&](PeripheralServer& server) { connected = server.isConnected(); });
        return connected;
    }
    std::optional<std::string> ended() const override {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    void stop() override {
        if (onServingThread()) {
            loop_.stop();
            return;
        }
        std::lock_guard stopping(stopMutex_);
        if (!thread_.joinable()) return;
        loop_.post([this] { loop_.stop(); });
        thread_.join();
    }

private:
    // A call from another thread, waiting on the serving thread.
    struct Call {
        std::function<void(PeripheralServer&)> action;
        std::promise<bool> done;
    };

    bool onServingThread() const { return std::this_thread::get_id() == servingThread_.load(); }

    void serve(std::promise<std::optional<std::string>>& started) {
        servingThread_ = std::this_thread::get_id();
        // The host's signals are for its own threads (a signalfd or sigwait() there would
        // miss those delivered here).
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);

        server_ = std::make_shared<PeripheralServer>(loop_, options_);
        if (auto error = server_->start()) {
            server_.reset();
            finish(*error);
            servingThread_ = std::thread::id();
            started.set_value(error);
            return;
        }
        started.set_value(std::nullopt);
        const bool busOk = loop_.run();
        server_->stop();
        server_.reset();
        const std::string busGone =
            options_.busAddress ? "the bus went away" : "the system bus went away";
        finish(busOk ? kStopped : busGone);
        if (!busOk && options_.ended) options_.ended(busGone);
        // A later thread may be given the same id.
        servingThread_ = std::thread::id();
    }

    // Runs `action` on the serving thread; false when serving has ended first.
    bool call(std::function<void(PeripheralServer&)> action) const {
        if (onServingThread()) {
            if (!server_) return false;
            action(*server_);
            return true;
        }
        auto call = std::make_shared<Call>();
        call->action = std::move(action);
        auto done = call->done.get_future();
        {
            // Checked and queued under the lock finish() takes: a call queued before the
            // end is answered by finish(), none is queued after it.
            std::lock_guard lock(mutex_);
            if (ended_) return false;
            calls_.push_back(call);
        }
        loop_.post([this] { runCalls(); });
        return done.get();
    }

    void runCalls() const {
        std::vector<std::shared_ptr<Call>> calls;
        {
            std::lock_guard lock(mutex_);
            calls.swap(calls_);
        }
        for (auto& call : calls) {
            try {
                call->action(*server_);
                call->done.set_value(true);
            } catch (...) {
                call->done.set_exception(std::current_exception());
            }
        }
    }

    void finish(std::string why) {
        std::vector<std::shared_ptr<Call>> unanswered;
        {
            std::lock_guard lock(mutex_);
            ended_ = std::move(why);
            unanswered.swap(calls_);
        }
        for (auto& call : unanswered) call->done.set_value(false);
    }

    PeripheralOptions options_;
    // Mutable: a query such as isConnected() is a call on the serving thread too.
    mutable RunLoop loop_;
    std::thread thread_;
    std::atomic<std::thread::id> servingThread_;
    std::mutex stopMutex_;
    mutable std::mutex mutex_;
    std::optional<std::string> ended_;
    mutable std::vector<std::shared_ptr<Call>> calls_;
    // Serving thread only.
    std::shared_ptr<PeripheralServer> server_;
};

}  // namespace

std::unique_ptr<ServedPeripheral> servePeripheral(const PeripheralOptions& options,
                                                  std::string* error) {
    auto served = std::make_unique<Served>(options);
    if (auto failure = served->start()) {
        if (error) *error = *failure;
        return nullptr;
    }
    return served;
}

#else

std::unique_ptr<ServedPeripheral> servePeripheral(const PeripheralOptions& options,
                                                  std::string* error) {
    (void)options;
    if (error) *error = "this build has no BlueZ support";
    return nullptr;
}

#endif

}  // namespace orvex::bluez
