// The adaptive symbol model: starting state and the periodic rebuild.
#include "codec/model.hpp"

namespace qx::codec {

void init_model(Model& m) {
    for (unsigned s = 0; s < symbol_count; ++s) {
        m.node_weight[s] = 1;
        m.first_child[s] = static_cast<uint16_t>(node_count + s);
    }
    unsigned i = 0;
    for (unsigned n = symbol_count; n < node_count; ++n, i += 2) {
        m.first_child[n] = static_cast<uint16_t>(i);
        m.node_weight[n] = static_cast<uint16_t>(m.node_weight[i] + m.node_weight[i + 1]);
    }
    for (unsigned i = 0; i < sentinels; ++i) m.node_weight[node_count + i] = 0xFFFF;
    link_parents(m);
}

void rebuild_model(Model& m) {
    uint16_t* const weight = m.node_weight;
    uint16_t* const child = m.first_child;
    // The leaves in their order, with halved weights: halving keeps them in weight order.
    uint16_t leaf_weight[symbol_count], leaf_child[symbol_count];
    unsigned leaves = 0;
    for (unsigned i = 0; i < node_count; ++i) {
        if (child[i] >= node_count) {
            leaf_child[leaves] = child[i];
            leaf_weight[leaves] = static_cast<uint16_t>((weight[i] + 1) / 2);
            ++leaves;
        }
    }
    // Each new node joins the two lightest free nodes, 2j and 2j + 1, and goes
    // after every node of equal or smaller weight. The new nodes come out in
    // weight order, so the tree is the merge of the leaves with them, a leaf
    // first among equals, and a new node lands beyond its children: nodes
    // 0..2j+1 are settled before node j is made, and none moves afterwards.
    uint16_t joined_weight[symbol_count - 1];
    unsigned joined = 0, next_leaf = 0, next_joined = 0, out = 0;
    const auto settle = [&](unsigned until) {
        for (; out < until; ++out) {
            if (next_joined < joined && (next_leaf == leaves || joined_weight[next_joined] < leaf_weight[next_leaf])) {
                weight[out] = joined_weight[next_joined];
                child[out] = static_cast<uint16_t>(2 * next_joined);
                ++next_joined;
            } else {
                weight[out] = leaf_weight[next_leaf];
                child[out] = leaf_child[next_leaf];
                ++next_leaf;
            }
        }
    };
    for (; joined < symbol_count - 1; ++joined) {
        settle(2 * joined + 2);
        joined_weight[joined] = static_cast<uint16_t>(weight[2 * joined] + weight[2 * joined + 1]);
    }
    settle(node_count);
    link_parents(m);
}

void link_parents(Model& m) {
    for (unsigned n = 0; n < node_count; ++n) {
        const unsigned c = m.first_child[n];
        m.node_parent[c] = static_cast<uint16_t>(n);
        if (c < node_count) m.node_parent[c + 1] = static_cast<uint16_t>(n);
    }
    m.node_parent[root_node] = 0;
}

}  // namespace qx::codec
