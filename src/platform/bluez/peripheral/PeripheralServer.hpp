// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <orvex/bluez/Peripheral.hpp>
#include <orvex/sim/SimReader.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluez/peripheral/RunLoop.hpp"


// The simulated reader as a real BLE peripheral: a GATT application and an advertisement
// registered with bluetoothd on one adapter, the reader's notifications sent as the
// characteristic's value changes, the central's writes handed to the reader. Everything
// runs on the given RunLoop's thread (ServedPeripheral.cpp gives it one of its own).

namespace orvex::detail::bluez {

using orvex::bluez::PeripheralOptions;

// The GATT server and advertisement of one simulated reader. The reader reaches it through a
// context that holds it weakly (PeripheralServer.cpp), with these members.
class PeripheralServer : public std::enable_shared_from_this<PeripheralServer> {
public:
    using Log = std::function<void(const std::string&)>;
    // Events go to `options.log`, if any.
    PeripheralServer(RunLoop& loop, PeripheralOptions options);
    ~PeripheralServer();

    // Registers the application and the advertisement; on failure the reason, in one line.
    std::optional<std::string> start();
    // Unregisters both, waiting a little for bluetoothd's answers.
    void stop();
    // Out of range: no advertising and the link dropped. back() advertises again.
    void goAway();
    void comeBack();

    sim::SimReader& reader() { return *reader_; }
    const std::string& centralPath() const { return devicePath_; }

    // What the reader does on the air.
    void notify(const platform::Uuid& characteristic, platform::Bytes value);
    void disconnect();
    void setAdvertising(bool advertising);
    bool isConnected() const { return connected_; }
    bool isNotifying(const platform::Uuid& characteristic) const {
        return notifying_.count(characteristic) != 0;
    }

private:
    struct Characteristic {
        platform::Uuid uuid;
        std::string path;
        std::vector<std::string> flags;
        platform::Bytes value;
        std::unique_ptr<sdbus::IObject> object;
    };
    void buildObjects();
    void subscribe();
    void registerApplication(std::function<void(std::optional<std::string>)> done);
    void registerAdvertisement(std::function<void(std::optional<std::string>)> done);
    void registerWith(const char* interface, const char* method, const char* path, bool* registered,
                      std::function<void(std::optional<std::string>)> done);
    void unregister(const char* interface, const char* method, const std::string& path,
                    bool* pending);
    void centralConnected(const std::string& device);
    void centralGone(const std::string& why);
    Characteristic* byPath(const std::string& path);

    RunLoop& loop_;
    PeripheralOptions options_;
    Log log_;
    std::string adapterPath_;
    std::shared_ptr<sim::SimReader> reader_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> adapter_;
    // The central's device, for dropping the link from our side.
    std::unique_ptr<sdbus::IProxy> device_;
    std::unique_ptr<sdbus::IObject> root_;
    std::unique_ptr<sdbus::IObject> service_;
    std::unique_ptr<sdbus::IObject> advertisement_;
    std::vector<std::unique_ptr<Characteristic>> characteristics_;
    std::vector<sdbus::Slot> matches_;
    bool connected_ = false;
    bool registered_ = false;
    bool advertising_ = false;
    bool wantAdvertising_ = true;
    std::string devicePath_;
    std::set<platform::Uuid> notifying_;
};

}  // namespace orvex::detail::bluez
