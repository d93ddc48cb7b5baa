// Known streams both ways, the stream's edge cases, damaged streams and the file operations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.hpp"

namespace qx::codec {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct KnownStream {
    std::string text;
    Bytes stream;
};

const std::vector<KnownStream>& known_streams() {
    static const std::vector<KnownStream> all = {
        {"abc", {0x03, 0, 0, 0, 0xF6, 0xFB, 0xBD, 0xE0}},
        {"a", {0x01, 0, 0, 0, 0xF6, 0x80}},
        {"aaaaaaaaaa", {0x0A, 0, 0, 0, 0xF6, 0xC9, 0x00, 0x00}},
        {"abcabcabcabc", {0x0C, 0, 0, 0, 0xF6, 0xFB, 0xBD, 0xF2, 0x40, 0x20}},
        {std::string(100, ' '), {0x64, 0, 0, 0, 0xC5, 0x1D, 0xD8, 0x84, 0xC0}},
        {"hello hello hello world",
         {0x17, 0, 0, 0, 0xFA, 0x7C, 0x7F, 0x18, 0x7F, 0xB9, 0x60, 0x28, 0x1E, 0x17, 0xFA, 0xFF, 0xC0}},
    };
    return all;
}

void expect_known_streams(Codec& codec, bool check_encoding) {
    for (const KnownStream& k : known_streams()) {
        Bytes out;
        Failure why = Failure::cant_read;
        if (check_encoding) {
            const Bytes in = bytes_of(k.text);
            ASSERT_EQ(codec.compress(in.data(), in.size(), out, &why), 1) << k.text;
            EXPECT_EQ(why, Failure::none);
            EXPECT_EQ(out, k.stream) << k.text;
        }
        ASSERT_EQ(codec.decompress(k.stream.data(), k.stream.size(), out, &why), 1) << k.text;
        EXPECT_EQ(why, Failure::none);
        EXPECT_EQ(out, bytes_of(k.text));
    }
}

// Runs some operations whose window bytes carry over into later ones.
void use(Codec& codec, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes data(5000 + seed * 37), packed, back;
    for (auto& b : data) b = static_cast<uint8_t>(rng() % 7 + 'a');
    ASSERT_EQ(codec.compress(data.data(), data.size(), packed), 1);
    ASSERT_EQ(codec.decompress(packed.data(), packed.size(), back), 1);
    ASSERT_EQ(back, data);
}

TEST(CodecStream, KnownStreamsInAFreshState) {
    Codec codec;
    expect_known_streams(codec, true);
}

TEST(CodecStream, KnownStreamsAfterEarlierOperations) {
    Codec codec;
    use(codec, 1);
    expect_known_streams(codec, true);
    use(codec, 2);
    expect_known_streams(codec, false);
    expect_known_streams(codec, true);
}

TEST(CodecStream, EmptyAndZeroLengthAndShortStreams) {
    Codec codec;
    Bytes out{1, 2};
    Failure why = Failure::none;
    EXPECT_EQ(codec.compress(nullptr, 0, out, &why), 0);
    EXPECT_EQ(why, Failure::empty_input);
    EXPECT_EQ(out, Bytes(4, 0));

    const Bytes zero = {0, 0, 0, 0, 0xF6, 0x80};
    EXPECT_EQ(codec.decompress(zero.data(), zero.size(), out, &why), 0);
    EXPECT_EQ(why, Failure::zero_length);
    EXPECT_TRUE(out.empty());

    const Bytes short_header = {1, 0, 0};
    EXPECT_EQ(codec.decompress(short_header.data(), short_header.size(), out, &why), 0);
    EXPECT_EQ(why, Failure::cant_read);
}

TEST(CodecStream, BytesAfterTheLengthAreIgnored) {
    Codec codec;
    Bytes stream = known_streams()[0].stream, out;
    stream.insert(stream.end(), {0xFF, 0x12, 0x34});
    ASSERT_EQ(codec.decompress(stream.data(), stream.size(), out), 1);
    EXPECT_EQ(out, bytes_of("abc"));
}

TEST(CodecStream, AMatchCrossingTheLengthIsCut) {
    Codec codec;
    Bytes stream = known_streams()[2].stream, out;  // a literal, then a match of 9
    stream[0] = 5;
    ASSERT_EQ(codec.decompress(stream.data(), stream.size(), out), 1);
    EXPECT_EQ(out, bytes_of("aaaaa"));
}

TEST(CodecStream, EveryTruncationOfAStreamFails) {
    Codec codec;
    std::mt19937 rng(5);
    Bytes text(3000), packed, out;
    for (auto& b : text) b = static_cast<uint8_t>("etaoin shrdlu\n"[rng() % 14]);
    ASSERT_EQ(codec.compress(text.data(), text.size(), packed), 1);
    for (size_t cut = 4; cut < packed.size(); ++cut) {
        Failure why = Failure::none;
        ASSERT_EQ(codec.decompress(packed.data(), cut, out, &why), 0) << cut;
        EXPECT_EQ(why, Failure::corrupt);
        EXPECT_TRUE(out.empty());
    }
}

TEST(CodecStream, AHugeLengthOverATinyStreamFailsQuickly) {
    Codec codec;
    Bytes out;
    Failure why = Failure::none;
    const auto start = std::chrono::steady_clock::now();
    for (const Bytes& stream : {Bytes{0xFF, 0xFF, 0xFF, 0xFF}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00},
                                Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xC5, 0x1D, 0xD8, 0x84, 0xC0}}) {
        EXPECT_EQ(codec.decompress(stream.data(), stream.size(), out, &why), 0);
        EXPECT_EQ(why, Failure::corrupt);
        EXPECT_TRUE(out.empty());
        EXPECT_LT(out.capacity(), size_t{1} << 20);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(CodecStream, DecodesOffsetsThatReachTheCurrentPosition) {
    // A match at offset 4095 copies what the window held at the current position.
    Codec codec;
    // Symbol 256 (length 3) is 10001100 in a fresh model; offset 4095 is 11111111 111111.
    const Bytes stream = {0x03, 0, 0, 0, 0x8C, 0xFF, 0xFC};
    Bytes out;
    ASSERT_EQ(codec.decompress(stream.data(), stream.size(), out), 1);
    EXPECT_EQ(out, Bytes(3, 0));  // window bytes 4036.. of a fresh state are zero
}

class CodecFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qx_codec_files_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    static void write(const std::string& p, const Bytes& data) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    static Bytes read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    std::filesystem::path dir_;
};

