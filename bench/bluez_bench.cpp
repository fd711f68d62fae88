// SPDX-License-Identifier: Apache-2.0
// BlueZ backend figures against the fake org.bluez on a private bus, over acquired sockets
// (AcquireNotify / AcquireWrite) and over D-Bus calls and signals (StartNotify / WriteValue):
//  1. the median time from a notification leaving the fake to the link's delegate call
//     (didUpdateValue on the link queue), and the CPU time per notification of this
//     process (backend and fake) and of the bus daemon;
//  2. the wall time of a 64 KiB micro-app upload through the whole link with a fixed
//     answer delay at MTU 23 and 247, best of three, as a ratio to the protocol's
//     round-trip bound (slices x answer delay) and to the same upload on the simulator,
//     measured in the same run (the floor: no bus at all).
// A plain program: it prints its figures and returns. Words given on the command line keep
// only the upload ways whose name holds one of them (the simulator floor always runs) and
// skip the notification figures, e.g. `bluez_bench "MTU 23 WriteValue"`; `--rounds=N` sets
// the number of rounds (3).

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#ifdef ORVEX_WITH_BLUEZ
#include "orvex/ReaderInterface.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"
#include "platform/bluez/BluezPlatform.hpp"
#include "fakebluez/FakeBluez.hpp"
#include "fakebluez/PrivateBus.hpp"
#include "reader/Commands.hpp"
#include "reader/ReaderInterfaceFactory.hpp"

namespace {

using namespace orvex;
using namespace orvex::detail;
using namespace orvex::detail::bluez;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = std::chrono::seconds(60);

// Waits for named moments reported from other threads.
struct Moments {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> seen;
    std::vector<Clock::time_point> values;  // delivery times of notifications

    void add(std::string what) {
        {
            std::lock_guard lock(mutex);
            seen.push_back(std::move(what));
        }
        changed.notify_all();
    }
    bool waitFor(const std::string& what) {
        std::unique_lock lock(mutex);
        return changed.wait_for(
            lock, kBound, [&] { return std::find(seen.begin(), seen.end(), what) != seen.end(); });
    }
};

class Central : public platform::CentralManagerDelegate, public platform::PeripheralDelegate {
public:
    Moments moments;
    std::shared_ptr<platform::Peripheral> reader;
    platform::CharacteristicList characteristics;

    void centralManagerDidUpdateState(platform::ManagerState s) override {
        if (s == platform::ManagerState::poweredOn) moments.add("on");
    }
    void didDiscover(const std::shared_ptr<platform::Peripheral>& p) override {
        if (p->name() == std::optional<std::string>("KX-BT4 SIM") && !reader) {
            reader = p;
            moments.add("found");
        }
    }
    void didConnect(const std::shared_ptr<platform::Peripheral>&) override {
        moments.add("connected");
    }
    void didFailToConnect(const std::shared_ptr<platform::Peripheral>&) override {}
    void didDisconnect(const std::shared_ptr<platform::Peripheral>&) override {}
    void didDiscoverServices(const std::shared_ptr<platform::Peripheral>& p,
                             const std::optional<platform::ServiceList>& services, bool) override {
        if (services && !services->empty())
            p->discoverCharacteristics(KnownCharacteristics, services->front());
    }
    void didDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>& p,
                                    const std::shared_ptr<platform::Service>&,
                                    const std::optional<platform::CharacteristicList>& list,
                                    bool) override {
        if (!list || list->empty()) return;
        characteristics = *list;
        p->setNotifyValue(true, list->front());
        moments.add("ready");
    }
    void didUpdateValue(const std::shared_ptr<platform::Peripheral>&,
                        const std::shared_ptr<platform::Characteristic>&,
                        const platform::Bytes&) override {
        {
            std::lock_guard lock(moments.mutex);
            moments.values.push_back(Clock::now());
        }
        moments.changed.notify_all();
    }
};

const char* pathName(bool sockets) {
    return sockets ? "sockets" : "D-Bus   ";
}

double processCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, from /proc.
double otherCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void notificationLatency(bool sockets) {
    PrivateBus bus;
    FakeConfig config;
    config.reader->sockets = sockets;
    FakeBluez fake(bus.address(), config);
    BluezOptions options;
    options.busAddress = bus.address();
    auto platform = makeBluezPlatform(options);
    auto delegate = std::make_shared<Central>();
    auto central = platform->createCentralManager(delegate);
    if (!delegate->moments.waitFor("on"))
        return std::puts("notification latency: adapter not on"), void();
    central->scanForPeripherals();
    if (!delegate->moments.waitFor("found"))
        return std::puts("notification latency: no reader"), void();
    central->stopScan();
    delegate->reader->setDelegate(
        std::shared_ptr<platform::PeripheralDelegate>(delegate, delegate.get()));
    central->connect(delegate->reader);
    delegate->moments.waitFor("connected");
    delegate->reader->discoverServices(KnownServices);
    delegate->moments.waitFor("ready");
    const auto until = Clock::now() + kBound;
    while (!fake.isNotifying() && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // One at a time on an otherwise quiet bus, so the figure is the latency of one
    // notification, not a queue's.
    constexpr int kCount = 2000;
    const double cpuBefore = processCpu();
    const double daemonBefore = otherCpu(bus.pid());
    for (int i = 0; i < kCount; ++i) {
        fake.notify({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
        std::unique_lock wait(delegate->moments.mutex);
        delegate->moments.changed.wait_for(wait, std::chrono::seconds(1), [&] {
            return delegate->moments.values.size() > static_cast<std::size_t>(i);
        });
    }
    const double cpu = (processCpu() - cpuBefore) / kCount * 1e6;
    const double daemonCpu = (otherCpu(bus.pid()) - daemonBefore) / kCount * 1e6;
    std::unique_lock lock(delegate->moments.mutex);
    const auto sent = fake.notificationTimes();
    const auto& got = delegate->moments.values;
    std::vector<double> micros;
    for (std::size_t i = 0; i < std::min(sent.size(), got.size()); ++i) {
        micros.push_back(std::chrono::duration<double, std::micro>(got[i] - sent[i]).count());
    }
    lock.unlock();
    if (micros.empty()) return std::puts("notification latency: nothing arrived"), void();
    std::sort(micros.begin(), micros.end());
    std::printf(
        "notification -> delegate over %s: median %.0f us, p90 %.0f us (%zu of %d delivered); "
        "CPU per notification: %.1f us in this process (backend and fake), %.1f us in the bus "
        "daemon\n",
        pathName(sockets), micros[micros.size() / 2], micros[micros.size() * 9 / 10],
        micros.size(), kCount, cpu, daemonCpu);
    platform->linkQueue().post([c = std::move(central)]() mutable { c.reset(); });
}

class Host : public ReaderInterfaceDelegate {
public:
    Moments moments;
    long slices = 0;
    Clock::time_point started, ended;
    void btReader() override { moments.add("ready"); }
    void btError(OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override { moments.add("failed"); }
    void readerConnected() override {}
    void readerDisconnected(OrvexDisconnectionCause) override { moments.add("failed"); }
    void scanReceived(std::optional<ScanResult>, bool) override {}
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override {}
    void version(const std::string&) override {}
    void startUpdate(long n) override {
        slices = n;
        started = Clock::now();
    }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> s) override {
        ended = Clock::now();
        moments.add(s == OrvexDeviceUpdateStatus::successful ? "uploaded" : "failed");
    }
};

constexpr double kAnswerDelay = 0.005;

std::vector<std::uint8_t> uploadImage() {
    std::vector<std::uint8_t> image(MICRO_APP_HEAD_SIZE + 64 * 1024);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return image;
}

struct Upload {
    double wall = 0;  // seconds from the reader's request to its last answer; 0: failed
    long slices = 0;
    // Writes the fake received over the whole session: WriteValue calls (also those it
    // turned down) or socket packets, each at most one ATT payload.
    std::size_t writes = 0;
    double bound() const { return static_cast<double>(slices) * kAnswerDelay; }
};

// One whole upload through the link on `platform`, from connecting to the last slice.
Upload uploadOn(const std::shared_ptr<platform::Platform>& platform) {
    auto host = std::make_shared<Host>();
    auto link = ReaderInterfaceFactory::make(platform);
    link->setDelegate(host);
    link->initializeBluetooth();
    host->moments.waitFor("ready");
    link->connectToReader();
    const bool done = host->moments.waitFor("uploaded");
    link.reset();
    if (!done || host->slices <= 0) return {};
    return {std::chrono::duration<double>(host->ended - host->started).count(), host->slices};
}

// The floor: the same upload on the simulator, where a write costs a function call.
Upload simulatorUpload() {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    sim::SimReaderConfig config;
    config.microAppCurrent = false;
    config.answerDelay = kAnswerDelay;
    sim::SimReader::attach(*platform, config);
    platform->setMicroAppImage(uploadImage());
    // The simulated reader's answer delay is timed on the platform's run loop: without the
    // default timer slack (50 us) of that thread, the floor is the protocol's own.
    platform->linkQueue().post([] { ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); });
    return uploadOn(platform);
}

// The upload against the fake org.bluez on a private bus.
Upload bluezUpload(std::uint16_t mtu, bool sockets, sim::SimService service) {
    const auto imagePath = std::filesystem::temp_directory_path() /
                           ("orvex-bench-image-" + std::to_string(::getpid()) + ".bin");
    {
        const auto image = uploadImage();
        std::ofstream(imagePath, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    PrivateBus bus;
    FakeConfig config;
    config.reader->reader.microAppCurrent = false;
    config.reader->reader.answerDelay = kAnswerDelay;
    config.reader->mtu = mtu;
    config.reader->sockets = sockets;
    config.reader->reader.service = service;
    FakeBluez fake(bus.address(), config);
    BluezOptions options;
    options.busAddress = bus.address();
    options.microAppImagePath = imagePath.string();
    auto result = uploadOn(makeBluezPlatform(options));
    std::filesystem::remove(imagePath);
    result.writes = fake.writes().size() + fake.refusedWrites();
    return result;
}

// One way of uploading: the path, the MTU and the reader's layout (its write type).
struct Way {
    std::string name;
    std::function<Upload()> run;
    Upload best;
    void keep(const Upload& u) {
        if (u.wall > 0 && (best.wall <= 0 || u.wall < best.wall)) best = u;
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rounds = 3;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--rounds=", 0) == 0) {
            rounds = std::max(1, std::atoi(arg.c_str() + 9));
        } else {
            only.push_back(arg);
        }
    }
    const auto wanted = [&](const std::string& name) {
        return only.empty() || std::any_of(only.begin(), only.end(), [&](const auto& word) {
                   return name.find(word) != std::string::npos;
               });
    };
    if (only.empty()) {
        notificationLatency(true);
        notificationLatency(false);
    }
    std::printf("64 KiB micro-app upload, answer delay %.0f ms; %d rounds, each way once "
                "per round:\n",
                kAnswerDelay * 1000, rounds);
    std::vector<Way> ways;
    ways.push_back({"simulator (floor)", simulatorUpload, {}});
    struct Path {
        const char* name;
        bool sockets;
        sim::SimService service;
    };
    const Path paths[] = {
        {"sockets (AcquireWrite/AcquireNotify)", true, sim::SimService::uart},
        {"WriteValue requests (uart layout)", false, sim::SimService::uart},
        {"WriteValue commands (serial16 layout)", false, sim::SimService::serial16},
    };
    for (const auto& path : paths) {
        for (std::uint16_t mtu : {23, 247}) {
            const auto name = "MTU " + std::to_string(mtu) + " " + path.name;
            if (!wanted(name)) continue;
            ways.push_back({name,
                            [=] { return bluezUpload(mtu, path.sockets, path.service); },
                            {}});
        }
    }
    for (int round = 1; round <= rounds; ++round) {
        for (auto& way : ways) {
            const Upload u = way.run();
            if (u.wall <= 0) {
                std::printf("  round %d, %s: did not complete\n", round, way.name.c_str());
                continue;
            }
            std::printf("  round %d, %s: %ld slices in %.3f s", round, way.name.c_str(),
                        u.slices, u.wall);
            if (u.writes > 0) {
                std::printf(", %.2f writes per slice",
                            static_cast<double>(u.writes) / static_cast<double>(u.slices));
            }
            std::printf("\n");
            way.keep(u);
        }
    }
    const Upload floor = ways.front().best;
    std::printf("best of %d; ratio to the round-trip bound (slices x answer delay) and to "
                "the simulator's best in this run:\n",
                rounds);
    for (const auto& way : ways) {
        if (way.best.wall <= 0) {
            std::printf("  %-48s did not complete\n", way.name.c_str());
            continue;
        }
        std::printf("  %-48s %.3f s  bound ratio %.3f  simulator ratio %.3f\n",
                    way.name.c_str(), way.best.wall, way.best.wall / way.best.bound(),
                    floor.wall > 0 ? way.best.wall / floor.wall : 0.0);
    }
    return 0;
}

#else
int main() {
    std::puts("built without BlueZ support: nothing to measure");
    return 0;
}
#endif
