// The adaptive symbol model: starting state and the periodic rebuild.
#include "codec/model.hpp"

#include <algorithm>
#include <cstring>

namespace qx::codec {

void init_model(Model& m) {
    for (unsigned s = 0; s < symbol_count; ++s) {
        m.node_weight[s] = 1;
        m.first_child[s] = static_cast<uint16_t>(node_count + s);
        m.node_parent[node_count + s] = static_cast<uint16_t>(s);
    }
    unsigned i = 0;
    for (unsigned n = symbol_count; n < node_count; ++n, i += 2) {
        m.first_child[n] = static_cast<uint16_t>(i);
        m.node_weight[n] = static_cast<uint16_t>(m.node_weight[i] + m.node_weight[i + 1]);
        m.node_parent[i] = m.node_parent[i + 1] = static_cast<uint16_t>(n);
    }
    m.node_weight[node_count] = 0xFFFF;
    m.node_parent[root_node] = 0;
}

void rebuild_model(Model& m) {
    uint16_t* const weight = m.node_weight;
    uint16_t* const child = m.first_child;
    // Gather the leaves at the bottom, in their order, with halved weights.
    unsigned j = 0;
    for (unsigned i = 0; i < node_count; ++i) {
        if (child[i] >= node_count) {
            child[j] = child[i];
            weight[j] = static_cast<uint16_t>((weight[i] + 1) / 2);
            ++j;
        }
    }
    // Join the two lightest free nodes each time; the new node goes after every
    // node of equal or smaller weight.
    unsigned i = 0;
    for (unsigned n = symbol_count; n < node_count; ++n, i += 2) {
        const unsigned f = weight[i] + weight[i + 1];
        // Nodes 0..n-1 are in weight order: the first one heavier than f.
        const auto k = static_cast<unsigned>(std::upper_bound(weight, weight + n, f) - weight);
        std::memmove(&weight[k + 1], &weight[k], (n - k) * sizeof weight[0]);
        std::memmove(&child[k + 1], &child[k], (n - k) * sizeof child[0]);
        weight[k] = static_cast<uint16_t>(f);
        child[k] = static_cast<uint16_t>(i);
    }
    for (unsigned n = 0; n < node_count; ++n) {
        const unsigned c = child[n];
        m.node_parent[c] = static_cast<uint16_t>(n);
        if (c < node_count) m.node_parent[c + 1] = static_cast<uint16_t>(n);
    }
    m.node_parent[root_node] = 0;
}

}  // namespace qx::codec
