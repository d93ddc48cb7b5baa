// The chains a block at a time against the whole-buffer transforms, cut at every kind of edge.
#include "container/chain.hpp"
#include "container/cipher.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qx::container;
using Bytes = std::vector<uint8_t>;

namespace {

// Lengths around the shuffle's reach, the pair swap's parity and the block sizes below.
const size_t lengths[] = {0, 1, 2, 3, 4, 5, 254, 255, 256, 257, 258, 511, 512, 513, 1021, 1300, 1301, 3001, 7000};
const size_t pieces[] = {1, 2, 3, 255, 256, 257, 1000, 100000};
const size_t blocks[] = {0, 511, 777};  // 0: the smallest block the chains take
// Key bytes from 0 (a step that stays put) to 255 (the farthest partner), and ordinary ones.
const std::string passwords[] = {std::string("\xFF\x00\x01\xFE", 4), "abc", "x", "Twelve bytes",
                                 std::string(70, '\xF0') + "seventy-one"};

Bytes random_bytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(size);
    for (auto& c : b) c = static_cast<uint8_t>(gen());
    return b;
}

// Feeds `in` to a chain in pieces of `piece` bytes and puts what it emits at its offsets.
template <typename Chain>
Bytes run_chain(Chain& chain, const Bytes& in, size_t piece) {
    Bytes out(in.size(), 0xAA);
    std::vector<bool> seen(in.size(), false);
    uint64_t previous = in.size();
    const Emit emit = [&](uint64_t offset, const uint8_t* data, size_t count) {
        EXPECT_LE(offset + count, previous) << "pieces come from the end towards the start";
        previous = offset;
        for (size_t i = 0; i < count; ++i) {
            EXPECT_FALSE(seen[offset + i]);
            seen[offset + i] = true;
            out[offset + i] = data[i];
        }
        return true;
    };
    for (size_t at = 0; at < in.size(); at += piece)
        EXPECT_TRUE(chain.push(in.data() + at, std::min(piece, in.size() - at), emit));
    EXPECT_TRUE(chain.finish(emit));
    for (size_t i = 0; i < in.size(); ++i) EXPECT_TRUE(seen[i]) << i;
    return out;
}

}  // namespace

TEST(Chains, EveryCutGivesTheWholeBufferBytes) {
    unsigned seed = 1;
    for (const std::string& pw : passwords)
        for (size_t size : lengths) {
            const Bytes plain = random_bytes(size, seed++);
            Bytes whole = plain;
            const int key = encipher_data(whole.data(), whole.size(), pw);
            for (size_t piece : pieces)
                for (size_t block : blocks) {
                    SCOPED_TRACE(testing::Message() << "password " << pw.size() << " size " << size << " piece "
                                                    << piece << " block " << block);
                    ForwardChain forward(size, pw, block);
                    ASSERT_EQ(run_chain(forward, plain, piece), whole);
                    EXPECT_EQ(forward.key_index(), key);
                    InverseChain inverse(size, pw, key, block);
                    ASSERT_TRUE(inverse.consistent());
                    ASSERT_EQ(run_chain(inverse, whole, piece), plain);
                }
        }
}

TEST(Chains, TheInverseChainRulesOutWhatDecipherDataRejects) {
    const std::string pw = "abcde";
    for (size_t size : {0, 1, 2, 3, 7, 300}) {
        const Bytes region = random_bytes(size, 9);
        for (int key = -1; key <= 6; ++key) {
            Bytes copy = region;
            EXPECT_EQ(InverseChain(size, pw, key).consistent(), decipher_data(copy.data(), copy.size(), pw, key))
                << size << " " << key;
        }
    }
    // An inconsistent chain takes its input and emits nothing.
    InverseChain ruled_out(10, pw, 0);
    ASSERT_FALSE(ruled_out.consistent());
    const Bytes ten(10, 1);
    const Emit never = [](uint64_t, const uint8_t*, size_t) { return ADD_FAILURE(), false; };
    EXPECT_TRUE(ruled_out.push(ten.data(), ten.size(), never));
    EXPECT_TRUE(ruled_out.finish(never));
}

TEST(Chains, TooMuchOrTooLittleInputAndARefusalStopTheChain) {
    const Bytes data(600, 3);
    const Emit take = [](uint64_t, const uint8_t*, size_t) { return true; };
    ForwardChain forward(599, "pw");
    EXPECT_FALSE(forward.push(data.data(), data.size(), take));
    ForwardChain short_of(600, "pw");
    EXPECT_TRUE(short_of.push(data.data(), 599, take));
    EXPECT_FALSE(short_of.finish(take));
    ForwardChain refused(600, "pw");
    EXPECT_TRUE(refused.push(data.data(), data.size(), take));
    EXPECT_FALSE(refused.finish([](uint64_t, const uint8_t*, size_t) { return false; }));
}

// The chain in result order, with the smallest segments it takes so that a few
// kilobytes make many: sizes around the first segments that move alike and
// around their ends, with keys whose carried bytes die out and keys (one byte)
// whose carried bytes travel from the start to the end.
TEST(Chains, InResultOrderGivesTheWholeBufferBytes) {
    unsigned seed = 100;
    for (const std::string& pw : passwords) {
        std::vector<size_t> sizes = {0, 1, 2, 3, 255, 256, 511, 1000, 9001, 40000};
        for (size_t size = 1200; size < 3800; size += 37) sizes.push_back(size);
        for (size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "password " << pw.size() << " size " << size);
            const Bytes plain = random_bytes(size, seed++);
            Bytes whole = plain;
            const int key = encipher_data(whole.data(), whole.size(), pw);
            OrderedForwardChain chain(size, pw, 0);
            Bytes out;
            const ReadPlain read = [&](uint64_t offset, uint8_t* data, size_t count) {
                if (offset > size || count > size - offset) return ADD_FAILURE() << "read past the end", false;
                std::copy_n(plain.begin() + static_cast<std::ptrdiff_t>(offset), count, data);
                return true;
            };
            const Emit emit = [&](uint64_t offset, const uint8_t* data, size_t count) {
                EXPECT_EQ(offset, out.size()) << "pieces come in order";
                out.insert(out.end(), data, data + count);
                return true;
            };
            while (!chain.done()) ASSERT_TRUE(chain.next(read, emit));
            ASSERT_EQ(out, whole);
            EXPECT_EQ(chain.key_index(), key);
        }
    }
    // A failed read or a refusal stops it.
    const Bytes data(5000, 7);
    OrderedForwardChain failing(data.size(), "pw", 0);
    EXPECT_FALSE(failing.next([](uint64_t, uint8_t*, size_t) { return false; },
                              [](uint64_t, const uint8_t*, size_t) { return true; }));
    EXPECT_TRUE(failing.done());
    OrderedForwardChain refused(data.size(), "pw", 0);
    EXPECT_FALSE(refused.next(
        [&](uint64_t offset, uint8_t* to, size_t count) { return std::copy_n(data.begin() + offset, count, to), true; },
        [](uint64_t, const uint8_t*, size_t) { return false; }));
    EXPECT_TRUE(refused.done());
}
