// The match search on threads of its own against the calling thread alone: the
// same streams, carried windows and progress reports, and the same failures.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/codec.hpp"
#include "codec/test_io.hpp"

namespace qx::codec {
namespace {

// Short matches among literals (as enciphered data gives), then stretches of
// words with long matches and strings equal over the whole lookahead.
Bytes mixed(size_t size, unsigned seed) {
    static const char* const words[] = {"search ", "thread ", "tree ", "of the ", "window\n", "xxxxxxxxxxxxxxxx"};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        if (out.size() / 100000 % 2 == 0) {
            out.push_back(static_cast<uint8_t>(rng() % 48));
        } else {
            for (const char* w = words[rng() % 6]; *w; ++w) out.push_back(static_cast<uint8_t>(*w));
        }
    }
    out.resize(size);
    return out;
}

struct Reports {
    std::vector<uint64_t> done;
    static void note(void* context, uint64_t done, uint64_t) { static_cast<Reports*>(context)->done.push_back(done); }
};

struct Outcome {
    Bytes stream, streamed;
    std::vector<uint64_t> reports;
    uint8_t carried[Codec::carried_size];
};

// One compression of `in`, whole and then streamed, on a codec whose window
// starts from `junk`.
Outcome compress_with(unsigned threads, const Bytes& in, const Bytes& junk) {
    Outcome out;
    Codec codec;
    codec.set_search_threads(threads);
    codec.set_carried_bytes(junk.data(), junk.size());
    Reports reports;
    codec.set_progress({&Reports::note, &reports});
    EXPECT_EQ(codec.compress(in.data(), in.size(), out.stream), 1);
    codec.carried_bytes(out.carried);
    out.reports = reports.done;
    Blocks source(in, 4093);
    Collect sink;
    codec.set_carried_bytes(junk.data(), junk.size());
    EXPECT_EQ(codec.compress(source, in.size(), sink), 1);
    out.streamed = sink.bytes;
    return out;
}

TEST(CodecSearchThreads, GiveTheStreamWindowAndReportsOfOneThread) {
    const size_t batch = 65536;
    // Sizes whose last batch of positions is short of the lookahead, and full;
    // the last input begins with spaces, which match the strings of spaces
    // before the input.
    for (const size_t size : {size_t{1} + 16 * batch + 30, size_t{1} + 17 * batch, size_t{16} * batch}) {
        Bytes in = mixed(size, static_cast<unsigned>(size));
        if (size % batch == 0) std::fill(in.begin(), in.begin() + 100, ' ');
        const Bytes junk = mixed(Codec::carried_size, 3);
        const Outcome alone = compress_with(0, in, junk);
        ASSERT_EQ(alone.streamed, alone.stream);
        for (const unsigned threads : {1u, 2u, 3u, 4u}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", size " + std::to_string(size));
            const Outcome shared = compress_with(threads, in, junk);
            EXPECT_TRUE(shared.stream == alone.stream);
            EXPECT_TRUE(shared.streamed == alone.stream);
            EXPECT_EQ(shared.reports, alone.reports);
            EXPECT_TRUE(std::equal(shared.carried, shared.carried + Codec::carried_size, alone.carried));
        }
    }
}

TEST(CodecSearchThreads, FailuresStopTheThreadsAndLeaveTheCodecUsable) {
    // Random bytes: the stream takes several pieces.
    Bytes in(3 << 19);
    std::mt19937 rng(9);
    for (uint8_t& byte : in) byte = static_cast<uint8_t>(rng());
    const Bytes small = mixed(5000, 10);
    Codec codec;
    codec.set_search_threads(2);
    Failure why = Failure::none;
    // The source fails while the first batch is read, or far into the input.
    for (const size_t fail : {3, 300}) {
        Blocks source(in, 4096, fail);
        Collect sink;
        EXPECT_EQ(codec.compress(source, in.size(), sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_read);
    }
    for (const size_t refuse : {0, 1}) {
        Blocks source(in, 4096);
        Collect sink(refuse);
        EXPECT_EQ(codec.compress(source, in.size(), sink, &why), 0);
        EXPECT_EQ(why, Failure::cant_write);
    }
    // A short input after a long one is coded by the calling thread as usual.
    Codec fresh;
    Bytes packed, expected;
    const Bytes junk(Codec::carried_size, ' ');
    codec.set_carried_bytes(junk.data(), junk.size());
    fresh.set_carried_bytes(junk.data(), junk.size());
    ASSERT_EQ(fresh.compress(small.data(), small.size(), expected), 1);
    ASSERT_EQ(codec.compress(small.data(), small.size(), packed), 1);
    EXPECT_TRUE(packed == expected);
}

}  // namespace
}  // namespace qx::codec
