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
