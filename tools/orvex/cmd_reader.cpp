// SPDX-License-Identifier: Apache-2.0
// orvex scan | info | write-contact | watch: the commands that talk to a reader.

#include <unistd.h>

#include <memory>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Commands.hpp"
#include "Describe.hpp"
#include "ReaderOptions.hpp"
#include "Session.hpp"
#include "Watch.hpp"

namespace orvex::cli {

namespace {

int runScan(const ReaderArgs& args) {
    int exitCode = 0;
    auto session = connectReader("scan", args, exitCode);
    if (!session) return exitCode;
    if (!args.sim && !args.json && isatty(STDERR_FILENO)) {
        fmt::print(stderr, "Hold a tag to the reader...\n");
    }
    session->reader().scan();
    // An FDX-B reading comes twice: first without its contact, then with it (or without,
    // when the tag holds none). Anything else ends in scanFailed.
    const auto wait = session->waitFor([](const Event& e) {
        return (is(e, Event::Kind::reading) && !e.flag) || is(e, Event::Kind::scanFailed);
    });
    if (wait.status != WaitStatus::matched)
        return failedStep("scan", session->explain(wait, "a reading"));
    if (is(wait.event, Event::Kind::scanFailed)) {
        return failedStep("scan", "no reading (no tag in the field, or not an FDX-B tag)");
    }
    const auto& result = wait.event.result;
    if (args.json) {
        fmt::print("{}\n", readingJson(result).dump());
    } else {
        fmt::print("tag      {}\ncontact  {}\n", describeReading(result), describeContact(result));
    }
    return 0;
}

int runInfo(const ReaderArgs& args) {
    int exitCode = 0;
    std::string version;
    long battery = -1;
    auto session = connectReader("info", args, exitCode, [&](const Event& e) {
        if (is(e, Event::Kind::version)) version = e.text;
        if (is(e, Event::Kind::battery)) battery = e.code;
    });
    if (!session) return exitCode;
    if (args.json) {
        const nlohmann::ordered_json out{{"version", version}, {"battery", battery}};
        fmt::print("{}\n", out.dump());
    } else {
        fmt::print("version  {}\nbattery  {}%\n", version, battery);
    }
    return 0;
}

struct WriteArgs {
    ReaderArgs reader;
    std::string tag;
    std::string phone;
    std::string email;
};

int runWriteContact(const WriteArgs& args) {
    int exitCode = 0;
    auto session = connectReader("write-contact", args.reader, exitCode);
    if (!session) return exitCode;
    session->reader().writeContact(args.email, args.phone, args.tag, session->contactCompletion());
    const auto wait =
        session->waitFor([](const Event& e) { return is(e, Event::Kind::contactWritten); });
    if (wait.status != WaitStatus::matched) {
        return failedStep("write-contact", session->explain(wait, "the write to finish"));
    }
    const auto status = static_cast<OrvexContactStatus>(wait.event.code);
    const bool success = wait.event.flag && status == OrvexContactStatus::success;
    if (args.reader.json) {
        const nlohmann::ordered_json out{
            {"success", success}, {"status", caseName(status)}, {"tag", args.tag}};
        fmt::print("{}\n", out.dump());
    } else if (success) {
        fmt::print("contact written to {}\n", args.tag);
    }
    if (success) return 0;
    if (!args.reader.json) {
        printError("write-contact", fmt::format("{} ({})", describe(status), caseName(status)));
    }
    return kExitFailed;
}

}  // namespace

void addReaderCommands(CLI::App& app, CommandContext& ctx) {
    auto scanArgs = std::make_shared<ReaderArgs>();
    auto* scan = app.add_subcommand(
        "scan", "Read one tag and the owner contact stored on it; exit 1 when no tag is read");
    addReaderOptions(*scan, *scanArgs, /*json=*/true);
    scan->callback([scanArgs, &ctx] { ctx.exitCode = runScan(*scanArgs); });

    auto infoArgs = std::make_shared<ReaderArgs>();
    auto* info = app.add_subcommand("info", "Show the reader's version and battery level");
    addReaderOptions(*info, *infoArgs, /*json=*/true);
    info->callback([infoArgs, &ctx] { ctx.exitCode = runInfo(*infoArgs); });

    auto writeArgs = std::make_shared<WriteArgs>();
    auto* write = app.add_subcommand(
        "write-contact",
        "Write an owner contact to the tag in the reader's field, after checking that it is "
        "the tag named; exit 0 only on success");
    write->add_option("--tag", writeArgs->tag, "The tag's identifier, e.g. \"999 000000012345\"")
        ->required()
        ->check(tagIdValidator());
    write->add_option("--phone", writeArgs->phone, "Telephone number, e.g. \"+44 7946 0001\"")
        ->required()
        ->check(phoneValidator());
    write->add_option("--email", writeArgs->email, "E-mail address (up to 25 characters)")
        ->required()
        ->check(emailValidator());
    addReaderOptions(*write, writeArgs->reader, /*json=*/true);
    write->callback([writeArgs, &ctx] { ctx.exitCode = runWriteContact(*writeArgs); });

    addWatchCommand(app, ctx);
}

}  // namespace orvex::cli
