// SPDX-License-Identifier: Apache-2.0
#include "replay/Script.hpp"

#include <charconv>
#include <string>

#include "compat/FromChars.hpp"

namespace orvex::sim::script {

namespace {

struct Token {
    bool quoted = false;
    std::string text;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a line into words and quoted texts (with their escapes undone).
std::vector<Token> tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        if (isSpace(line[i])) {
            ++i;
            continue;
        }
        Token t;
        if (line[i] != '"') {
            while (i < line.size() && !isSpace(line[i])) {
                if (line[i] == '"') throw ScriptError("a quote inside a word");
                t.text.push_back(line[i++]);
            }
            tokens.push_back(std::move(t));
            continue;
        }
        t.quoted = true;
        ++i;
        for (;;) {
            if (i >= line.size()) throw ScriptError("text without its closing quote");
            const char c = line[i++];
            if (c == '"') break;
            if (c != '\\') {
                t.text.push_back(c);
                continue;
            }
            if (i >= line.size()) throw ScriptError("text without its closing quote");
            const char e = line[i++];
            if (e == '"' || e == '\\') {
                t.text.push_back(e);
            } else if (e == 'x') {
                const int hi = i < line.size() ? hexValue(line[i]) : -1;
                const int lo = i + 1 < line.size() ? hexValue(line[i + 1]) : -1;
                if (hi < 0 || lo < 0) throw ScriptError("\\x needs two hex digits");
                t.text.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
            } else {
                throw ScriptError(std::string("unknown escape \\") + e +
                                  " (use \\\", \\\\ or \\xHH)");
            }
        }
        if (i < line.size() && !isSpace(line[i])) {
            throw ScriptError("text must be followed by a space");
        }
        tokens.push_back(std::move(t));
    }
    return tokens;
}

class Reader {
public:
    explicit Reader(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    bool done() const { return pos_ >= tokens_.size(); }
    std::size_t left() const { return tokens_.size() - pos_; }
    const Token& peek() const { return tokens_[pos_]; }

    std::string word(std::string_view what) {
        if (done()) throw ScriptError("missing " + std::string(what));
        const Token& t = tokens_[pos_++];
        if (t.quoted) throw ScriptError("expected " + std::string(what) + ", not a text");
        return t.text;
    }
    std::string text(std::string_view what) {
        if (done()) throw ScriptError("missing " + std::string(what) + " (a text in quotes)");
        const Token& t = tokens_[pos_++];
        if (!t.quoted) throw ScriptError(std::string(what) + " must be a text in quotes");
        return t.text;
    }
    Uuid uuid() {
        const std::string w = word("UUID");
        auto u = Uuid::parse(w);
        if (!u) throw ScriptError("not a UUID: " + w);
        return *u;
    }
    // The rest of the line as hex bytes ("FE 00" or "FE00").
    Bytes bytes() {
        Bytes out;
        while (!done()) {
            const std::string w = word("bytes");
            if (w.size() % 2 != 0) throw ScriptError("odd number of hex digits: " + w);
            for (std::size_t i = 0; i < w.size(); i += 2) {
                const int hi = hexValue(w[i]);
                const int lo = hexValue(w[i + 1]);
                if (hi < 0 || lo < 0) throw ScriptError("not hex: " + w);
                out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            }
        }
        return out;
    }
    std::optional<std::vector<Uuid>> uuidList(bool& error) {
        error = false;
        if (left() == 1 && !peek().quoted && (peek().text == "none" || peek().text == "error")) {
            error = word("") == "error";
            if (error) return std::vector<Uuid>{};
            return std::nullopt;
        }
        std::vector<Uuid> list;
        while (!done()) list.push_back(uuid());
        return list;
    }
    void end() {
        if (!done()) throw ScriptError("unexpected " + describe(tokens_[pos_]));
    }

private:
    static std::string describe(const Token& t) {
        return t.quoted ? "text \"" + t.text + "\"" : "\"" + t.text + "\"";
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
};

// A decimal number of seconds: digits, optionally a point and more digits.
double seconds(const std::string& w) {
    bool digit = false;
    bool point = false;
    for (char c : w) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            digit = false;
            break;
        }
    }
    if (!digit) throw ScriptError("not a number of seconds: " + w);
    double value = 0;
    auto [end, ec] = compat::fromChars(w.data(), w.data() + w.size(), value);
    if (ec != std::errc() || end != w.data() + w.size() || value > kMaxWaitSeconds) {
        throw ScriptError("wait takes 0 to 1000000 seconds, not " + w);
    }
    return value;
}

std::size_t count(const std::string& w) {
    std::size_t value = 0;
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), value);
    if (w.empty() || ec != std::errc() || end != w.data() + w.size() || value > kMaxImageSize) {
        throw ScriptError("image fill takes a byte count up to 16777216, not " + w);
    }
    return value;
}

