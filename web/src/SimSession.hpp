// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include <emscripten/val.h>

#include "Session.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

namespace orvex::web {

// A session with a simulated reader on a simulated platform in virtual time. The page's
// timers drive the clock: JavaScript calls advance() with the wall time that passed, so the
// reader answers after its configured delays and the link's timeouts run as they would.
class SimSession : public Session {
public:
    // `config` as in the package's SimOptions (web/lib/index.d.ts); absent fields keep the
    // simulated reader's defaults.
    SimSession(const emscripten::val& config, emscripten::val onEvent);
    ~SimSession() override;

    void advance(double seconds);
    void setMicroAppImage(const emscripten::val& bytes);
    // The reader's own actions.
    void triggerReading();
    void exportReadings();
    void setTagInField(int index);  // below 0: empty field
    void dropConnection();

protected:
    void settle() override;

private:
    std::shared_ptr<sim::SimPlatform> sim_;
    std::shared_ptr<sim::SimReader> reader_;
};

}  // namespace orvex::web
