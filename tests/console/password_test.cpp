// Tests of the password field driven by scripted keys on a simulated screen.
#include <gtest/gtest.h>

#include "console/fake_console.hpp"

namespace qx::console {
namespace {

constexpr char backspace = 8;
constexpr char enter = 13;
constexpr char esc = 27;

class PasswordField : public ::testing::Test {
protected:
    PasswordField() : console(80, 25) {
        console.screen.place_cursor(0, 3);
        console.screen.write("Enter password: ");  // the field starts at column 16
    }
    std::string run(std::string_view keys) {
        console.keys.type(keys);
        return read_password(4, 32);
    }
    // The field's cells as '.' (free, 176) and '#' (filled, 177).
    std::string cells() const {
        std::string s;
        for (int x = 16; x < 48; ++x) {
            unsigned char c = console.screen.cell(x, 3).ch;
            s += c == 176 ? '.' : c == 177 ? '#' : '?';
        }
        return s;
    }

    test::ConsoleFixture console;
};

TEST_F(PasswordField, DrawsTheFieldAndEchoesBlocks) {
    EXPECT_EQ(run("abcd e\r"), "abcd e");  // a space is a character like any other
    EXPECT_EQ(cells(), "######" + std::string(26, '.'));
    EXPECT_EQ(console.screen.cursor().x, 16 + 6);
    EXPECT_EQ(console.screen.cursor().y, 3);  // no newline when the field is left
    ASSERT_EQ(console.screen.fills.size(), 2u);
    EXPECT_EQ(console.screen.fills[0].attribute, 10);
    EXPECT_EQ(console.screen.fills[0].count, 32u);
    EXPECT_EQ(console.screen.fills[1].attribute, 12);
    EXPECT_EQ(console.screen.fills[1].count, 3u);
    EXPECT_EQ(console.screen.fills[1].start.x, 16);
}

TEST_F(PasswordField, EnterTooEarlyIsRefusedAndSwallowsTheNextKey) {
    EXPECT_EQ(run("abc\rde\r"), "abce");
    EXPECT_EQ(run(std::string("abcd") + backspace + enter + "xy\r"), "abcy");
}

TEST_F(PasswordField, BackspaceErasesTheLastCharacterAndItsBlock) {
    EXPECT_EQ(run(std::string(1, backspace) + "abcd\r"), "abcd");  // on an empty field: no key lost
    EXPECT_EQ(run(std::string("wxyz") + backspace + backspace + "12\r"), "wx12");
}

TEST_F(PasswordField, KeepsAtMostMaxLenCharacters) {
    std::string typed;
    for (int i = 0; i < 33; ++i) typed += static_cast<char>('A' + i % 26);
    EXPECT_EQ(run(typed + "\r"), typed.substr(0, 32));
    EXPECT_EQ(cells(), std::string(32, '#'));
}

TEST_F(PasswordField, BackspaceOnAFullFieldFreesTheLastCell) {
    console.keys.type(std::string(32, 'k') + backspace);
    console.keys.type("\r");
    EXPECT_EQ(read_password(4, 32), std::string(31, 'k'));
    EXPECT_EQ(cells(), std::string(31, '#') + ".");
    EXPECT_EQ(console.screen.cursor().x, 16 + 31);
}

TEST_F(PasswordField, EscCancelsAtAnyMoment) {
    EXPECT_EQ(run(std::string("abcdef") + esc + "gh\r"), "");
    EXPECT_EQ(run(std::string(1, esc)), "");
}

TEST_F(PasswordField, ExtendedKeysLeaveNoTrace) {
    console.keys.type("ab");
    console.keys.press_extended(224, 75);  // Left
    console.keys.press_extended(0, 59);    // F1
    console.keys.type("cd\r");
    EXPECT_EQ(read_password(4, 32), "abcd");
}

TEST_F(PasswordField, RefusedCharactersSwallowTheFollowingKey) {
    EXPECT_EQ(run("ab\tXcd\r"), "abcd");
    EXPECT_EQ(run("ab\x01Xcd\r"), "abcd");
    EXPECT_EQ(run("ab\xe9Xcd\x7fYef\r"), "abcdef");  // 128..255 and 127 are never accepted
}

TEST(PasswordFieldNoKeyboard, EndsAsCancelledWithoutWaiting) {
    test::ConsoleFixture console(80, 25, false);
    EXPECT_EQ(read_password(4, 32), "");
}

TEST(PasswordFieldNoKeyboard, InputLostMidwayEndsAsCancelled) {
    test::ConsoleFixture console(80, 25);
    console.keys.type("abcde");  // then the terminal goes away
    EXPECT_EQ(read_password(4, 32), "");
}

}  // namespace
}  // namespace qx::console
