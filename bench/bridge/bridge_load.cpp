// SPDX-License-Identifier: Apache-2.0
// The bridge's load figure: simulated readers streaming exports through one `orvex bridge`
// into a private mosquitto, and a consumer subscribed to everything. Prints messages per
// second, end-to-end latency (reading time to arrival at the consumer) p50/p99, and the
// bridge's CPU time per message; and, as the floor measured in the same run, what a bare
// libmosquitto client achieves publishing the same payloads at QoS 1 to the same broker.
//
//   bridge_load [--bridges M] [--readers N] [--seconds S] [--stored K] [--every E]
//               [--spool-sync full|normal]
//
// Each reader exports K records every E seconds (offered: M*N*K/E messages per second).
// --bridges runs M gateways side by side (one bridge process each), for the broker's view.
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BridgeProcess.hpp"
#include "TestBroker.hpp"
#include "TestClient.hpp"

namespace {

using namespace orvex::test;
using Clock = std::chrono::steady_clock;

struct Options {
    int bridges = 1;
    int readers = 1;
    double seconds = 10.0;
    int stored = 100;
    double every = 0.1;
    std::string spoolSync = "full";
};

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// User plus system CPU seconds of a process so far.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) {
            stime = std::stod(field);
            break;
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

// The floor: a bare QoS 1 publisher with no spool and no reader, same broker, same consumer.
double floorRate(const TestBroker& broker, const std::string& payload, int count) {
    TestClient consumer(broker.port(), "floor-consumer", {"floor/#"});
    consumer.waitSubscribed(10);
    mosquitto* m = mosquitto_new("floor-publisher", true, nullptr);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect(m, "127.0.0.1", broker.port(), 30);
    mosquitto_loop_start(m);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        mosquitto_publish(m, nullptr, "floor/x", static_cast<int>(payload.size()), payload.data(), 1,
                          false);
    consumer.waitFor([count](const auto& all) { return static_cast<int>(all.size()) >= count; }, 60);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const auto got = consumer.received().size();
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
    return static_cast<double>(got) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--bridges") o.bridges = std::stoi(value);
        else if (key == "--readers") o.readers = std::stoi(value);
        else if (key == "--seconds") o.seconds = std::stod(value);
        else if (key == "--stored") o.stored = std::stoi(value);
        else if (key == "--every") o.every = std::stod(value);
        else if (key == "--spool-sync") o.spoolSync = value;
        else {
            std::fprintf(stderr, "bridge_load: unknown option %s\n", key.c_str());
            return 2;
        }
    }
    mosquitto_lib_init();
    TempDir dir;
    TestBroker broker(dir);
    if (!broker.start()) {
        std::fprintf(stderr, "bridge_load: mosquitto did not start\n");
        return 1;
    }

    TestClient consumer(broker.port(), "consumer", {"orvex/#"});
    consumer.waitSubscribed(10);
    std::vector<std::unique_ptr<BridgeProcess>> bridges;
    for (int b = 0; b < o.bridges; ++b) {
        const std::string gateway = "gw" + std::to_string(b + 1);
        std::vector<std::string> args{
            "--sim", "--broker", broker.url(), "--gateway", gateway, "--spool",
            dir.file(gateway + ".db"), "--spool-sync", o.spoolSync, "--sim-export-every",
            std::to_string(o.every), "--sim-stored", std::to_string(o.stored), "--sim-delay", "0",
            "--log-level", "warning"};
        for (int r = 0; r < o.readers && o.readers > 1; ++r) {
            args.push_back("--reader");
            args.push_back("r" + std::to_string(r + 1));
        }
        bridges.push_back(std::make_unique<BridgeProcess>(args));
    }
    // Warm up: every gateway's first exports flow.
    const auto exportsFrom = [&](const std::vector<Received>& all) {
        std::set<std::string> gateways;
        for (const auto& m : all)
            if (m.topic.ends_with("/export")) gateways.insert(m.body["gateway"].get<std::string>());
        return static_cast<int>(gateways.size()) >= o.bridges;
    };
    if (!consumer.waitFor(exportsFrom, 60)) {
        std::fprintf(stderr, "bridge_load: not every gateway delivered\n%s",
                     bridges.front()->output().c_str());
        return 1;
    }
    const auto cpu = [&] {
        double total = 0;
        for (const auto& b : bridges) total += cpuSeconds(b->pid());
        return total;
    };
    const double windowStart = now();
    const double cpuStart = cpu();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const double cpuEnd = cpu();
    const double windowEnd = now();
    for (auto& b : bridges) b->stop(SIGTERM);

    std::vector<double> latencies;
    std::string sample;
    for (const auto& m : consumer.received()) {
        if (!m.topic.ends_with("/export") || m.arrived < windowStart || m.arrived > windowEnd)
            continue;
        // "time" has millisecond resolution: "YYYY-MM-DDTHH:MM:SS.mmmZ".
        const std::string t = m.body["time"].get<std::string>();
        std::tm tm{};
        strptime(t.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
        const double time = static_cast<double>(timegm(&tm)) + std::stod(t.substr(19, 4));
        latencies.push_back(m.arrived - time);
        if (sample.empty()) sample = m.payload;
    }
    const double window = windowEnd - windowStart;
    const double rate = static_cast<double>(latencies.size()) / window;
    const double cpuPerMessage =
        latencies.empty() ? 0.0 : (cpuEnd - cpuStart) / static_cast<double>(latencies.size());
    const double floor = floorRate(broker, sample, 20000);

    std::printf("bridges %d x readers %d, offered %.0f msg/s (%d records every %.3f s each), "
                "spool-sync %s\n",
                o.bridges, o.readers, o.bridges * o.readers * o.stored / o.every, o.stored,
                o.every, o.spoolSync.c_str());
    std::printf("delivered: %.0f msg/s over %.1f s\n", rate, window);
    std::printf("latency reading->consumer: p50 %.1f ms, p99 %.1f ms\n",
                percentile(latencies, 0.50) * 1e3, percentile(latencies, 0.99) * 1e3);
    std::printf("bridge CPU (simulated reader included): %.1f us per message (%.0f%% of one "
                "core, all bridges)\n",
                cpuPerMessage * 1e6, 100.0 * (cpuEnd - cpuStart) / window);
    std::printf("floor (bare libmosquitto QoS 1 publisher, same broker): %.0f msg/s\n", floor);
    std::printf("bridge / floor: %.2f\n", floor > 0 ? rate / floor : 0.0);
    return 0;
}
