// Round trips over many kinds and sizes of input, checked bit for bit against the
// step-by-step reference encoder, with the codec state carried from one to the next.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec/reference_encoder.hpp"
#include "codec/state.hpp"

namespace qx::codec {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t n, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<uint8_t>(rng() % alphabet);
    return b;
}

Bytes text_like(size_t n, unsigned seed) {
    static const char* words[] = {"the ", "codec ", "window ", "match ", "of ", "a ", "tree\n", "and ", "bits, ", "stream. "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        const char* w = words[rng() % 10];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
    }
    b.resize(n);
    return b;
}

// Inputs that reach the edges of the window, the lookahead and the model.
std::vector<Bytes> inputs() {
    std::vector<Bytes> all;
    for (size_t n : {1, 2, 3, 59, 60, 61, 119, 120, 121, 4095, 4096, 4097, 4154, 4155, 4156})
        all.push_back(text_like(n, static_cast<unsigned>(n)));
    for (size_t n : {1, 59, 60, 61, 4096, 4155}) all.push_back(random_bytes(n, static_cast<unsigned>(n)));
    Bytes every_value;
    for (int r = 0; r < 3; ++r)
        for (int v = 0; v < 256; ++v) every_value.push_back(static_cast<uint8_t>(v));
    all.push_back(every_value);
    all.push_back(Bytes(100000, 'x'));                       // one long run
    all.push_back(Bytes(61, ' '));                           // starts with the window's own spaces
    Bytes spaced(5000, ' ');
    std::copy_n(text_like(3000, 9).begin(), 3000, spaced.begin() + 1000);
    all.push_back(spaced);
    all.push_back(random_bytes(300000, 3, 4));               // small alphabet: long matches, many rebuilds
    all.push_back(random_bytes(1 << 20, 4));                 // incompressible
    all.push_back(text_like(3 << 20, 5));
    Bytes runs;
    std::mt19937 rng(6);
    while (runs.size() < 200000) runs.insert(runs.end(), rng() % 90 + 1, static_cast<uint8_t>(rng() % 3));
    all.push_back(runs);
    // Copies of one block a little less than the window apart, each with a
    // few bytes changed: long matches that begin at the window's far end, so
    // that the bytes matched leave the window while the match is taken in,
    // and many strings sharing long prefixes, sorted apart by the changes.
    Bytes block = random_bytes(4050, 8, 16), copies;
    for (int copy = 0; copy < 30; ++copy) {
        copies.insert(copies.end(), block.begin(), block.end());
        for (int edit = 0; edit < 12; ++edit) block[rng() % block.size()] = static_cast<uint8_t>(rng() % 16);
    }
    all.push_back(copies);
    return all;
}

TEST(CodecRoundTrip, MatchesTheReferenceBitForBitAndDecodesBack) {
    Codec codec;
    auto reference = std::make_unique<testing::ReferenceEncoder>();
    const std::vector<Bytes> all = inputs();
    for (size_t k = 0; k < all.size(); ++k) {
        const Bytes& in = all[k];
        Bytes packed, back;
        ASSERT_EQ(codec.compress(in.data(), in.size(), packed), 1) << k;
        ASSERT_EQ(packed, reference->compress(in)) << "input " << k << " of " << in.size() << " bytes";
        ASSERT_EQ(codec.decompress(packed.data(), packed.size(), back), 1) << k;
        ASSERT_EQ(back, in) << k;
        reference->after_decompress(back);
    }
}

TEST(CodecRoundTrip, ShortInputsDependOnlyOnWhatEarlierOperationsLeft) {
    // The lookahead past a short input is left over from earlier operations; the
    // streams may differ from a fresh state's, but both sides agree and decode back.
    Codec codec;
    auto reference = std::make_unique<testing::ReferenceEncoder>();
    std::mt19937 rng(8);
    for (int round = 0; round < 300; ++round) {
        const Bytes in = random_bytes(rng() % 70 + 1, rng(), rng() % 2 ? 3 : 256);
        Bytes packed, back;
        ASSERT_EQ(codec.compress(in.data(), in.size(), packed), 1);
        ASSERT_EQ(packed, reference->compress(in)) << round;
        if (round % 3 == 0) {
            ASSERT_EQ(codec.decompress(packed.data(), packed.size(), back), 1);
            ASSERT_EQ(back, in);
            reference->after_decompress(back);
        }
    }
}

