// SPDX-License-Identifier: Apache-2.0
#include "Terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

namespace orvex::cli {

namespace {

constexpr std::size_t kLabelWidth = 17;
constexpr long kBarWidth = 28;
constexpr std::string_view kIndent = "  ";

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

bool localeIsUtf8() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == '\0') continue;
        std::string text(value);
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text.find("utf-8") != std::string::npos || text.find("utf8") != std::string::npos;
    }
    return false;
}

std::string styled(bool on, const char* code, std::string_view text) {
    if (!on) return std::string(text);
    return fmt::format("\x1b[{}m{}\x1b[0m", code, text);
}

}  // namespace

Terminal::Terminal(std::FILE* out) : out_(out) {
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
    fancy_ = isatty(fileno(out)) != 0 && !dumb && !envSet("NO_COLOR");
    unicode_ = fancy_ && localeIsUtf8();
}

Terminal::Terminal(std::FILE* out, bool fancy, bool unicode)
    : out_(out), fancy_(fancy), unicode_(fancy && unicode) {}

std::string Terminal::bold(std::string_view text) const {
    return styled(fancy_, "1", text);
}
std::string Terminal::dim(std::string_view text) const {
    return styled(fancy_, "2", text);
}
std::string Terminal::green(std::string_view text) const {
    return styled(fancy_, "32", text);
}
std::string Terminal::red(std::string_view text) const {
    return styled(fancy_, "31", text);
}
std::string Terminal::yellow(std::string_view text) const {
    return styled(fancy_, "33", text);
}
std::string Terminal::cyan(std::string_view text) const {
    return styled(fancy_, "36", text);
}

std::size_t Terminal::columns() const {
    winsize size{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::size_t Terminal::width(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0x1b) {  // an escape sequence "ESC [ ... letter" takes no column
            while (i < text.size() && !std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
            continue;
        }
        if ((c & 0xC0) != 0x80) ++columns;
    }
    return columns;
}

std::string Terminal::padded(std::string_view text, std::size_t columns) const {
    std::string out(text);
    const std::size_t w = width(text);
    if (w < columns) out.append(columns - w, ' ');
    return out;
}

void Terminal::clearTransient() {
    if (!transient_) return;
    std::fputs("\r\x1b[2K", out_);
    transient_ = false;
}

void Terminal::title(std::string_view text, std::string_view subtitle) {
    clearTransient();
    if (fancy_) {
        fmt::print(out_, "\n{}{}\n{}{}\n\n", kIndent, bold(text), kIndent, dim(subtitle));
    } else {
        fmt::print(out_, "{}\n{}\n", text, subtitle);
    }
    std::fflush(out_);
}

void Terminal::step(std::string_view mark, std::string_view plainMark, std::string_view label,
                    std::string_view detail) {
    clearTransient();
    lastQuarter_ = -1;
    if (fancy_) {
        fmt::print(out_, "{}{} {}{}\n", kIndent, mark, bold(padded(label, kLabelWidth)), detail);
    } else if (detail.empty()) {
        fmt::print(out_, "[{}] {}\n", plainMark, label);
    } else {
        fmt::print(out_, "[{}] {}: {}\n", plainMark, label, detail);
    }
    std::fflush(out_);
}

void Terminal::ok(std::string_view label, std::string_view detail) {
    step(green(unicode_ ? "✓" : "+"), "ok", label, detail);
}

void Terminal::fail(std::string_view label, std::string_view detail) {
    step(red(unicode_ ? "✗" : "x"), "failed", label, detail);
}

void Terminal::note(std::string_view label, std::string_view detail) {
    step(yellow(unicode_ ? "•" : "-"), "--", label, detail);
}

void Terminal::detail(std::string_view text) {
    clearTransient();
    if (fancy_) {
        // Wrapped at spaces to the terminal's width, each line under the step's detail.
        const std::string indent = std::string(kIndent) + std::string(kLabelWidth + 2, ' ');
        const std::size_t room = std::max<std::size_t>(columns() - indent.size() - 1, 20);
        std::string_view rest = text;
        while (!rest.empty()) {
            std::size_t cut = rest.size();
            if (width(rest) > room) {
                cut = 0;
                for (std::size_t i = 0; i < rest.size(); ++i) {
                    if (rest[i] == ' ' && width(rest.substr(0, i)) <= room) cut = i;
                }
                if (cut == 0) cut = rest.size();
            }
            fmt::print(out_, "{}{}\n", indent, dim(rest.substr(0, cut)));
            rest = rest.substr(cut);
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        }
    } else {
        fmt::print(out_, "     {}\n", text);
    }
    std::fflush(out_);
}

void Terminal::status(std::string_view label, std::string_view detail) {
    if (!fancy_) return;
    clearTransient();
    fmt::print(out_, "{}{} {}{}", kIndent, cyan(unicode_ ? "○" : "."),
               bold(padded(label, kLabelWidth)), dim(detail));
    transient_ = true;
    std::fflush(out_);
}

void Terminal::progress(std::string_view label, long done, long total, std::string_view unit) {
    total = std::max(total, 1L);
    done = std::clamp(done, 0L, total);
    const long percent = done * 100 / total;
    if (!fancy_) {
        const long quarter = percent / 25;
        if (quarter == lastQuarter_) return;
        lastQuarter_ = quarter;
        fmt::print(out_, "[..] {}: {}% ({}/{} {})\n", label, percent, done, total, unit);
        std::fflush(out_);
        return;
    }
    const long filled = done * kBarWidth / total;
    std::string bar;
    for (long i = 0; i < kBarWidth; ++i) {
        if (unicode_) {
            bar += i < filled ? "█" : "░";
        } else {
            bar += i < filled ? '#' : '-';
        }
    }
    clearTransient();
    fmt::print(out_, "{}{} {}{} {:>3}%  {}", kIndent, cyan(unicode_ ? "◌" : "."),
               bold(padded(label, kLabelWidth)), cyan(bar), percent,
               dim(fmt::format("{}/{} {}", done, total, unit)));
    transient_ = true;
    std::fflush(out_);
}

void Terminal::table(const std::vector<std::string>& header,
                     const std::vector<std::vector<std::string>>& rows) {
    clearTransient();
    std::vector<std::size_t> widths(header.size(), 0);
    for (std::size_t c = 0; c < header.size(); ++c) widths[c] = width(header[c]);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) {
            widths[c] = std::max(widths[c], width(row[c]));
        }
    }
    const std::string indent =
        fancy_ ? std::string(kIndent) + std::string(kLabelWidth + 2, ' ') : std::string(5, ' ');
    auto render = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t c = 0; c < cells.size() && c < widths.size(); ++c) {
            if (c > 0) text += "  ";
            text += c + 1 < cells.size() ? padded(cells[c], widths[c]) : cells[c];
        }
        return text;
    };
    std::size_t total = 0;
    for (std::size_t w : widths) total += w;
    total += 2 * (widths.empty() ? 0 : widths.size() - 1);

    fmt::print(out_, "{}{}\n", indent, dim(render(header)));
    if (fancy_) {
        std::string rule;
        for (std::size_t i = 0; i < total; ++i) rule += unicode_ ? "─" : "-";
        fmt::print(out_, "{}{}\n", indent, dim(rule));
    }
    for (const auto& row : rows) fmt::print(out_, "{}{}\n", indent, render(row));
    std::fflush(out_);
}

void Terminal::line(std::string_view text) {
    clearTransient();
    fmt::print(out_, "{}\n", text);
    std::fflush(out_);
}

}  // namespace orvex::cli
