#include "Commands.hpp"

namespace orvex::cli {

void addDecodeCommand(CLI::App& app, CommandContext& ctx) {
    (void)app;
    (void)ctx;
}

}  // namespace orvex::cli
