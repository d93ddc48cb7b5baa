// The adaptive model: known codes, the update order, the rebuild, and its invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "codec/model.hpp"

namespace qx::codec {
namespace {

std::string code_of(const Model& m, unsigned s) {
    std::string bits;
    for (unsigned n = m.node_parent[node_count + s]; n != root_node; n = m.node_parent[n]) bits.insert(bits.begin(), n & 1 ? '1' : '0');
    return bits;
}

// Checks the structure the coder relies on: sums, order, links, bounds.
void expect_consistent(const Model& m) {
    for (unsigned n = 0; n + 1 < node_count; ++n) ASSERT_LE(m.node_weight[n], m.node_weight[n + 1]) << n;
    for (unsigned i = 0; i < sentinels; ++i) ASSERT_EQ(m.node_weight[node_count + i], 0xFFFF);
    ASSERT_LE(m.node_weight[root_node], weight_limit);
    unsigned leaves = 0, leaf_sum = 0;
    for (unsigned n = 0; n < node_count; ++n) {
        const unsigned c = m.first_child[n];
        if (c >= node_count) {
            ++leaves;
            leaf_sum += m.node_weight[n];
            ASSERT_GE(m.node_weight[n], 1u);
            ASSERT_EQ(m.node_parent[c], n);
        } else {
            ASSERT_EQ(c % 2, 0u);
            ASSERT_LT(c + 1, n);
            ASSERT_EQ(m.node_weight[n], m.node_weight[c] + m.node_weight[c + 1]) << n;
            ASSERT_EQ(m.node_parent[c], n);
            ASSERT_EQ(m.node_parent[c + 1], n);
        }
    }
    ASSERT_EQ(leaves, symbol_count);
    ASSERT_EQ(leaf_sum, m.node_weight[root_node]);
}

TEST(CodecModel, FreshModelGivesTheKnownCodes) {
    Model m;
    init_model(m);
    EXPECT_EQ(code_of(m, 0), "110001100");
    EXPECT_EQ(code_of(m, 97), "111101101");
    EXPECT_EQ(code_of(m, 255), "10001011");
    EXPECT_EQ(code_of(m, 256), "10001100");
    EXPECT_EQ(code_of(m, 313), "11000101");
    EXPECT_EQ(m.node_weight[root_node], 314);
    expect_consistent(m);
}

TEST(CodecModel, EachUpdateReordersBeforeTheNextCode) {
    Model m;
    init_model(m);
    const char* expected[] = {"111101101", "111101110", "111101111"};
    for (unsigned k = 0; k < 3; ++k) {
        EXPECT_EQ(code_of(m, 'a' + k), expected[k]);
        update_model(m, 'a' + k);
        expect_consistent(m);
    }
    EXPECT_EQ(m.node_weight[root_node], 317);
}

TEST(CodecModel, RebuildsAtTheLimitAndHalvesRoundingUp) {
    Model m;
    init_model(m);
    update_model(m, 'c');
    update_model(m, 'c');  // 'c' weight 3
    update_model(m, 'd');  // 'd' weight 2
    for (unsigned k = 3; k < 32454; ++k) update_model(m, 'a');
    EXPECT_EQ(m.node_weight[root_node], weight_limit);  // 314 + 32454: the limit is reached, not passed
    expect_consistent(m);
    const auto weight_of = [&m](unsigned s) { return m.node_weight[m.node_parent[node_count + s]]; };
    const unsigned a = weight_of('a');
    update_model(m, 'b');  // the 32,455th update rebuilds first
    EXPECT_EQ(weight_of('a'), (a + 1) / 2);
    EXPECT_EQ(weight_of('c'), 2);
    EXPECT_EQ(weight_of('d'), 1);
    EXPECT_EQ(weight_of('e'), 1);
    EXPECT_EQ(weight_of('b'), 2);  // halved to 1, then counted
    EXPECT_EQ(m.node_weight[root_node], (a + 1) / 2 + 2 + 1 + 2 + 310);
    expect_consistent(m);
}

TEST(CodecModel, StaysConsistentThroughSkewedUpdatesAndManyRebuilds) {
    Model m;
    init_model(m);
    std::mt19937 rng(11);
    std::geometric_distribution<unsigned> skew(0.05);
    for (unsigned k = 0; k < 200000; ++k) {
        update_model(m, skew(rng) % symbol_count);
        if (k % 9973 == 0) expect_consistent(m);
    }
    expect_consistent(m);
}

// The two ways of making an exchange must build the same trees, on skewed and
// on nearly flat symbol counts, whose runs of equal weights are long.
TEST(CodecModel, BothExchangeStylesUpdateAlike) {
    for (const double p : {0.3, 0.02, 0.001}) {
        Model seldom, often;
        init_model(seldom);
        init_model(often);
        std::mt19937 rng(static_cast<unsigned>(p * 1000) + 1);
        std::geometric_distribution<unsigned> skew(p);
        unsigned long long exchanges = 0, long_runs = 0;
        for (unsigned k = 0; k < 100000; ++k) {
            const unsigned s = skew(rng) % symbol_count;
            update_model(seldom, s);
            if (often.node_weight[root_node] == weight_limit) rebuild_model(often);
            update_model_from<Exchanges::often>(often, often.node_parent[node_count + s], [&](unsigned n, unsigned at) {
                ++exchanges;
                long_runs += at - n > sentinels;
            });
            if (k % 101 == 0 || k > 99000) {
                ASSERT_EQ(0, std::memcmp(often.node_weight, seldom.node_weight, sizeof often.node_weight)) << p << " " << k;
                ASSERT_EQ(0, std::memcmp(often.first_child, seldom.first_child, sizeof often.first_child)) << p << " " << k;
                ASSERT_EQ(0, std::memcmp(often.node_parent, seldom.node_parent, sizeof often.node_parent)) << p << " " << k;
            }
        }
        EXPECT_GT(exchanges, 500u) << p;
        EXPECT_GT(long_runs, 100u) << p;
    }
}

// The rebuild written the plain way: each new node is inserted into the weight
// order after every node of equal or smaller weight, shifting the rest up.
void rebuild_by_insertion(Model& m) {
    uint16_t* const weight = m.node_weight;
    uint16_t* const child = m.first_child;
    unsigned j = 0;
    for (unsigned i = 0; i < node_count; ++i) {
        if (child[i] >= node_count) {
            child[j] = child[i];
            weight[j] = static_cast<uint16_t>((weight[i] + 1) / 2);
            ++j;
        }
    }
    for (unsigned n = symbol_count, i = 0; n < node_count; ++n, i += 2) {
        const unsigned f = weight[i] + weight[i + 1];
        const auto k = static_cast<unsigned>(std::upper_bound(weight, weight + n, f) - weight);
        std::memmove(&weight[k + 1], &weight[k], (n - k) * sizeof weight[0]);
        std::memmove(&child[k + 1], &child[k], (n - k) * sizeof child[0]);
        weight[k] = static_cast<uint16_t>(f);
        child[k] = static_cast<uint16_t>(i);
    }
    link_parents(m);
}

// Ties between leaves and joined nodes decide the codes, so the rebuild must
// build exactly the tree of the plain construction, whatever the weights.
TEST(CodecModel, RebuildMatchesThePlainConstruction) {
    for (const double p : {0.5, 0.05, 0.005}) {
        Model m;
        init_model(m);
        std::mt19937 rng(static_cast<unsigned>(p * 1000));
        std::geometric_distribution<unsigned> skew(p);
        for (unsigned k = 0; k < 100000; ++k) {
            if (k % 997 == 0 || m.node_weight[root_node] == weight_limit) {
                Model plain = m;
                rebuild_by_insertion(plain);
                Model fast = m;
                rebuild_model(fast);
                ASSERT_EQ(0, std::memcmp(fast.node_weight, plain.node_weight, sizeof fast.node_weight)) << p << " " << k;
                ASSERT_EQ(0, std::memcmp(fast.first_child, plain.first_child, sizeof fast.first_child)) << p << " " << k;
                ASSERT_EQ(0, std::memcmp(fast.node_parent, plain.node_parent, sizeof fast.node_parent)) << p << " " << k;
            }
            update_model(m, skew(rng) % symbol_count);
        }
    }
}

}  // namespace
}  // namespace qx::codec
