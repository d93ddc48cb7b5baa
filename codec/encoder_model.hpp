// The encoder's symbol step: the code of a symbol and the model update in one walk.
#pragma once

#include <cstdint>

#include "codec/model.hpp"

namespace qx::codec {

// A span between rebuilds makes its exchanges the branch-free way when the span
// before exchanged at least once in this many symbols: executables do (about
// one in two), text does not (about one in nine). The output is the same.
constexpr unsigned often_exchanges = 4;

// Adds to `bits` the branches from node q up to the root, from bit `length` on.
inline unsigned gather_code(const uint16_t* parent, unsigned q, uint64_t& bits, unsigned length) {
    for (; q != root_node; q = parent[q]) {
        bits |= static_cast<uint64_t>(q & 1) << (length & 63);
        ++length;
    }
    return length;
}

// Gathers the code of symbol `s` leaf side first (bit i is the branch taken i
// levels above the leaf) into `code`, returns its length, and records the
// occurrence as update_model does, in one walk up the tree where possible.
//
// The update walks from the leaf up the same nodes as the code until it makes
// its first exchange; the exchange leaves the nodes above the exchanged
// position untouched, so the rest of the code is read along them just before.
// The sibling property with leaf weights of at least 1 and root weights below
// weight_limit bounds codes to about 22 bits: 64 is never reached.
//
// Style is how the exchanges are made. They are counted in `span`, and at each
// rebuild `often` is set to whether the next span makes them the branch-free way.
template <Exchanges Style>
inline unsigned code_and_update(Model& m, unsigned s, uint64_t& code, ExchangeSpan& span, bool& often) {
    const auto count = [&](unsigned, unsigned) { ++span.exchanges; };
    uint16_t* const weight = m.node_weight;
    const uint16_t* const parent = m.node_parent;
    unsigned n = parent[node_count + s];
    uint64_t bits = 0;
    unsigned length = 0;
    if (weight[root_node] == weight_limit) [[unlikely]] {
        // The code comes from the tree as it stands before the rebuild.
        length = gather_code(parent, n, bits, 0);
        code = bits;
        rebuild_model(m);
        update_model_from<Style>(m, parent[node_count + s], count);
        often = span.close(m, often_exchanges);
        return length;
    }
    // A leaf is never the root: the tree has two symbols or more.
    do {
        const unsigned w = weight[n] + 1u;
        if (weight[n + 1] < w) goto exchange;
        weight[n] = static_cast<uint16_t>(w);
        bits |= static_cast<uint64_t>(n & 1) << (length & 63);
        ++length;
        n = parent[n];
    } while (n != root_node);
    ++weight[root_node];
    code = bits;
    return length;
exchange:
    // An exchange is next: read the rest of the code on the untouched path.
    length = gather_code(parent, n, bits, length);
    code = bits;
    update_model_from<Style>(m, n, count);
    return length;
}

}  // namespace qx::codec
