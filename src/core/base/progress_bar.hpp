// A terminal progress bar on standard error, in the plain default style
// "<bar> pos/len": the bar fills the terminal's width with "█" for the done
// part and "░" for the rest.  Nothing is drawn unless standard error is a
// terminal; redraws are limited to 20 a second, so ticking costs one clock
// read while the bar is shown and nothing otherwise.  The style has no
// colours, so the colour settings of the environment (NO_COLOR, CLICOLOR,
// CLICOLOR_FORCE) change nothing; on a TERM=dumb terminal the line is
// redrawn with a carriage return only, without erase sequences.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {


class ProgressBar {
public:
    explicit ProgressBar(std::uint64_t len);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void inc();
    // Draws the full bar and ends its line; later calls do nothing.
    void finish();

    bool visible() const { return visible_; }
    // The text of the bar line at `pos` of `len` for a terminal of `cols`
    // columns (without erase sequences).
    static std::string render(std::uint64_t pos, std::uint64_t len, unsigned cols);

private:
    void draw(bool force);

    std::uint64_t len_;
    std::uint64_t pos_ = 0;
    std::uint64_t last_draw_ns_ = 0;
    bool visible_ = false;
    bool dumb_ = false;
    bool finished_ = false;
};

}  // namespace tsl
