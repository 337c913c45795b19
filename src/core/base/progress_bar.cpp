#include "base/progress_bar.hpp"

#include "base/fd_output.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tsl {

namespace {

constexpr std::uint64_t kRedrawNs = 50'000'000;  // 20 redraws a second
constexpr unsigned kDefaultCols = 79;

std::uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

unsigned terminal_cols() {
    winsize ws{};
    if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return kDefaultCols;
}

}  // namespace

ProgressBar::ProgressBar(std::uint64_t len) : len_(len) {
    visible_ = isatty(2) == 1;
    if (!visible_) return;
    const char* term = std::getenv("TERM");
    dumb_ = term && std::strcmp(term, "dumb") == 0;
    draw(true);
}

ProgressBar::~ProgressBar() {
    // A bar abandoned by a panic leaves its line ended.
    if (visible_ && !finished_) write_stderr_text("\n");
}

std::string ProgressBar::render(std::uint64_t pos, std::uint64_t len, unsigned cols) {
    std::string counts = " ";
    counts += std::to_string(pos);
    counts += '/';
    counts += std::to_string(len);
    const std::size_t width = cols > counts.size() ? cols - counts.size() : 0;
    const float frac = len == 0 ? 1.0f : static_cast<float>(pos) / static_cast<float>(len);
    std::size_t done = static_cast<std::size_t>(frac * static_cast<float>(width));
    if (done > width) done = width;
    std::string line;
    line.reserve(width * 3 + counts.size());
    for (std::size_t i = 0; i < done; ++i) line += "\xE2\x96\x88";          // full block
    for (std::size_t i = done; i < width; ++i) line += "\xE2\x96\x91";      // light shade
    return line + counts;
}

void ProgressBar::draw(bool force) {
    const std::uint64_t t = now_ns();
    if (!force && t - last_draw_ns_ < kRedrawNs) return;
    last_draw_ns_ = t;
    write_stderr_text((dumb_ ? "\r" : "\r\x1b[2K") + render(pos_, len_, terminal_cols()));
}

void ProgressBar::inc() {
    ++pos_;
    if (visible_ && !finished_) draw(false);
}

void ProgressBar::finish() {
    if (finished_) return;
    finished_ = true;
    if (!visible_) return;
    pos_ = len_;
    draw(true);
    write_stderr_text("\n");
}

}  // namespace tsl
