// The incremental calls against the whole-buffer ones: the same streams, output,
// failures and carried window for every way of cutting the input into blocks.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/codec.hpp"
#include "codec/test_io.hpp"

namespace qx::codec {
namespace {

// Text-like runs with random bytes among them, so that the stream has matches
// of every length and literals.
Bytes sample(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    static const char* const words[] = {"the ", "window ", "slides ", "over ", "matches ", "\n", "    ", "0123456789"};
    Bytes out;
    while (out.size() < size) {
        if (rng() % 5 == 0) {
            out.push_back(static_cast<uint8_t>(rng()));
        } else {
            for (const char* w = words[rng() % 8]; *w; ++w) out.push_back(static_cast<uint8_t>(*w));
        }
    }
    out.resize(size);
    return out;
}

std::vector<size_t> all_block_sizes() {
    std::vector<size_t> sizes;
    for (size_t b = 1; b <= 70; ++b) sizes.push_back(b);
    for (size_t b : {4095, 4096, 4097, 1 << 20}) sizes.push_back(b);
    return sizes;
}

// Two operations in a row on one Codec, whole-buffer and streaming, must give
// the same bytes: the second also checks the window carried from the first.
void expect_same_in_pairs(const Bytes& first, const Bytes& second, const std::vector<size_t>& block_sizes) {
    Codec whole;
    Bytes packed[2], unpacked;
    ASSERT_EQ(whole.compress(first.data(), first.size(), packed[0]), 1);
    ASSERT_EQ(whole.compress(second.data(), second.size(), packed[1]), 1);
    const Bytes* inputs[2] = {&first, &second};
    for (const size_t block : block_sizes) {
        SCOPED_TRACE("block size " + std::to_string(block) + ", input " + std::to_string(first.size()));
        Codec encoder, decoder;
        for (int k = 0; k < 2; ++k) {
            Blocks source(*inputs[k], block);
            Collect sink;
            Failure why = Failure::corrupt;
            ASSERT_EQ(encoder.compress(source, inputs[k]->size(), sink, &why), 1);
            EXPECT_EQ(why, Failure::none);
            ASSERT_EQ(sink.bytes, packed[k]) << "stream " << k;
        }
        for (int k = 0; k < 2; ++k) {
            Blocks source(packed[k], block);
            Collect sink;
            Failure why = Failure::corrupt;
            ASSERT_EQ(decoder.decompress(source, sink, &why), 1);
            EXPECT_EQ(why, Failure::none);
            ASSERT_EQ(sink.bytes, *inputs[k]) << "output " << k;
        }
    }
}

TEST(CodecStreaming, EveryBlockSizeGivesTheWholeBufferStreamsAndWindows) {
    // Shorter than the window's carried part, about a window, and many windows.
    for (const size_t size : {1, 59, 61, 1000, 4154, 4155, 4156, 70000}) {
        expect_same_in_pairs(sample(size, static_cast<unsigned>(size)), sample(size / 2 + 1, 7), all_block_sizes());
    }
    // More than one output piece and a block edge at every offset of a piece.
    expect_same_in_pairs(sample((size_t{5} << 20) / 2, 3), sample(3000, 4), {1, 13, 4097, 1 << 20});
}

TEST(CodecStreaming, DamagedStreamsFailAlikeWhateverTheBlocks) {
    Codec whole;
    const Bytes input = sample(20000, 11);
    Bytes stream, out;
    ASSERT_EQ(whole.compress(input.data(), input.size(), stream), 1);
    std::vector<Bytes> damaged;
    for (const size_t cut : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{5}, stream.size() / 2, stream.size() - 1})
        damaged.emplace_back(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
    for (const size_t at : {size_t{4}, size_t{100}, stream.size() / 2, stream.size() - 2}) {
        Bytes flipped = stream;
        flipped[at] ^= 0x5A;
        damaged.push_back(flipped);
    }
    Bytes longer = stream;
    longer[3] = 1;  // claims 16 MiB more than the stream holds
    damaged.push_back(longer);
    Bytes zero = stream;
    zero[0] = zero[1] = zero[2] = zero[3] = 0;
    damaged.push_back(zero);
    for (size_t d = 0; d < damaged.size(); ++d) {
        Codec reference;
        Failure expected = Failure::none;
        const int expected_ok = reference.decompress(damaged[d].data(), damaged[d].size(), out, &expected);
        for (const size_t block : {1, 2, 3, 7, 64}) {
            SCOPED_TRACE("stream " + std::to_string(d) + ", block size " + std::to_string(block));
            Codec codec;
            Blocks source(damaged[d], block);
            Collect sink;
            Failure why = Failure::none;
            EXPECT_EQ(codec.decompress(source, sink, &why), expected_ok);
            EXPECT_EQ(why, expected);
            if (expected_ok) {
                EXPECT_EQ(sink.bytes, out);
            }
        }
    }
}

TEST(CodecStreaming, RefusingSinksAndFailingSourcesStopTheOperation) {
    // Random bytes: the stream as well as the output takes several pieces.
    Bytes big(5 << 19);
    std::mt19937 rng(5);
    for (uint8_t& byte : big) byte = static_cast<uint8_t>(rng());
    const Bytes small = sample(500, 6);
    Bytes big_stream, small_stream;
    Codec whole;
    ASSERT_EQ(whole.compress(big.data(), big.size(), big_stream), 1);
    ASSERT_EQ(whole.compress(small.data(), small.size(), small_stream), 1);
    Codec codec;
    Failure why = Failure::none;
    // The sink refuses the first piece or a later one.
    for (const size_t refuse : {0, 1}) {
        Blocks compress_source(big, 4096), decompress_source(big_stream, 4096);
        Collect compress_sink(refuse), decompress_sink(refuse);
        EXPECT_EQ(codec.compress(compress_source, big.size(), compress_sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_write);
        EXPECT_EQ(codec.decompress(decompress_source, decompress_sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_write);
    }
    {
        Blocks source(small, 64);
        Collect sink(0);
        EXPECT_EQ(codec.compress(source, small.size(), sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_write);
        Collect empty_sink(0);
        EXPECT_EQ(codec.compress(source, 0, empty_sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_write);
    }
    // The source fails at its first block, or in the middle; or it ends early.
    for (const size_t fail : {0, 3}) {
        Blocks compress_source(small, 64, fail), decompress_source(small_stream, 16, fail);
        Collect sink;
        EXPECT_EQ(codec.compress(compress_source, small.size(), sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_read);
        EXPECT_EQ(codec.decompress(decompress_source, sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_read);
    }
    {
        Blocks source(small, 64, SIZE_MAX, 300);
        Collect sink;
        EXPECT_EQ(codec.compress(source, small.size(), sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_read);
    }
    // Sizes the stream cannot hold: nothing, or the header alone.
    {
        Blocks source(small, 64);
        Collect sink;
        EXPECT_EQ(codec.compress(source, uint64_t{1} << 32, sink, &why), 0);
        EXPECT_EQ(why, Failure::too_large);
        EXPECT_TRUE(sink.bytes.empty());
        EXPECT_EQ(codec.compress(source, 0, sink, &why), 0);
        EXPECT_EQ(why, Failure::empty_input);
        EXPECT_EQ(sink.bytes, Bytes(4, 0));
    }
}

}  // namespace
}  // namespace qx::codec
