// Tests of the terminal key decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/terminal_keys.hpp"

namespace qx::platform {
namespace {

// Decodes a whole burst of bytes, as if nothing more were coming, into the codes
// read_key would return (an extended key gives its prefix and its code).
std::vector<int> codes(std::string_view bytes, bool utf8 = true) {
    std::vector<int> out;
    auto data = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t at = 0;
    while (at < bytes.size()) {
        DecodedKey d = decode_terminal_key(data + at, bytes.size() - at, utf8, true);
        EXPECT_GT(d.length, 0u);
        if (d.length == 0) break;
        at += d.length;
        if (d.result != KeyDecode::key) continue;
        if (d.key.character != 0) {
            out.push_back(d.key.character);
        } else {
            out.push_back(d.key.prefix);
            out.push_back(d.key.code);
        }
    }
    return out;
}

using Codes = std::vector<int>;

TEST(TerminalKeys, CharactersAndTheKeysThatTerminalsSendDifferently) {
    EXPECT_EQ(codes("aZ ~"), Codes({'a', 'Z', ' ', '~'}));
    EXPECT_EQ(codes("\x7f\b\r\x03\t"), Codes({8, 8, 13, 3, 9}));  // DEL is Backspace
    EXPECT_EQ(codes(std::string("\0x", 2)), Codes({'x'}));         // NUL has no code
}

TEST(TerminalKeys, CursorBlockInEveryForm) {
    EXPECT_EQ(codes("\x1b[A\x1b[B\x1b[C\x1b[D"), Codes({224, 72, 224, 80, 224, 77, 224, 75}));
    EXPECT_EQ(codes("\x1bOA\x1bOH\x1bOF"), Codes({224, 72, 224, 71, 224, 79}));
    EXPECT_EQ(codes("\x1b[H\x1b[1~\x1b[7~\x1b[F\x1b[4~\x1b[8~"), Codes({224, 71, 224, 71, 224, 71, 224, 79, 224, 79, 224, 79}));
    EXPECT_EQ(codes("\x1b[2~\x1b[3~\x1b[5~\x1b[6~"), Codes({224, 82, 224, 83, 224, 73, 224, 81}));
}

TEST(TerminalKeys, FunctionKeys) {
    EXPECT_EQ(codes("\x1bOP\x1bOS\x1b[11~\x1b[15~\x1b[17~\x1b[21~\x1b[23~\x1b[24~"),
              Codes({0, 59, 0, 62, 0, 59, 0, 63, 0, 64, 0, 68, 0, 133, 0, 134}));
    EXPECT_EQ(codes("\x1b[[A\x1b[[E"), Codes({0, 59, 0, 63}));  // the Linux console's F1 and F5
}

TEST(TerminalKeys, ModifiersPickTheirCodesAltBeforeCtrlBeforeShift) {
    EXPECT_EQ(codes("\x1b[1;5A\x1b[1;3A\x1b[1;2A\x1b[1;7A"), Codes({224, 141, 0, 152, 224, 72, 0, 152}));
    EXPECT_EQ(codes("\x1b[1;2P\x1b[15;5~\x1b[24;3~"), Codes({0, 84, 0, 98, 0, 140}));
    EXPECT_EQ(codes("\x1bO2P\x1bO5A"), Codes({0, 84, 224, 141}));  // older SS3 form with a modifier
    EXPECT_EQ(codes("\x1b[Z"), Codes({9}));                        // Shift+Tab
}

TEST(TerminalKeys, LoneEscIsNeverTheStartOfASequence) {
    EXPECT_EQ(codes("\x1b"), Codes({27}));
    EXPECT_EQ(codes("\x1b\x1b[A\x1b\r"), Codes({27, 224, 72, 27, 13}));
    EXPECT_EQ(codes("\x1b[\x01"), Codes({27, '[', 1}));  // not a sequence after all
}

// Alt with a character key gives the key alone, as the console does.
TEST(TerminalKeys, AltWithACharacterIsThatCharacter) {
    EXPECT_EQ(codes("\x1bx\x1bQ\x1b \x1b\x7f"), Codes({'x', 'Q', ' ', 8}));
    EXPECT_EQ(codes("\x1bO"), Codes({'O'}));
    EXPECT_EQ(codes("\x1b["), Codes({'['}));
    EXPECT_EQ(codes("\x1b\xc3\xa9"), Codes({0xc3}));
}

TEST(TerminalKeys, IncompleteBytesWaitForMoreUnlessFinal) {
    auto decode = [](std::string_view s, bool final) {
        return decode_terminal_key(reinterpret_cast<const unsigned char*>(s.data()), s.size(), true, final);
    };
    for (std::string_view partial : {"\x1b", "\x1b[1;", "\x1bO2", "\x1b[[", "\xe2\x82"}) {
        EXPECT_EQ(decode(partial, false).result, KeyDecode::incomplete) << partial;
        EXPECT_EQ(decode(partial, true).result, KeyDecode::key) << partial;
        EXPECT_EQ(decode(partial, true).length, 1u) << partial;
    }
    EXPECT_EQ(decode("\x1b[A", false).length, 3u);
}

TEST(TerminalKeys, SequencesWithoutAKeyAreSkippedWhole) {
    EXPECT_EQ(codes("\x1b[200~ab\x1b[201~"), Codes({'a', 'b'}));  // pasted text markers
    EXPECT_EQ(codes("\x1b[?1;2c\x1b[I\x1b[O\x1b[E\x1b[99~\x1bOj"), Codes({}));
    Codes overlong = codes("\x1b[" + std::string(40, '1') + "~q");  // too long to be a key: plain keys
    EXPECT_EQ(overlong.size(), 44u);
    EXPECT_EQ(overlong.front(), 27);
}

TEST(TerminalKeys, Utf8CharacterIsOneKeyOutsideAscii) {
    EXPECT_EQ(codes("\xc3\xa9\xe2\x82\xac!"), Codes({0xc3, 0xe2, '!'}));
    EXPECT_EQ(codes("\xc3\xa9", false), Codes({0xc3, 0xa9}));  // 8-bit terminal: one byte per key
    EXPECT_EQ(codes("\xc3x\xff"), Codes({0xc3, 'x', 0xff}));    // broken sequence
}

}  // namespace
}  // namespace qx::platform
