// Test doubles for the console: a simulated Win32 screen buffer and scripted key presses.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "console/console.hpp"
#include "platform/platform.hpp"

namespace qx::test {

// A Win32 console screen buffer: a grid of cells (character and attribute), a
// cursor that wraps at the right edge, and a buffer that scrolls up by one row
// when the cursor passes the last row. Written characters take the buffer's
// current attribute (7); fill_attribute recolours cells in place.
class SimulatedScreen final : public platform::ConsoleOutput {
public:
    struct Cell {
        unsigned char ch = ' ';
        uint16_t attribute = 7;
    };
    struct Fill {
        uint16_t attribute;
        uint32_t count;
        platform::Coord start;
    };

    SimulatedScreen(int width, int height) : width_(width), height_(height), cells_(size_t(width) * height) {}

    void write(std::string_view text) override {
        for (char c : text) put(static_cast<unsigned char>(c));
    }
    void flush() override {}
    bool get_screen_buffer_info(platform::ScreenBufferInfo& info) override {
        info.size = {static_cast<int16_t>(width_), static_cast<int16_t>(height_)};
        info.cursor = cursor_;
        return true;
    }
    bool set_cursor_position(platform::Coord p) override {
        if (p.x < 0 || p.y < 0 || p.x >= width_ || p.y >= height_) return false;
        cursor_ = p;
        return true;
    }
    bool fill_attribute(uint16_t attribute, uint32_t count, platform::Coord start, uint32_t& filled) override {
        fills.push_back({attribute, count, start});
        filled = 0;
        if (start.x < 0 || start.y < 0 || start.x >= width_ || start.y >= height_) return false;
        for (size_t i = size_t(start.y) * width_ + start.x; i < cells_.size() && filled < count; ++i, ++filled) {
            cells_[i].attribute = attribute;
        }
        return true;
    }
    void begin_paint(uint16_t) override {}
    void end_paint() override {}

    platform::Coord cursor() const { return cursor_; }
    void place_cursor(int x, int y) { cursor_ = {static_cast<int16_t>(x), static_cast<int16_t>(y)}; }
    const Cell& cell(int x, int y) const { return cells_[size_t(y) * width_ + x]; }
    std::string row_text(int y) const {
        std::string s;
        for (int x = 0; x < width_; ++x) s += static_cast<char>(cell(x, y).ch);
        return s.substr(0, s.find_last_not_of(' ') + 1);
    }
    // The rows whose cells all carry `attribute`.
    std::vector<int> rows_with(uint16_t attribute) const {
        std::vector<int> rows;
        for (int y = 0; y < height_; ++y) {
            bool all = true;
            for (int x = 0; x < width_ && all; ++x) all = cell(x, y).attribute == attribute;
            if (all) rows.push_back(y);
        }
        return rows;
    }

    std::vector<Fill> fills;

private:
    void put(unsigned char c) {
        if (c == '\n') {
            cursor_.x = 0;
            next_row();
            return;
        }
        cells_[size_t(cursor_.y) * width_ + cursor_.x] = {c, 7};
        if (++cursor_.x == width_) {
            cursor_.x = 0;
            next_row();
        }
    }
    void next_row() {
        if (cursor_.y + 1 < height_) {
            ++cursor_.y;
            return;
        }
        cells_.erase(cells_.begin(), cells_.begin() + width_);
        cells_.resize(size_t(width_) * height_);
    }

    int width_;
    int height_;
    std::vector<Cell> cells_;
    platform::Coord cursor_;
};

// Key presses from a script; reading past its end fails as a lost terminal does.
class ScriptedKeys final : public platform::ConsoleInput {
public:
    explicit ScriptedKeys(bool available = true) : available_(available) {}

    void type(std::string_view text) {
        for (char c : text) keys.push_back({static_cast<unsigned char>(c), 0, 0});
    }
    void press_extended(int prefix, int code) { keys.push_back({0, prefix, code}); }

    bool open() override { return available_; }
    bool enter_raw_mode() override {
        raw = true;
        return true;
    }
    void restore_mode() override { raw = false; }
    bool read_key_press(platform::KeyPress& key) override {
        ++reads;
        if (!raw) every_read_raw = false;
        if (keys.empty()) return false;
        key = keys.front();
        keys.pop_front();
        return true;
    }

    std::deque<platform::KeyPress> keys;
    int reads = 0;
    bool raw = false;
    bool every_read_raw = true;

private:
    bool available_;
};

// Puts a simulated screen and scripted keys in place for the life of a test.
class ConsoleFixture {
public:
    ConsoleFixture(int width, int height, bool keyboard = true) : screen(width, height), keys(keyboard) {
        platform::set_console_output(&screen);
        platform::set_console_input(&keys);
        console::reset_key_reader();
    }
    ~ConsoleFixture() {
        platform::set_console_output(nullptr);
        platform::set_console_input(nullptr);
        console::reset_key_reader();
    }

    SimulatedScreen screen;
    ScriptedKeys keys;
};

}  // namespace qx::test
