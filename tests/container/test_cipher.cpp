// The cipher transforms: examples, check values, round trips and the consistency test.
#include "container/cipher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace qx::container;
using Bytes = std::vector<uint8_t>;

namespace {

// A password of zero bytes makes every shuffle step a no-op, exposing the other steps.
const std::string zero_key(4, '\0');

Bytes enciphered(Bytes b, std::string_view password, int* key = nullptr) {
    int k = encipher_data(b.data(), b.size(), password);
    if (key) *key = k;
    return b;
}

}  // namespace

TEST(Cipher, PairSwapAndNegationLeaveTheLastByte) {
    // Forward chain with a no-op shuffle is swap, negate, reverse.
    EXPECT_EQ(enciphered({1, 2, 3}, zero_key), (Bytes{0x03, 0xFF, 0xFE}));
    EXPECT_EQ(enciphered({1, 2, 3, 4}, zero_key), (Bytes{0x03, 0xFC, 0xFF, 0xFE}));
    EXPECT_EQ(enciphered({0, 128, 7}, zero_key), (Bytes{7, 0, 128}));  // 0 and 128 are their own negation
}

TEST(Cipher, ShufflePartnerIsClampedToTheLastByte) {
    // L = 5, key bytes: 0 at i = 0, 200 at i = 1 (i + 200 clamps to 4), 0, 1 at i = 3.
    const std::string key("\x00\xC8\x00\x01", 4);
    Bytes b{10, 20, 30, 40, 50};
    // swap -> 20 10 40 30 50; negate -> 236 246 216 226 50;
    // i=1 <-> 4 -> 236 50 216 226 246; i=3 <-> 4 -> 236 50 216 246 226; reverse.
    int k = 0;
    EXPECT_EQ(enciphered(b, key, &k), (Bytes{226, 246, 216, 50, 236}));
    EXPECT_EQ(k, 3);
}

TEST(Cipher, KeyIndexIsTheLastShuffleStep) {
    const std::string pw = "abcd";
    for (size_t len : {1u, 2u, 3u, 5u, 13u, 14u, 100u}) {
        Bytes b(len, 9);
        int k = encipher_data(b.data(), b.size(), pw);
        EXPECT_EQ(k, len < 2 ? 3 : static_cast<int>((len - 2) % 4)) << len;
    }
}

TEST(Cipher, LongBuffersMatchTheTransformTakenOneStepAtATime) {
    // The shuffle takes the password in runs away from the end of the buffer;
    // here it is checked against the steps written out one at a time.
    const auto reference = [](Bytes b, std::string_view pw) {
        const size_t n = pw.size(), last = b.size() - 1;
        for (size_t i = 0; i + 1 < b.size(); i += 2) std::swap(b[i], b[i + 1]);
        for (size_t i = 0; i < last; ++i) b[i] = static_cast<uint8_t>(0u - b[i]);
        for (size_t i = 0, k = 0; i < last; ++i, k = (k + 1) % n)
            std::swap(b[i], b[std::min<size_t>(i + static_cast<uint8_t>(pw[k]), last)]);
        std::reverse(b.begin(), b.end());
        return b;
    };
    std::mt19937 rng(11);
    for (const std::string& pw : {std::string("pass"), std::string("x"), std::string("\xFF\xFE\xFD", 3),
                                 std::string("correct horse battery staple")}) {
        for (size_t len : {255u, 256u, 257u, 258u, 511u, 1000u, 4099u}) {
            Bytes plain(len);
            for (auto& c : plain) c = static_cast<uint8_t>(rng());
            int k = 0;
            const Bytes ours = enciphered(plain, pw, &k);
            EXPECT_EQ(ours, reference(plain, pw)) << pw << " " << len;
            Bytes back = ours;
            EXPECT_TRUE(decipher_data(back.data(), back.size(), pw, k));
            EXPECT_EQ(back, plain) << pw << " " << len;
        }
    }
}

