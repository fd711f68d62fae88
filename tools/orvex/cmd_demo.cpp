#include "Commands.hpp"

namespace orvex::cli {

void addDemoCommand(CLI::App& app, CommandContext& ctx) {
    (void)app;
    (void)ctx;
}

}  // namespace orvex::cli
