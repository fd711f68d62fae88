#include "Backend.hpp"

namespace orvex::cli {

std::optional<Backend> openBluetoothBackend(const std::string& adapter, std::string& error) {
    (void)adapter;
    error = "BlueZ backend not available in this build yet; use --sim for the simulated reader";
    return std::nullopt;
}

}  // namespace orvex::cli