// What lets a run work on several files at once: from 4,155 bytes on, neither a
// stream nor the window it leaves depends on what earlier operations left, and
// a decoding that does depend on it says so.
TEST(CodecRoundTrip, LongOperationsDoNotDependOnTheCarriedWindow) {
    std::mt19937 rng(12);
    for (size_t n : {4155, 4156, 5000, 70000}) {
        for (const Bytes& in : {text_like(n, static_cast<unsigned>(n)), random_bytes(n, 3, 5)}) {
            Codec a, b;
            const Bytes junk_a = random_bytes(Codec::carried_size, rng(), 4), junk_b = random_bytes(Codec::carried_size, rng(), 4);
            a.set_carried_bytes(junk_a.data(), junk_a.size());
            b.set_carried_bytes(junk_b.data(), junk_b.size());
            Bytes pa, pb, back_a, back_b;
            ASSERT_EQ(a.compress(in.data(), in.size(), pa), 1);
            ASSERT_EQ(b.compress(in.data(), in.size(), pb), 1);
            ASSERT_EQ(pa, pb) << n;
            uint8_t ca[Codec::carried_size], cb[Codec::carried_size];
            a.carried_bytes(ca);
            b.carried_bytes(cb);
            ASSERT_TRUE(std::equal(ca, ca + Codec::carried_size, cb)) << n;
            a.set_carried_bytes(junk_a.data(), junk_a.size());
            ASSERT_EQ(a.decompress(pa.data(), pa.size(), back_a), 1);
            ASSERT_EQ(b.decompress(pa.data(), pa.size(), back_b), 1);
            ASSERT_TRUE(back_a == in && back_b == in);
            EXPECT_FALSE(a.last_read_carried() || b.last_read_carried());
            a.carried_bytes(ca);
            b.carried_bytes(cb);
            ASSERT_TRUE(std::equal(ca, ca + Codec::carried_by_decoding, cb)) << n;
        }
    }
    // Arbitrary streams: whenever two windows give different bytes, the decoding said so.
    int said = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes stream = random_bytes(64, rng());
        stream[0] = 200, stream[1] = stream[2] = stream[3] = 0;
        Codec a, b;
        const Bytes junk = random_bytes(Codec::carried_size, rng());
        a.set_carried_bytes(junk.data(), junk.size());
        Bytes out_a, out_b;
        const int ok_a = a.decompress(stream.data(), stream.size(), out_a);
        const int ok_b = b.decompress(stream.data(), stream.size(), out_b);
        ASSERT_EQ(a.last_read_carried(), b.last_read_carried());
        if (a.last_read_carried()) ++said;
        else ASSERT_TRUE(ok_a == ok_b && out_a == out_b) << round;
    }
    EXPECT_GT(said, 0);
}

// Collects what a chunked decode hands out.
struct Collect : ByteSink {
    Bytes all;
    size_t calls = 0;
    bool put(const uint8_t* data, size_t size) override {
        all.insert(all.end(), data, data + size);
        ++calls;
        return true;
    }
};

TEST(CodecRoundTrip, ChunkedDecodingGivesTheSameBytesAndWindow) {
    const Bytes in = text_like((5 << 20) + 1234, 21);
    auto whole = std::make_unique<CodecState>(), chunked = std::make_unique<CodecState>();
    Bytes packed, back;
    encode_stream(*whole, in.data(), in.size(), packed);
    ASSERT_EQ(decode_stream(*whole, packed.data(), packed.size(), back), Failure::none);
    Collect sink;
    ASSERT_EQ(decode_stream(*chunked, packed.data(), packed.size(), sink), Failure::none);
    EXPECT_GT(sink.calls, 4u);
    EXPECT_TRUE(sink.all == in);
    EXPECT_TRUE(std::equal(whole->window, whole->window + window_size, chunked->window));
}

