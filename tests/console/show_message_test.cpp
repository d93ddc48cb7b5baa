// Tests of show_message against a simulated console screen buffer, and of read_key's pending code.
#include <gtest/gtest.h>

#include "console/fake_console.hpp"

namespace qx::console {
namespace {

using test::ConsoleFixture;
using Rows = std::vector<int>;

int exit_status = -1;
void record_exit(int status) { exit_status = status; }

class ShowMessage : public ::testing::Test {
protected:
    ShowMessage() : console(80, 300) {
        exit_status = -1;
        previous_exit = set_exit_function(record_exit);
    }
    ~ShowMessage() override { set_exit_function(previous_exit); }

    ConsoleFixture console;
    ExitFunction previous_exit;
};

TEST_F(ShowMessage, NoteColoursExactlyItsRow) {
    console.screen.place_cursor(0, 10);
    EXPECT_EQ(show_message(kind_note, attr_note, " - encrypted by %s", "Quillex v2.1"), 28);
    EXPECT_EQ(console.screen.rows_with(attr_note), Rows({10}));
    EXPECT_EQ(console.screen.row_text(10), " - encrypted by Quillex v2.1");
    EXPECT_EQ(console.screen.cursor().y, 11);
    EXPECT_EQ(console.keys.reads, 0);
}

TEST_F(ShowMessage, ErrorColoursHeaderAndTextThenWaitsForOneKey) {
    console.screen.place_cursor(0, 10);
    console.keys.type("xy");
    show_message(kind_error, attr_error, "one\ntwo\nthree");
    EXPECT_EQ(console.screen.rows_with(attr_error), Rows({10, 11, 12, 13}));
    EXPECT_EQ(console.screen.row_text(10), "*** error ***");
    EXPECT_EQ(console.screen.row_text(13), "three");
    EXPECT_EQ(console.screen.row_text(14), "press any key to proceed...");
    EXPECT_EQ(console.screen.cell(0, 14).attribute, 7);
    EXPECT_EQ(console.keys.reads, 1);
    EXPECT_EQ(exit_status, -1);
}

TEST_F(ShowMessage, FatalNearTheBottomScrollsAndColoursTheMovedRows) {
    console.screen.place_cursor(0, 297);
    show_message(kind_fatal, attr_error, "first\nsecond");
    EXPECT_EQ(console.screen.row_text(296), "*** error ***");
    EXPECT_EQ(console.screen.row_text(298), "second");
    EXPECT_EQ(console.screen.rows_with(attr_error), Rows({296, 297, 298}));
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(console.keys.reads, 0);
}

TEST_F(ShowMessage, FatalThatJustFitsDoesNotScroll) {
    console.screen.place_cursor(0, 296);
    show_message(kind_fatal, attr_error, "first\nsecond");
    EXPECT_EQ(console.screen.row_text(296), "*** error ***");
    EXPECT_EQ(console.screen.rows_with(attr_error), Rows({296, 297, 298}));
    EXPECT_EQ(console.screen.cursor().y, 299);
    EXPECT_EQ(exit_status, 1);
}

TEST_F(ShowMessage, StartsOnAFreshRowOnlyWhenTheCursorIsInsideARow) {
    console.screen.place_cursor(0, 5);
    console.screen.write("file 1: a.txt ... encrypting");
    show_message(kind_note, 12, "oops");
    EXPECT_EQ(console.screen.row_text(5), "file 1: a.txt ... encrypting");
    EXPECT_EQ(console.screen.row_text(6), "oops");
    EXPECT_EQ(console.screen.rows_with(12), Rows({6}));

    show_message(kind_note, 15, "next");  // the cursor is at column 0 now: no blank row
    EXPECT_EQ(console.screen.row_text(7), "next");
}

TEST_F(ShowMessage, ArgumentNewlinesAndWrappedRowsStayColouredWhileNothingScrolls) {
    console.screen.place_cursor(0, 20);
    show_message(kind_note, 15, "%s|%s", "a\nb", std::string(100, 'w').c_str());
    EXPECT_EQ(console.screen.rows_with(15), Rows({20, 21, 22}));
}

// Near the bottom, an argument's own lines and a wrapped line scroll the buffer as
// the format's lines do: exactly the moved rows of the message take the colour.
TEST_F(ShowMessage, ArgumentLinesNearTheBottomScrollAndColourTheMovedRows) {
    console.screen.place_cursor(0, 296);
    show_message(kind_fatal, attr_error, "%s", ("one\ntwo\n" + std::string(100, 'w')).c_str());
    EXPECT_EQ(console.screen.row_text(294), "*** error ***");
    EXPECT_EQ(console.screen.row_text(295), "one");
    EXPECT_EQ(console.screen.rows_with(attr_error), Rows({294, 295, 296, 297, 298}));
}

TEST(ShowMessageSmallBuffer, MessageTallerThanTheBufferColoursNothing) {
    ConsoleFixture console(20, 4);
    ExitFunction previous = set_exit_function(record_exit);
    show_message(kind_fatal, attr_error, "1\n2\n3\n4\n5");
    set_exit_function(previous);
    EXPECT_TRUE(console.screen.rows_with(attr_error).empty());
}

TEST(ReadKey, ExtendedKeyLeavesItsSecondCodePendingForTheNextRead) {
    ConsoleFixture console(80, 25);
    console.keys.press_extended(224, 72);
    console.keys.type("z");
    show_message(kind_error, attr_error, "wait");
    EXPECT_EQ(read_key(), 72);
    EXPECT_EQ(read_key(), 'z');
    EXPECT_EQ(console.keys.reads, 2);
    EXPECT_TRUE(console.keys.every_read_raw);
    EXPECT_FALSE(console.keys.raw);  // the mode is restored after each read
}

TEST(ReadKey, NoKeyboardEndsEveryWaitAtOnce) {
    ConsoleFixture console(80, 25, false);
    show_message(kind_error, attr_error, "wait");
    EXPECT_EQ(read_key(), -1);
    EXPECT_EQ(read_key(), -1);
    EXPECT_EQ(console.keys.reads, 0);
}

}  // namespace
}  // namespace qx::console
