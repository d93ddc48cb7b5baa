// Tests of standard output as a screen buffer on POSIX: cursor tracking, colours, no escapes to files.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/terminal_output.hpp"

namespace qx::platform {
namespace {

struct Captured {
    std::string bytes;
    TerminalOutput output;
    Captured(bool terminal, int width = 80, bool utf8 = true)
        : output({terminal, utf8, width, 24}, [this](std::string_view s) { bytes += s; }) {}
    Coord cursor() {
        ScreenBufferInfo info;
        EXPECT_TRUE(output.get_screen_buffer_info(info));
        return info.cursor;
    }
    void write(std::string_view s) {
        output.write(s);
        output.flush();
    }
};

TEST(TerminalOutput, AttributesMapToTerminalColours) {
    EXPECT_EQ(sgr_for_attribute(30), "\x1b[0;93;44m");  // bright yellow on blue
    EXPECT_EQ(sgr_for_attribute(12), "\x1b[0;91;49m");
    EXPECT_EQ(sgr_for_attribute(4), "\x1b[0;31;49m");
    EXPECT_EQ(sgr_for_attribute(15), "\x1b[0;97;49m");
    EXPECT_EQ(sgr_for_attribute(10), "\x1b[0;92;49m");
    EXPECT_EQ(sgr_for_attribute(0xE1), "\x1b[0;34;103m");
}

// Each painted row is filled to the right edge, and the colours are reset before its
// newline, so that a row scrolled in at the bottom takes no paint.
TEST(TerminalOutput, PaintedRowsAreFilledToTheRightEdge) {
    Captured t(true);
    t.output.begin_paint(30);
    t.write("ab\tc\n\nd\n");
    t.output.end_paint();
    t.write("plain\n");
    const std::string blue = "\x1b[0;93;44m";
    EXPECT_EQ(t.bytes, blue + "ab      c\x1b[K\x1b[0m\n" + blue + "\x1b[K\x1b[0m\n" + blue + "d\x1b[K\x1b[0m\nplain\n");
}

TEST(TerminalOutput, FollowsTheCursorAcrossWrapsTabsAndUtf8) {
    Captured t(true, 10);
    t.write("12345");
    EXPECT_EQ(t.cursor().x, 5);
    t.write("67890");  // the row is full: the console cursor is on the next row
    EXPECT_EQ(t.cursor().x, 0);
    EXPECT_EQ(t.cursor().y, 1);
    t.output.begin_paint(12);
    t.write("\n");  // no erase on a full row: it would hit its last cell
    t.output.end_paint();
    EXPECT_EQ(t.bytes.find("\x1b[K"), std::string::npos);
    t.write("\xc3\xa9t\t");
    EXPECT_EQ(t.cursor().x, 8);
    t.output.write_code_page_char(176);
    t.output.flush();
    EXPECT_EQ(t.cursor().x, 9);
    EXPECT_NE(t.bytes.find("\xe2\x96\x91"), std::string::npos);
}

TEST(TerminalOutput, MovesTheCursorWithinTheScreen) {
    Captured t(true);
    t.write("Enter password: xxxx\nnext");
    EXPECT_TRUE(t.output.set_cursor_position({16, 0}));
    t.output.flush();
    EXPECT_EQ(t.bytes.substr(t.bytes.size() - 9), "\x1b[1A\x1b[17G");
    EXPECT_EQ(t.cursor().x, 16);
    EXPECT_EQ(t.cursor().y, 0);
}

// A terminal whose window the test resizes.
class ResizedTerminal : public TerminalOutput {
public:
    int width = 40, height = 5;
    std::string bytes;
    ResizedTerminal() : TerminalOutput({true, true, 40, 5}, [this](std::string_view s) { bytes += s; }) {}
    Coord cursor() {
        ScreenBufferInfo info;
        EXPECT_TRUE(get_screen_buffer_info(info));
        EXPECT_EQ(info.size.y, buffer_rows);
        return info.cursor;
    }
    // Moves the cursor to `to`; returns the bytes the move took.
    std::string move(Coord to) {
        flush();
        bytes.clear();
        EXPECT_TRUE(set_cursor_position(to));
        flush();
        return bytes;
    }

protected:
    void refresh_size(int& w, int& h) override { w = width, h = height; }
};

// Rows are buffer rows: a scroll of the screen moves its top, never the rows, so a
// position taken before the scroll (the field's first cell) still names the same cell.
TEST(TerminalOutput, PositionsStayRightWhenTheScreenScrolls) {
    ResizedTerminal t;
    t.write("Quillex\n\n\n\nEnter password: ");  // on the screen's last row
    const Coord field = t.cursor();
    EXPECT_EQ(field.x, 16);
    EXPECT_EQ(field.y, 4);
    for (int i = 0; i < 32; ++i) t.write_code_page_char(176);  // wraps and scrolls the screen
    EXPECT_EQ(t.cursor().x, 8);
    EXPECT_EQ(t.cursor().y, 5);
    EXPECT_EQ(t.move(field), "\x1b[1A\x1b[17G");
    for (int i = 0; i < 24; ++i) t.write_code_page_char(177);  // up to the row's last column
    EXPECT_EQ(t.cursor().x, 0);
    EXPECT_EQ(t.cursor().y, 5);
    EXPECT_EQ(t.move({0, 5}), "");  // the next cell already comes there
    EXPECT_EQ(t.move({39, 4}), "\x1b[40G");
    EXPECT_EQ(t.move({3, 7}), "\x1b[1B\n\n\x1b[4G");  // rows below the written ones are made
    // Row 2 has scrolled off (the screen shows rows 3 to 7): the top row is the nearest.
    EXPECT_EQ(t.move({0, 2}), "\x1b[4A\x1b[1G");
    EXPECT_EQ(t.cursor().y, 3);
    // A smaller window pushes rows off its top; the cursor stays on the screen.
    t.height = 2;
    EXPECT_EQ(t.cursor().y, 6);
    EXPECT_EQ(t.move({0, 5}), "\x1b[1G");
    t.height = 5;
    t.width = 20;
    EXPECT_EQ(t.cursor().y, 6);  // the size is taken with the cursor, as the console layer asks
    EXPECT_EQ(t.move({30, 7}), "\x1b[1B\x1b[20G");
    EXPECT_EQ(t.cursor().x, 19);
}

// However long the run, the rows stay within the 16-bit coordinates: on the buffer's
// last row the buffer scrolls, as a full console buffer does.
TEST(TerminalOutput, ALongRunStaysWithinTheBuffer) {
    ResizedTerminal t;
    t.write(std::string(100000, '\n') + "file 100000: a.txt");
    EXPECT_EQ(t.cursor().y, TerminalOutput::buffer_rows - 1);
    EXPECT_EQ(t.cursor().x, 18);
    EXPECT_EQ(t.move({0, TerminalOutput::buffer_rows - 3}), "\x1b[2A\x1b[1G");
    EXPECT_EQ(t.move({0, TerminalOutput::buffer_rows - 1}), "\x1b[2B\x1b[1G");
    t.write(std::string(40, 'x'));
    EXPECT_EQ(t.cursor().y, TerminalOutput::buffer_rows - 1);
}

TEST(TerminalOutput, FileGetsNoEscapesButTheColumnIsStillKnown) {
    Captured f(false, 80, false);
    f.write("file 1: ");
    f.write(std::string(200, 'x'));  // a file never wraps
    EXPECT_EQ(f.cursor().x, 208);
    f.output.begin_paint(30);
    f.write("a\tb\n");
    f.output.end_paint();
    EXPECT_FALSE(f.output.set_cursor_position({0, 0}));
    f.output.write_code_page_char(177);
    f.output.flush();
    EXPECT_EQ(f.bytes.find('\x1b'), std::string::npos);
    EXPECT_EQ(f.bytes.substr(208), "a\tb\n\xb1");
    EXPECT_EQ(f.cursor().x, 1);
}

TEST(TerminalOutput, ControlCharactersFromNamesCannotActOnTheTerminal) {
    for (bool terminal : {true, false}) {
        Captured t(terminal);
        t.write("a\x1b]0;title\x07\x1b[2Jb\x7f");
        EXPECT_EQ(t.bytes, "a?]0;title??[2Jb?");
    }
}

}  // namespace
}  // namespace qx::platform
