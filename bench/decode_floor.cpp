// qxfloor: where the decoder's time goes on one stream, against the work that
// any decoder of that exact stream has to do.
//
//   qxfloor STREAM [RUNS]
//
// STREAM is a compressed stream (qxcodec compress). The tool reads it once with
// the plainest decoder (one bit per level, the model's own update) and keeps
// its symbols, then times, interleaved and RUNS times (default 9), medians:
//   decode   the codec's decoder, whole (walk, model, offsets, copies)
//   update   the model's updates alone, for the same symbols in the same order,
//            each span between rebuilds in the style the encoder picks for it:
//            the tree must pass through exactly these states, one per symbol,
//            so every decoder of the stream makes these increments and
//            exchanges (the codec's decoder makes the increments more cheaply,
//            on its way down)
//   increments  the increments alone, up the same symbols' paths in a fixed
//            tree, with no check of the order: the update without exchanges
//   walk     one bit per level down a tree that does not change (the first
//            span's tree after the first rebuild), for the codes the stream
//            holds: the dependent loads of reading the codes, without updates
//   plain    the plainest decoder, reading symbols and updating the model
// and prints the stream's figures: symbols, literals, the mean code length and
// the exchanges per symbol.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "codec/encoder_model.hpp"
#include "codec/model.hpp"
#include "codec/offset_code.hpp"
#include "codec/state.hpp"
#include "programs/read_file.hpp"

