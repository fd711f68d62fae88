// SPDX-License-Identifier: Apache-2.0
#include <algorithm>

#include <fmt/format.h>

#include "orvex/Contact.hpp"
#include "orvex/Transponder.hpp"
#include "orvex/sim/SimReader.hpp"

namespace orvex::sim {

std::string SimTag::id() const {
    return fmt::format("{:03d} {:012d}", std::min<unsigned>(country, 999),
                       nationalNumber & 0xFFFFFFFFFFULL);
}

std::string SimTag::typeField() const {
    Transponder xpdr;
    xpdr.type = type;
    std::string name = xpdr.typename_();
    name.resize(8, ' ');
    return name;
}

std::vector<SimTag> SimReaderConfig::defaultTags() {
    SimTag tag;
    tag.type = 4;
    tag.country = 999;
    tag.nationalNumber = 12345;
    tag.contact = Contact::encode("+44 7946 0001", "OWNER@EXAMPLE.COM");
    return {tag};
}

std::vector<SimTag> SimReaderConfig::defaultStoredReadings() {
    std::vector<SimTag> readings = defaultTags();
    SimTag hdx;
    hdx.type = 1;
    hdx.country = 124;
    hdx.nationalNumber = 1234;
    readings.push_back(hdx);
    SimTag em;
    em.type = 6;
    em.country = 0;
    em.nationalNumber = 305419896;
    readings.push_back(em);
    return readings;
}

}  // namespace orvex::sim
