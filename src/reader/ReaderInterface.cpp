// SPDX-License-Identifier: Apache-2.0
#include "orvex/ReaderInterface.hpp"

#include <chrono>
#include <mutex>

#include "platform/DefaultPlatform.hpp"
#include "reader/Commands.hpp"
#include "reader/Link.hpp"
#include "reader/Messages.hpp"
#include "reader/ReaderInterfaceFactory.hpp"

namespace orvex {

namespace {

// The platform chosen for the process-wide link, and whether that link exists yet.
struct ProcessPlatform {
    std::mutex mutex;
    std::shared_ptr<platform::Platform> chosen;
    bool created = false;
};

ProcessPlatform& processPlatform() {
    static ProcessPlatform instance;
    return instance;
}

}  // namespace

ReaderInterface& ReaderInterface::reader() {
    static const std::unique_ptr<ReaderInterface> instance = [] {
        auto& process = processPlatform();
        std::shared_ptr<platform::Platform> platform;
        {
            std::lock_guard lock(process.mutex);
            process.created = true;
            platform = process.chosen;
        }
        if (!platform) platform = detail::makeDefaultPlatform();
        return detail::ReaderInterfaceFactory::make(std::move(platform));
    }();
    return *instance;
}

bool ReaderInterface::usePlatform(std::shared_ptr<platform::Platform> platform) {
    auto& process = processPlatform();
    std::lock_guard lock(process.mutex);
    if (process.created) return false;
    process.chosen = std::move(platform);
    return true;
}

std::shared_ptr<ReaderInterface> ReaderInterface::create(
    std::shared_ptr<platform::Platform> platform) {
    return detail::ReaderInterfaceFactory::make(std::move(platform));
}

bool ReaderInterface::isReaderName(std::string_view name) {
    return detail::isReaderName(name);
}

ReaderInterface::ReaderInterface(std::shared_ptr<detail::Link> link) : link_(std::move(link)) {}

ReaderInterface::~ReaderInterface() {
    link_->close();
    detail::ReaderInterfaceFactory::release(std::move(link_));
}

std::shared_ptr<ReaderInterfaceDelegate> ReaderInterface::delegate() const {
    return link_->delegate();
}

void ReaderInterface::setDelegate(std::shared_ptr<ReaderInterfaceDelegate> delegate) {
    link_->setDelegate(std::move(delegate));
}

bool ReaderInterface::isConnected() const {
    return link_->isConnected();
}
bool ReaderInterface::isReady() const {
    return link_->isReady();
}
bool ReaderInterface::isScanning() const {
    return link_->isScanning();
}

void ReaderInterface::initializeBluetooth() {
    link_->initializeBluetooth();
}
void ReaderInterface::connectToReader() {
    link_->connectToReader();
}
void ReaderInterface::disconnectFromReader() {
    link_->disconnectFromReader();
}
void ReaderInterface::scan() {
    link_->scan();
}

void ReaderInterface::writeContact(std::string name, std::string phone, std::string xpdrId,
                                   std::function<void(bool, OrvexContactStatus)> completion) {
    link_->writeContact(std::move(name), std::move(phone), std::move(xpdrId),
                        std::move(completion));
}

void ReaderInterface::setMicroAppImagePath(std::string path) {
    link_->setMicroAppImagePath(std::move(path));
}

void ReaderInterface::setReaderAddress(std::string address) {
    link_->setReaderAddress(std::move(address));
}

void ReaderInterface::setReaderName(std::string name) {
    link_->setReaderName(std::move(name));
}

ScanResult ReaderInterface::handleReceivedScan(const std::vector<std::uint8_t>& buffer) {
    using namespace std::chrono;
    const double now = duration<double>(system_clock::now().time_since_epoch()).count();
    return detail::decodePackedScan(buffer, now);
}

}  // namespace orvex
