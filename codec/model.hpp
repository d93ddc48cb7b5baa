// The adaptive symbol model: a sibling-ordered Huffman tree over 314 symbols.
#pragma once

#include <cstdint>

namespace qx::codec {

constexpr unsigned symbol_count = 314;  // 0..255 literal bytes, 256..313 match lengths 3..60
constexpr unsigned node_count = 627;    // 2 * symbol_count - 1
constexpr unsigned root_node = 626;     // the root is always the last node
constexpr unsigned weight_limit = 0x8000;
constexpr unsigned sentinels = 8;  // weights from node_count on that hold 0xFFFF
constexpr unsigned spare_slots = 16;

// The tree's tables. Nodes are kept in order of non-decreasing weight; the
// second child of an internal node is always first_child + 1. A first_child
// value of node_count or more marks a leaf holding symbol (value - node_count).
// node_parent is indexed by first_child values: entries below node_count give
// a node's parent, entries from node_count on give the node holding each symbol.
struct Model {
    // Entries node_count.. hold 0xFFFF sentinels, so that the weights after any
    // node can be read eight at a time. The spare slots after them are for the
    // decoder, whose table of paths has one slot of its own per depth.
    uint16_t node_weight[node_count + sentinels + spare_slots];
    uint16_t first_child[node_count];
    uint16_t node_parent[node_count + symbol_count];
};

// Sets the starting tree: every symbol weight 1, leaves paired in symbol order.
void init_model(Model& m);

// Halves every leaf weight (rounding up) and rebuilds the internal nodes in
// weight order. Runs when the root weight has reached weight_limit.
void rebuild_model(Model& m);

// Sets every node's parent from the children that first_child gives.
void link_parents(Model& m);

// How an update finds and makes an exchange. Where the model exchanges seldom
// (as on text), plain branches serve best: they are mostly predicted. Where it
// exchanges often (as on executables), the end of the run of equal weights and
// whether a leaf moves are close to random, and a mispredicted branch costs
// more than doing without: `often` counts the run and stores unconditionally.
enum class Exchanges { seldom, often };

// The exchanges the model made since its last rebuild, from which a coder
// chooses at each rebuild how to work until the next.
struct ExchangeSpan {
    unsigned exchanges = 0;
    unsigned start = symbol_count;  // the root's weight when the span began (each leaf starts at 1)

    // Called once the model was rebuilt and updated: whether the span that
    // ended exchanged at least once in `every` symbols. Begins the next span.
    bool close(const Model& m, unsigned every) {
        const bool often = exchanges * every >= weight_limit - start;
        exchanges = 0;
        start = m.node_weight[root_node];
        return often;
    }
};

// Continues an update at node n, whose weight is next to be incremented: see
// update_model. `moved(n, k)` is called after each exchange of what hangs at
// positions n and k, for callers that keep tables derived from the tree.
template <Exchanges Style = Exchanges::seldom, class Moved>
inline void update_model_from(Model& m, unsigned n, Moved&& moved) {
    uint16_t* const weight = m.node_weight;
    uint16_t* const child = m.first_child;
    uint16_t* const parent = m.node_parent;
    // The node_parent entry of the second of the children that first_child
    // value c gives; for a leaf, which has none, its own entry again.
    const auto second = [](unsigned c) { return c + static_cast<unsigned>(c < node_count); };
    do {
        const unsigned w = ++weight[n];
        if (weight[n + 1] < w) {
            // All nodes n+1..k hold weight w-1; swap what hangs at n and at k.
            unsigned k = n + 1;
            if constexpr (Style == Exchanges::often) {
                // The weights are in order: k is n+1 plus the number of the
                // seven after it that are below w. A longer run goes on by a loop.
                unsigned more = 0;
                for (unsigned j = 2; j <= sentinels; ++j) more += weight[n + j] < w;
                k += more;
                if (more == sentinels - 1) [[unlikely]]
                    while (weight[k + 1] < w) ++k;
            } else {
                while (weight[k + 1] < w) ++k;
            }
            weight[n] = weight[k];
            weight[k] = static_cast<uint16_t>(w);
            const unsigned a = child[n];
            const unsigned b = child[k];
            parent[a] = static_cast<uint16_t>(k);
            if constexpr (Style == Exchanges::often) {
                parent[second(a)] = static_cast<uint16_t>(k);
                parent[b] = static_cast<uint16_t>(n);
                parent[second(b)] = static_cast<uint16_t>(n);
            } else {
                if (a < node_count) parent[a + 1] = static_cast<uint16_t>(k);
                parent[b] = static_cast<uint16_t>(n);
                if (b < node_count) parent[b + 1] = static_cast<uint16_t>(n);
            }
            child[k] = static_cast<uint16_t>(a);
            child[n] = static_cast<uint16_t>(b);
            moved(n, k);
            n = k;
        }
        n = parent[n];
    } while (n != 0);
}

inline void update_model_from(Model& m, unsigned n) {
    update_model_from(m, n, [](unsigned, unsigned) {});
}

// Records one more occurrence of symbol `s`: increments the weights on its path
// to the root, moving each node that becomes heavier than its right-hand
// neighbours past them so that the weights stay in order.
inline void update_model(Model& m, unsigned s) {
    if (m.node_weight[root_node] == weight_limit) rebuild_model(m);
    update_model_from(m, m.node_parent[node_count + s]);
}

}  // namespace qx::codec