TEST(Cipher, RoundTripsEveryLengthAndRejectsOtherLengths) {
    std::mt19937 rng(7);
    const std::string passwords[] = {"pass", std::string("\xFF\x80\x01\xC8\x00\x7F", 6),
                                     std::string(32, '\xFE'), "correct horse battery"};
    for (const std::string& pw : passwords) {
        for (size_t len = 1; len <= 3000; len += (len < 300 ? 1 : 37)) {
            Bytes plain(len);
            for (auto& c : plain) c = static_cast<uint8_t>(rng());
            Bytes b = plain;
            int k = encipher_data(b.data(), b.size(), pw);
            ASSERT_GE(k, 0);
            ASSERT_LT(k, static_cast<int>(pw.size()));
            Bytes d = b;
            ASSERT_TRUE(decipher_data(d.data(), d.size(), pw, k)) << len;
            ASSERT_EQ(d, plain) << len;
            // One byte more or less no longer passes (0 and 1 byte share the last index).
            Bytes shorter(b.begin(), b.end() - 1), longer = b;
            longer.push_back(0);
            if (len > 1) {
                EXPECT_FALSE(decipher_data(shorter.data(), shorter.size(), pw, k)) << len;
            }
            EXPECT_FALSE(decipher_data(longer.data(), longer.size(), pw, k)) << len;
        }
    }
}

TEST(Cipher, DecipherRejectsImpossibleKeyIndexes) {
    Bytes b(20, 1);
    int ticks = 0;
    EXPECT_FALSE(decipher_data(b.data(), b.size(), "abcd", 4, [&] { ++ticks; }));
    EXPECT_FALSE(decipher_data(b.data(), b.size(), "abcd", 255));
    EXPECT_FALSE(decipher_data(b.data(), b.size(), "abcd", -1));
    EXPECT_EQ(ticks, 2);
    // Buffers of 0 and 1 byte pass only with the last index.
    EXPECT_TRUE(decipher_data(b.data(), 0, "abcd", 3));
    EXPECT_FALSE(decipher_data(b.data(), 1, "abcd", 2));
}

TEST(Cipher, ProgressTicksAtTheFixedPoints) {
    Bytes b(50, 3);
    int ticks = 0;
    int k = encipher_data(b.data(), b.size(), "abcd", [&] { ++ticks; });
    EXPECT_EQ(ticks, 2);
    EXPECT_TRUE(decipher_data(b.data(), b.size(), "abcd", k, [&] { ++ticks; }));
    EXPECT_EQ(ticks, 5);
}

TEST(CheckBlock, UsesBytesAsUnsignedValues) {
    // n = 5: sum 128+255+1+2+254 = 640; mirrored 128*254 + 255*2 + 1*1 = 33023.
    EXPECT_EQ(make_check_block("\x80\xFF\x01\x02\xFE"),
              (CheckBlock{5, 0x80, 0x02, 0xFF, 0x80, 0, 0, 0x80}));
    // n = 4: p0*p3 + p1*p2; sum wraps at 16 bits only.
    EXPECT_EQ(make_check_block("abcd"), (CheckBlock{4, 0x8A, 0x01, 0xCA, 0x4B, 0, 0, 'a'}));
    // 32 bytes of 255: sum 8160, mirrored 16 * 65025 = 1040400.
    EXPECT_EQ(make_check_block(std::string(32, '\xFF')),
              (CheckBlock{32, 0xE0, 0x1F, 0x10, 0xE0, 0x0F, 0x00, 0xFF}));
    // The shortest passwords: the middle byte squared once, the pair once; the
    // walk from both ends must stop there and read nothing beyond the password.
    const std::string one_byte = "x", two_bytes = "xy";
    EXPECT_EQ(make_check_block(std::string_view(one_byte)), (CheckBlock{1, 'x', 0, 0x40, 0x38, 0, 0, 'x'}));
    EXPECT_EQ(make_check_block(std::string_view(two_bytes)), (CheckBlock{2, 0xF1, 0, 0xB8, 0x38, 0, 0, 'x'}));
    EXPECT_EQ(make_check_block(""), (CheckBlock{0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Plaintext, SplitsAtTheFirstEsc) {
    Bytes b(identification_text.size() + 1 + 4);
    b[13] = 27;  // contents: ESC 5 ESC 6
    b[14] = 5;
    b[15] = 27;
    b[16] = 6;
    assemble_plaintext(b.data());
    size_t text = 0;
    ASSERT_TRUE(split_plaintext(b.data(), b.size(), text));
    EXPECT_EQ(text, 12u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 12), "Quillex v2.1");
    ASSERT_TRUE(split_plaintext(b.data(), 13, text));  // empty contents
    EXPECT_EQ(text, 12u);
    EXPECT_FALSE(split_plaintext(b.data(), 12, text));  // no ESC anywhere
    EXPECT_FALSE(split_plaintext(b.data(), 0, text));
}
