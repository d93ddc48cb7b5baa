// How far a long step of a file has come, shown on the progress line and erased again.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace qx::platform {
class ConsoleOutput;
}

namespace qx::console {

// Writes a file's progress pieces and, while one step has taken more than about a
// second, its percentage right after the last piece (" 42%"), redrawn a few times a
// second with the cursor left where the next piece goes. The percentage is erased
// before the next piece and by clear(), so the finished line holds the pieces
// alone. Shown only where the output is a screen whose cursor can be placed; with
// standard output redirected nothing of it is written.
class StepProgress {
public:
    using Clock = std::function<uint64_t()>;  // milliseconds from any fixed moment

    // `output` null: the process's standard output console. `now` empty: a monotonic clock.
    explicit StepProgress(platform::ConsoleOutput* output = nullptr, Clock now = {});

    // Erases the percentage, writes the piece (as out() does) and starts a new step.
    void piece(std::string_view text);
    // The current step has done `done` of `total` bytes.
    void advance(uint64_t done, uint64_t total);
    // Erases the percentage, if one is shown.
    void clear();

    static constexpr uint64_t quiet_ms = 1000;   // a step shows nothing before this
    static constexpr uint64_t redraw_ms = 250;   // between two drawings

private:
    platform::ConsoleOutput& output();

    platform::ConsoleOutput* output_;
    Clock now_;
    uint64_t step_start_ = 0;
    uint64_t drawn_at_ = 0;
    int shown_ = 0;  // cells the percentage takes now
    int percent_ = -1;
};

}  // namespace qx::console