namespace {

using namespace qx::codec;

// Bits most significant first, zeros past the end.
struct Bits {
    const uint8_t* data;
    size_t size;
    size_t at = 0;  // in bits
    unsigned bit(size_t i) const { return i / 8 < size ? (data[i / 8] >> (7 - i % 8)) & 1 : 0; }
    unsigned next() { return bit(at++); }
    unsigned peek8() const {
        unsigned v = 0;
        for (size_t i = at; i < at + 8; ++i) v = v << 1 | bit(i);
        return v;
    }
    bool spent() const { return at / 8 > size + 8; }  // well past the end: not a stream
};

struct Figures {
    size_t symbols = 0, literals = 0, exchanges = 0, rebuilds = 0, code_bits = 0;
};

// The plainest decoder: walks one bit per level and makes the model's update.
// Returns the output's length, or 0 if the bits run out first; records the
// symbols and, with `fig`, the figures.
size_t plain_decode(const std::vector<uint8_t>& stream, std::vector<uint16_t>* symbols, Figures* fig) {
    const size_t length = stream[0] | stream[1] << 8 | stream[2] << 16 | static_cast<size_t>(stream[3]) << 24;
    auto m = std::make_unique<Model>();
    init_model(*m);
    Bits bits{stream.data() + 4, stream.size() - 4};
    size_t produced = 0;
    while (produced < length) {
        if (bits.spent()) return 0;
        unsigned node = root_node, c, depth = 0;
        for (; (c = m->first_child[node]) < node_count; ++depth) node = c + bits.next();
        const unsigned s = c - node_count;
        if (symbols) symbols->push_back(static_cast<uint16_t>(s));
        const bool rebuild = m->node_weight[root_node] == weight_limit;
        if (rebuild) rebuild_model(*m);
        size_t exchanges = 0;
        update_model_from(*m, m->node_parent[node_count + s], [&](unsigned, unsigned) { ++exchanges; });
        if (fig) {
            ++fig->symbols;
            fig->literals += s < 256;
            fig->code_bits += depth;
            fig->rebuilds += rebuild;
            fig->exchanges += exchanges;
        }
        if (s < 256) {
            ++produced;
        } else {
            bits.at += offset_code.decode_length[bits.peek8()] + 6u;
            produced += s - 253;
        }
    }
    return produced;
}

// The updates alone, each span in the style the encoder picks for it.
unsigned update_only(const std::vector<uint16_t>& symbols) {
    auto m = std::make_unique<Model>();
    init_model(*m);
    ExchangeSpan span;
    bool often = false;
    const auto count = [&](unsigned, unsigned) { ++span.exchanges; };
    for (const uint16_t s : symbols) {
        if (m->node_weight[root_node] == weight_limit) [[unlikely]] {
            rebuild_model(*m);
            update_model_from(*m, m->node_parent[node_count + s], count);
            often = span.close(*m, often_exchanges);
        } else if (often) {
            update_model_from<Exchanges::often>(*m, m->node_parent[node_count + s], count);
        } else {
            update_model_from<Exchanges::seldom>(*m, m->node_parent[node_count + s], count);
        }
    }
    return m->node_weight[root_node];
}

// The increments of update_model alone, with no check of the order and no
// exchange, up the paths of the same symbols in a fixed tree (the model after
// its first rebuild, whose weights are restored when they near the limit).
unsigned increments_only(const std::vector<uint16_t>& symbols, const Model& fixed) {
    auto m = std::make_unique<Model>(fixed);
    size_t since = 0;
    for (const uint16_t s : symbols) {
        for (unsigned n = m->node_parent[node_count + s]; n != 0; n = m->node_parent[n]) ++m->node_weight[n];
        if (++since == weight_limit / 2) {
            std::copy(fixed.node_weight, fixed.node_weight + node_count, m->node_weight);
            since = 0;
        }
    }
    return m->node_weight[root_node];
}

// Reads the stream's codes one bit per level down a fixed tree (the model after
// its first rebuild, which the stream's later codes do not fit exactly but
// resemble in depth): the chain of dependent loads alone.
unsigned walk_only(const std::vector<uint8_t>& stream, const Model& fixed, size_t symbols) {
    Bits bits{stream.data() + 4, stream.size() - 4};
    unsigned sum = 0;
    for (size_t i = 0; i < symbols; ++i) {
        unsigned node = root_node, c;
        while ((c = fixed.first_child[node]) < node_count) node = c + bits.next();
        sum += c;
        if (bits.at / 8 >= bits.size) bits.at = 0;
    }
    return sum;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qxfloor STREAM [RUNS]\n");
        return 2;
    }
    std::vector<uint8_t> stream;
    if (!read_file(argv[1], stream) || stream.size() < 5) {
        std::fprintf(stderr, "qxfloor: cannot read %s\n", argv[1]);
        return 1;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 9;

    std::vector<uint16_t> symbols;
    Figures fig;
    const size_t length = plain_decode(stream, &symbols, &fig);
    if (length == 0) {
        std::fprintf(stderr, "qxfloor: %s is not a whole stream\n", argv[1]);
        return 1;
    }

    // The model after its first rebuild, for the walk on a fixed tree.
    auto fixed = std::make_unique<Model>();
    init_model(*fixed);
    for (const uint16_t s : symbols) {
        if (fixed->node_weight[root_node] == weight_limit) {
            rebuild_model(*fixed);
            break;
        }
        update_model(*fixed, s);
    }

    auto st = std::make_unique<CodecState>();
    std::vector<uint8_t> out;
    std::vector<double> t_decode, t_update, t_increments, t_walk, t_plain;
    unsigned sink = 0;
    for (int r = 0; r < runs; ++r) {
        auto start = std::chrono::steady_clock::now();
        if (decode_stream(*st, stream.data(), stream.size(), out) != Failure::none || out.size() != length) {
            std::fprintf(stderr, "qxfloor: the codec's decoder failed on %s\n", argv[1]);
            return 1;
        }
        t_decode.push_back(seconds(start));
        start = std::chrono::steady_clock::now();
        sink += update_only(symbols);
        t_update.push_back(seconds(start));
        start = std::chrono::steady_clock::now();
        sink += increments_only(symbols, *fixed);
        t_increments.push_back(seconds(start));
        start = std::chrono::steady_clock::now();
        sink += walk_only(stream, *fixed, symbols.size());
        t_walk.push_back(seconds(start));
        start = std::chrono::steady_clock::now();
        sink += static_cast<unsigned>(plain_decode(stream, nullptr, nullptr));
        t_plain.push_back(seconds(start));
    }

    const double n = static_cast<double>(fig.symbols);
    std::printf("%s: %zu bytes out, %zu symbols (%.1f%% literals), %zu rebuilds\n", argv[1], length, fig.symbols,
                100.0 * static_cast<double>(fig.literals) / n, fig.rebuilds);
    std::printf("per symbol: %.2f code bits (so %.2f weights raised), %.3f exchanges\n", static_cast<double>(fig.code_bits) / n,
                static_cast<double>(fig.code_bits) / n + 1, static_cast<double>(fig.exchanges) / n);
    const auto row = [&](const char* name, const std::vector<double>& t) {
        const double s = median(t);
        std::printf("%-10s %8.1f ms  %6.2f ns/symbol  %5.2f of decode\n", name, s * 1e3, s * 1e9 / n, s / median(t_decode));
    };
    row("decode", t_decode);
    row("update", t_update);
    row("increments", t_increments);
    row("walk", t_walk);
    row("plain", t_plain);
    return sink == 1 ? 3 : 0;  // keeps the timed work from being optimised away
}
