// Placeholder POSIX console: plain standard output, no keyboard; replaced by the real one.
#include <unistd.h>

#include <cstdio>

#include "platform/platform.hpp"

namespace qx::platform {

namespace {

class PlainOutput final : public ConsoleOutput {
public:
    void write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
    void flush() override { std::fflush(stdout); }
    bool get_screen_buffer_info(ScreenBufferInfo&) override { return false; }
    bool set_cursor_position(Coord) override { return false; }
    bool fill_attribute(uint16_t, uint32_t, Coord, uint32_t& filled) override {
        filled = 0;
        return false;
    }
    void begin_paint(uint16_t) override {}
    void end_paint() override {}
};

class NoInput final : public ConsoleInput {
public:
    bool open() override { return false; }
    bool enter_raw_mode() override { return false; }
    void restore_mode() override {}
    bool read_key_press(KeyPress&) override { return false; }
};

PlainOutput plain_output;
NoInput no_input;
ConsoleOutput* current_output = &plain_output;
ConsoleInput* current_input = &no_input;

}  // namespace

ConsoleOutput& console_output() { return *current_output; }
ConsoleOutput* set_console_output(ConsoleOutput* replacement) {
    ConsoleOutput* previous = current_output;
    current_output = replacement != nullptr ? replacement : &plain_output;
    return previous;
}
ConsoleInput& console_input() { return *current_input; }
ConsoleInput* set_console_input(ConsoleInput* replacement) {
    ConsoleInput* previous = current_input;
    current_input = replacement != nullptr ? replacement : &no_input;
    return previous;
}

void install_interrupt_handlers() {}
int track_temp_file(const std::string&) { return -1; }
void untrack_temp_file(int) {}

}  // namespace qx::platform