// Progress reports change nothing in the stream or the window, and tell a rising
// count, about every interval, of the whole length.
TEST(CodecRoundTrip, ProgressReportsLeaveStreamAndWindowAsTheyAre) {
    struct Seen {
        std::vector<uint64_t> done;
        uint64_t total = 0;
        static void note(void* context, uint64_t done, uint64_t total) {
            auto* seen = static_cast<Seen*>(context);
            seen->done.push_back(done);
            seen->total = total;
        }
    };
    for (const Bytes& in : {text_like((3 << 20) + 77, 31), random_bytes(1 << 20, 32)}) {
        Codec plain, watched;
        Seen packing, unpacking;
        Bytes expected, packed, back;
        ASSERT_EQ(plain.compress(in.data(), in.size(), expected), 1);
        watched.set_progress({&Seen::note, &packing});
        ASSERT_EQ(watched.compress(in.data(), in.size(), packed), 1);
        EXPECT_TRUE(packed == expected);
        watched.set_progress({&Seen::note, &unpacking});
        ASSERT_EQ(watched.decompress(packed.data(), packed.size(), back), 1);
        EXPECT_TRUE(back == in);
        for (const Seen* seen : {&packing, &unpacking}) {
            EXPECT_EQ(seen->total, in.size());
            EXPECT_GE(seen->done.size(), in.size() / progress_interval - 1);
            EXPECT_LE(seen->done.size(), in.size() / progress_interval);
            EXPECT_TRUE(std::is_sorted(seen->done.begin(), seen->done.end()));
            EXPECT_LE(seen->done.back(), in.size());
        }
        // The window the next operation sees is the same as without reports.
        Bytes next_plain, next_watched;
        const Bytes tiny = text_like(100, 33);
        plain.decompress(expected.data(), expected.size(), back);
        plain.compress(tiny.data(), tiny.size(), next_plain);
        watched.compress(tiny.data(), tiny.size(), next_watched);
        EXPECT_TRUE(next_plain == next_watched);
    }
}

TEST(CodecRoundTrip, CodesDeeperThanSixteenBits) {
    // Heavy symbols each outweighing everything two steps lighter make the tree a
    // chain nine levels deep above the 300-odd rarely used symbols.
    Bytes in;
    unsigned previous = 305, weight = 305;
    for (uint8_t symbol = 'A'; previous + weight < 32000; ++symbol) {
        in.insert(in.end(), weight - 1, symbol);
        const unsigned sum = previous + weight;
        weight = previous + 1;
        previous = sum;
    }
    std::shuffle(in.begin(), in.end(), std::mt19937(5));
    in.insert(in.end(), {0, 1, 200, 1, 0, 77});
    auto state = std::make_unique<CodecState>();
    Bytes packed, back;
    encode_literals(*state, in.data(), in.size(), packed);
    EXPECT_GT(state->longest_code, 16u);
    ASSERT_EQ(decode_stream(*state, packed.data(), packed.size(), back), Failure::none);
    EXPECT_EQ(back, in);
}

TEST(CodecRoundTrip, TakingUpAndLeavingThePathTableKeepsTheBytes) {
    // Text keeps the model's exchanges rare and random bytes make them common,
    // so the decoder leaves its table of paths in the random parts and takes it
    // up again after them. The walk alone must decode the same bytes.
    Bytes in;
    for (unsigned k = 0; k < 2; ++k) {
        const Bytes text = text_like(400000, k), noise = random_bytes(400000, k + 10);
        in.insert(in.end(), text.begin(), text.end());
        in.insert(in.end(), noise.begin(), noise.end());
    }
    const Bytes tail = text_like(400000, 7);
    in.insert(in.end(), tail.begin(), tail.end());
    auto state = std::make_unique<CodecState>(), walker = std::make_unique<CodecState>();
    walker->walk_only = true;
    Bytes packed, back, walked;
    encode_stream(*state, in.data(), in.size(), packed);
    ASSERT_EQ(decode_stream(*state, packed.data(), packed.size(), back), Failure::none);
    EXPECT_TRUE(back == in);
    EXPECT_GE(state->table_changes, 4u);
    ASSERT_EQ(decode_stream(*walker, packed.data(), packed.size(), walked), Failure::none);
    EXPECT_TRUE(walked == in);
    EXPECT_EQ(walker->table_changes, 0u);
}

}  // namespace
}  // namespace qx::codec