TEST_F(CodecFiles, RoundTripThroughFiles) {
    Codec codec;
    write(path("in"), bytes_of("hello hello hello world"));
    Failure why = Failure::corrupt;
    ASSERT_EQ(compress_file(codec, path("in"), path("packed"), &why), 1);
    EXPECT_EQ(why, Failure::none);
    EXPECT_EQ(read(path("packed")), known_streams()[5].stream);
    ASSERT_EQ(decompress_file(codec, path("packed"), path("out"), &why), 1);
    EXPECT_EQ(read(path("out")), bytes_of("hello hello hello world"));
#ifdef __linux__
    // The kernel's files report a size of 0 and still have contents.
    ASSERT_EQ(compress_file(codec, "/proc/self/status", path("packed"), &why), 1);
    ASSERT_EQ(decompress_file(codec, path("packed"), path("out"), &why), 1);
    EXPECT_NE(read(path("out")).size(), 0u);
#endif
}

TEST_F(CodecFiles, FailuresLeaveTheOutputEmptyAndSayWhy) {
    Codec codec;
    Failure why = Failure::none;
    write(path("out"), bytes_of("old contents"));
    EXPECT_EQ(compress_file(codec, path("missing"), path("out"), &why), 0);
    EXPECT_EQ(why, Failure::cant_open);
    EXPECT_TRUE(read(path("out")).empty());

    EXPECT_EQ(compress_file(codec, path("missing"), path("no/such/dir/out"), &why), 0);
    EXPECT_EQ(why, Failure::cant_open);

    write(path("empty"), {});
    EXPECT_EQ(compress_file(codec, path("empty"), path("out"), &why), 0);
    EXPECT_EQ(why, Failure::empty_input);
    EXPECT_EQ(read(path("out")), Bytes(4, 0));

    EXPECT_EQ(decompress_file(codec, path("out"), path("plain"), &why), 0);
    EXPECT_EQ(why, Failure::zero_length);
    EXPECT_TRUE(read(path("plain")).empty());

    write(path("short"), {7, 0});
    EXPECT_EQ(decompress_file(codec, path("short"), path("plain"), &why), 0);
    EXPECT_EQ(why, Failure::cant_read);

    write(path("cut"), {0x17, 0, 0, 0, 0xFA, 0x7C, 0x7F});
    EXPECT_EQ(decompress_file(codec, path("cut"), path("plain"), &why), 0);
    EXPECT_EQ(why, Failure::corrupt);
    EXPECT_TRUE(read(path("plain")).empty());

    // A long stream cut short fails after whole chunks have been written: they go again.
    Bytes big(4 << 20), packed;
    std::mt19937 rng(3);
    for (auto& b : big) b = static_cast<uint8_t>(rng() % 3);
    ASSERT_EQ(codec.compress(big.data(), big.size(), packed), 1);
    packed.resize(packed.size() - 2);
    write(path("long"), packed);
    EXPECT_EQ(decompress_file(codec, path("long"), path("plain"), &why), 0);
    EXPECT_EQ(why, Failure::corrupt);
    EXPECT_TRUE(read(path("plain")).empty());
}

}  // namespace
}  // namespace qx::codec
