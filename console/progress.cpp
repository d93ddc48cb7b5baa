// The percentage of a long step on the progress line.
#include "console/progress.hpp"

#include <chrono>
#include <cstdio>
#include <string>

#include "console/console.hpp"
#include "platform/platform.hpp"

namespace qx::console {

namespace {

uint64_t steady_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

StepProgress::StepProgress(platform::ConsoleOutput* output, Clock now)
    : output_(output), now_(now ? std::move(now) : Clock(steady_ms)) {
    step_start_ = now_();
}

platform::ConsoleOutput& StepProgress::output() { return output_ ? *output_ : platform::console_output(); }

void StepProgress::piece(std::string_view text) {
    clear();
    if (output_) {
        output_->write(text);
        output_->flush();
    } else {
        out(text);
    }
    step_start_ = now_();
    percent_ = -1;
}

void StepProgress::advance(uint64_t done, uint64_t total) {
    const uint64_t now = now_();
    if (total == 0 || now - step_start_ < quiet_ms || (shown_ > 0 && now - drawn_at_ < redraw_ms)) return;
    const int percent = static_cast<int>(done >= total ? 100 : done * 100 / total);
    if (percent == percent_) return;
    platform::ConsoleOutput& screen = output();
    platform::ScreenBufferInfo info;
    // Only a screen whose cursor can be put back takes it; a redirected output never does.
    if (!screen.get_screen_buffer_info(info) || !screen.set_cursor_position(info.cursor)) return;
    char number[8];
    const int cells = std::snprintf(number, sizeof number, " %d%%", percent);
    std::string text(number, static_cast<size_t>(cells));
    if (info.cursor.x + (cells > shown_ ? cells : shown_) >= info.size.x) return;  // it would wrap the row
    if (cells < shown_) text.append(static_cast<size_t>(shown_ - cells), ' ');
    screen.write(text);
    screen.set_cursor_position(info.cursor);
    screen.flush();
    shown_ = cells;
    percent_ = percent;
    drawn_at_ = now;
}

void StepProgress::clear() {
    if (shown_ == 0) return;
    platform::ConsoleOutput& screen = output();
    platform::ScreenBufferInfo info;
    if (screen.get_screen_buffer_info(info)) {
        screen.write(std::string(static_cast<size_t>(shown_), ' '));
        screen.set_cursor_position(info.cursor);
        screen.flush();
    }
    shown_ = 0;
    percent_ = -1;
}

}  // namespace qx::console
