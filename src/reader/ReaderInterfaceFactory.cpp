// SPDX-License-Identifier: Apache-2.0
#include "reader/ReaderInterfaceFactory.hpp"

#include "reader/Link.hpp"

namespace orvex::detail {

std::unique_ptr<ReaderInterface> ReaderInterfaceFactory::make(
    std::shared_ptr<platform::Platform> platform) {
    return std::unique_ptr<ReaderInterface>(
        new ReaderInterface(std::make_shared<Link>(std::move(platform))));
}

}  // namespace orvex::detail
