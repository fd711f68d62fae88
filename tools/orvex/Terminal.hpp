// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Output for people. On a terminal: colours, check marks, a status line and a progress bar
// redrawn in place. Otherwise (a pipe, a file, TERM=dumb) plain lines only; NO_COLOR turns
// colours and redrawing off as well.

namespace orvex::cli {

class Terminal {
public:
    // Looks at `out` and the environment.
    explicit Terminal(std::FILE* out = stdout);
    // An explicit choice, for tests and for --plain.
    Terminal(std::FILE* out, bool fancy, bool unicode);

    bool fancy() const { return fancy_; }

    // Styles (no change in plain mode).
    std::string bold(std::string_view text) const;
    std::string dim(std::string_view text) const;
    std::string green(std::string_view text) const;
    std::string red(std::string_view text) const;
    std::string yellow(std::string_view text) const;
    std::string cyan(std::string_view text) const;

    // A heading and a line under it.
    void title(std::string_view text, std::string_view subtitle);
    // One finished step: "✓ Label  detail" ("[ok] Label: detail" in plain mode).
    void ok(std::string_view label, std::string_view detail);
    // One failed step.
    void fail(std::string_view label, std::string_view detail);
    // A step that finished with a remark rather than a success ("!" / "[--]").
    void note(std::string_view label, std::string_view detail);
    // An indented line of further detail under the step before.
    void detail(std::string_view text);
    // A transient line for a step under way ("○ Connecting…"), replaced by the next output.
    // Plain mode prints nothing.
    void status(std::string_view label, std::string_view detail);
    // A progress bar for a step under way, redrawn in place; in plain mode one line at each
    // quarter.
    void progress(std::string_view label, long done, long total, std::string_view unit);
    // A table under the step before, with a header row.
    void table(const std::vector<std::string>& header,
               const std::vector<std::vector<std::string>>& rows);
    // A plain line.
    void line(std::string_view text);

    // Display width of a UTF-8 text without escape sequences (one column per code point).
    static std::size_t width(std::string_view text);

private:
    // The terminal's width (80 when unknown).
    std::size_t columns() const;
    void step(std::string_view mark, std::string_view plainMark, std::string_view label,
              std::string_view detail);
    // Clears a transient line, if one is shown.
    void clearTransient();
    std::string padded(std::string_view text, std::size_t width) const;

    std::FILE* out_;
    bool fancy_;
    bool unicode_;
    bool transient_ = false;
    long lastQuarter_ = -1;
};

}  // namespace orvex::cli