platform::ManagerState adapterState(const std::string& w) {
    static constexpr const char* names[] = {"unknown",      "resetting",  "unsupported",
                                            "unauthorized", "poweredOff", "poweredOn"};
    for (int i = 0; i < 6; ++i) {
        if (w == names[i]) return static_cast<platform::ManagerState>(i);
    }
    throw ScriptError("unknown adapter state " + w +
                      " (unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn)");
}

Event host(Reader& r) {
    const std::string op = r.word("host operation");
    if (op == "writeContact") {
        WriteContact w;
        w.name = r.text("NAME");
        w.phone = r.text("PHONE");
        w.xpdrId = r.text("XPDRID");
        r.end();
        return w;
    }
    if (op == "readerAddress" || op == "readerName") {
        Restrict restrict{op == "readerAddress", r.text(op == "readerAddress" ? "ADDRESS" : "NAME")};
        r.end();
        return restrict;
    }
    if (op == "delegate") {
        const std::string what = r.word("none or set");
        r.end();
        if (what == "none") return Host{HostOp::delegateNone};
        if (what == "set") return Host{HostOp::delegateSet};
        throw ScriptError("host delegate takes none or set, not " + what);
    }
    r.end();
    if (op == "initializeBluetooth") return Host{HostOp::initializeBluetooth};
    if (op == "connectToReader") return Host{HostOp::connectToReader};
    if (op == "disconnectFromReader") return Host{HostOp::disconnectFromReader};
    if (op == "scan") return Host{HostOp::scan};
    if (op == "query") return Host{HostOp::query};
    throw ScriptError("unknown host operation " + op);
}

}  // namespace

Event parseLine(std::string_view line) {
    std::size_t first = 0;
    while (first < line.size() && isSpace(line[first])) ++first;
    if (first == line.size() || line[first] == '#') return Blank{};

    if (line.substr(first).starts_with("---") &&
        line.find_first_not_of("- \t", first) == std::string_view::npos) {
        return End{};
    }
    Reader r(tokenize(line));
    const std::string keyword = r.word("event");
    if (keyword == "host") return host(r);
    if (keyword == "adapter") {
        auto state = adapterState(r.word("adapter state"));
        r.end();
        return Adapter{state};
    }
    if (keyword == "found") {
        if (!r.done() && !r.peek().quoted && r.peek().text == "-") {
            r.word("-");
            Found f{std::nullopt, {}};
            if (!r.done()) {
                if (r.word("at") != "at") throw ScriptError("found takes - and then at ADDRESS");
                f.address = r.word("ADDRESS");
            }
            r.end();
            return f;
        }
        Found f{r.text("NAME (or -)"), {}};
        if (!r.done()) {
            if (r.word("at") != "at") throw ScriptError("found takes NAME and then at ADDRESS");
            f.address = r.word("ADDRESS");
        }
        r.end();
        return f;
    }
    if (keyword == "connected" || keyword == "connectFailed" || keyword == "disconnected") {
        r.end();
        if (keyword == "disconnected") return Disconnected{};
        return Connect{keyword == "connected"};
    }
    if (keyword == "services") {
        Services s;
        s.list = r.uuidList(s.error);
        return s;
    }
    if (keyword == "characteristics") {
        Characteristics c;
        c.service = r.uuid();
        c.list = r.uuidList(c.error);
        return c;
    }
    if (keyword == "notify") {
        Notify n;
        if (!r.done() && !r.peek().quoted && r.peek().text == "on") {
            r.word("on");
            n.characteristic = r.uuid();
        }
        n.value = r.bytes();
        if (n.value.empty()) throw ScriptError("notify needs the bytes of the value");
        return n;
    }
    if (keyword == "wait") {
        Wait w{seconds(r.word("seconds"))};
        r.end();
        return w;
    }
    if (keyword == "image") {
        if (r.done()) throw ScriptError("image takes none, fill N or hex bytes");
        if (!r.peek().quoted && r.peek().text == "none") {
            r.word("none");
            r.end();
            return Image{std::nullopt};
        }
        if (!r.peek().quoted && r.peek().text == "fill") {
            r.word("fill");
            const std::size_t n = count(r.word("byte count"));
            r.end();
            Bytes image(n);
            for (std::size_t i = 0; i < n; ++i) image[i] = static_cast<std::uint8_t>(i % 256);
            return Image{std::move(image)};
        }
        return Image{r.bytes()};
    }
    throw ScriptError("unknown event " + keyword);
}

}  // namespace orvex::sim::script
