// SPDX-License-Identifier: Apache-2.0
#include "SimSession.hpp"

#include <optional>
#include <string>
#include <utility>

#include "SimConfig.hpp"
#include "Values.hpp"

namespace orvex::web {

using emscripten::val;


SimSession::SimSession(const val& config, val onEvent)
    : Session(std::make_shared<sim::SimPlatform>(sim::Clock::virtualTime), std::move(onEvent)),
      sim_(std::static_pointer_cast<sim::SimPlatform>(platform_)),
      reader_(sim::SimReader::attach(*sim_, simReaderConfig(config))) {}

SimSession::~SimSession() { sim_->shutdown(); }

void SimSession::advance(double seconds) { sim_->advance(seconds > 0 ? seconds : 0); }

void SimSession::settle() { sim_->runUntilIdle(); }

void SimSession::setMicroAppImage(const val& bytes) {
    if (bytes.isUndefined() || bytes.isNull()) {
        sim_->setMicroAppImage(std::nullopt);
    } else {
        sim_->setMicroAppImage(toBytes(bytes));
    }
}

void SimSession::triggerReading() {
    reader_->triggerReading();
    settle();
}

void SimSession::exportReadings() {
    reader_->exportReadings();
    settle();
}

void SimSession::setTagInField(int index) {
    reader_->setTagInField(index < 0 ? std::nullopt
                                     : std::optional<std::size_t>(static_cast<std::size_t>(index)));
    settle();
}

void SimSession::dropConnection() {
    reader_->disconnect();
    settle();
}

}  // namespace orvex::web
