// The decoder: reads symbols by walking the adaptive tree bit by bit, offsets by
// the fixed code, and copies matches from the output already produced.
#include <cstddef>
#include <cstring>

#include "codec/offset_code.hpp"
#include "codec/state.hpp"

namespace qx::codec {
namespace {

// Hands out the stream's bits most significant first from a 64-bit register.
// It reads a word at a time straight from the source's current block while a
// word is ahead, and byte by byte near the block's end, where it goes on into
// the next block. Past the end of the input it supplies zero bits, and counts
// them, so that the caller can tell when decoding has used bits the stream
// does not hold. A failed read counts as a huge number of such bits.
class BitReader {
public:
    BitReader(ByteSource* source, const uint8_t* data, size_t size) : next_(data), end_(data + size), source_(source) {}

    // Tops the register up to at least 56 pending bits.
    void refill() {
        if (end_ - next_ >= 8) {
            refill_word();
            return;
        }
        while (count_ <= 56) {
            if (next_ == end_ && source_) next_block();
            uint64_t c = 0;
            if (next_ < end_)
                c = *next_++;
            else
                ++beyond_;
            acc_ |= c << (56 - count_);
            count_ += 8;
        }
    }

    // refill() for when word_ahead() holds: a loop that calls only this one
    // keeps the reader in registers.
    void refill_word() {
        acc_ |= load_be64(next_) >> count_;
        next_ += (63 - count_) >> 3;
        count_ |= 56;
    }

    // True while a whole word of input is ahead, so that refill() reads a word.
    bool word_ahead() const { return end_ - next_ >= 8; }

    // The top bits of the register; valid as far as count().
    uint64_t peek() const { return acc_; }
    unsigned count() const { return count_; }
    void skip(unsigned n) {
        acc_ <<= n;
        count_ -= n;
    }

    // True once more bits have been taken than the input holds (zero bytes
    // are only supplied once the input has ended), or a read failed.
    bool overrun() const { return beyond_ * 8 > count_; }
    bool read_failed() const { return beyond_ >= failed_read; }

private:
    static constexpr size_t failed_read = SIZE_MAX / 16;

    // Moves to the source's next block; at its end or on a failed read there
    // is no next one.
    [[gnu::noinline]] void next_block() {
        const uint8_t* data = nullptr;
        const long long got = source_->next(data);
        if (got > 0) {
            next_ = data;
            end_ = data + got;
            return;
        }
        source_ = nullptr;
        if (got < 0) beyond_ = failed_read;
    }

    const uint8_t* next_;
    const uint8_t* end_;
    ByteSource* source_;  // null once the input has ended
    uint64_t acc_ = 0;
    unsigned count_ = 0;
    size_t beyond_ = 0;  // zero bytes supplied past the end
};

// Room past the bytes produced: a match copy may write up to 64 bytes at once.
constexpr size_t output_slack = 128;

// How much decoded output goes to a sink at a time.
constexpr size_t chunk_size = size_t{1} << 20;

// The jump table (CodecState::jumps) gives, for every internal node x, where
// two more bits lead: entry 4x + 2b1 + b0 is the node reached from x by the
// bits b1 b0, or, when b1 already ends at a leaf, a value of node_count or more.
// set_jumps() keeps it in step with the tree after every change of its links.
// Entries hold the byte offset of the target's own entries (8 times its
// number), so that the walk adds no index arithmetic between one step's load
// and the next.
constexpr unsigned jump_scale = 4 * sizeof(uint16_t);
constexpr unsigned jump_leaf = node_count * jump_scale;  // entries from here on mark a leaf

// The entry for first_child value g: node g, or past jump_leaf where g marks a
// leaf. It is one product rather than a choice, because an exchange sets these
// for subtrees and leaves alike, in an order no processor predicts. (The
// largest, for the last symbol, still fits in 16 bits.)
inline uint16_t jump_to(unsigned g) {
    static_assert((node_count + symbol_count) * jump_scale <= 0xFFFF);
    return static_cast<uint16_t>(g * jump_scale);
}

// Sets the entries of node x (those of a leaf are never read).
void set_jumps(CodecState& st, unsigned x) {
    const unsigned c = st.model.first_child[x];
    if (c >= node_count) return;
    for (unsigned b = 0; b < 2; ++b) {
        const unsigned g = st.model.first_child[c + b];
        st.jumps[4 * x + 2 * b] = jump_to(g);
        st.jumps[4 * x + 2 * b + 1] = jump_to(g + 1);
    }
}

void set_all_jumps(CodecState& st) {
    for (unsigned x = 0; x < node_count; ++x) set_jumps(st, x);
}

// After an exchange at positions n and k: each takes the other's entries with
// the subtree that moved to it, and the parent of each position (positions keep
// their parents) now leads to the other subtree's children.
void moved_jumps(CodecState& st, unsigned n, unsigned k) {
    uint64_t row_n, row_k;
    std::memcpy(&row_n, &st.jumps[4 * n], 8);
    std::memcpy(&row_k, &st.jumps[4 * k], 8);
    std::memcpy(&st.jumps[4 * n], &row_k, 8);
    std::memcpy(&st.jumps[4 * k], &row_n, 8);
    for (const unsigned x : {n, k}) {
        const unsigned g = st.model.first_child[x];
        uint16_t* const to = &st.jumps[4 * st.model.node_parent[x] + 2 * (x % 2)];
        to[0] = jump_to(g);
        to[1] = jump_to(g + 1);
    }
}

// The table of paths (CodecState::leads) lets the decoder take a symbol whose
// code is at most 8 bits long in one step: the next 8 bits give the symbol, its
// code's length and the nodes on its way down, whose weights are then raised
// with loads and stores that do not wait on each other. A walk down the tree
// instead waits on one load per level, and its end is a branch that the
// processor mostly mispredicts. A longer code goes on from its node at depth 8.
//
// Every exchange in the model changes what hangs at two positions, and so the
// entries of the codes through them. Where the model exchanges a great deal
// (as it does on executables), that upkeep costs more than the table saves: the
// decoder then walks with the jump table alone, and decides again at each
// rebuild of the model from the exchanges it has counted since the last one.
constexpr unsigned lead_bits = 8;

// The table is taken up for the next rebuild's span when the model exchanged
// less than once in this many symbols since the last one. Text stays well
// below that, executables well above.
constexpr unsigned exchange_rarity = 5;

// The weight slot whose byte offset fills the path below a leaf, at depths
// 2..8: one slot per depth, whose right-hand neighbour holds 0xFFFF, so that
// raising it never reads as a broken order, and the slots of one entry are
// distinct, so that their increments do not wait on each other.
constexpr uint64_t spare_offset(unsigned depth) { return 2 * (node_count + sentinels + 2 * (depth - 2)); }

// Where the node at depth d (2..8) sits in an entry read as two 64-bit halves.
constexpr unsigned field_half(unsigned depth) { return (depth - 2) / 4; }
constexpr unsigned field_shift(unsigned depth) { return 16 * ((depth - 2) % 4); }

// For an entry that ends at depth d: the bits of the path down to d, and the
// spare slots below it.
struct EntryEnd {
    uint64_t keep[2];
    uint64_t spare[2];
};
constexpr auto make_entry_ends() {
    struct {
        EntryEnd at[lead_bits + 1];
    } ends{};
    for (unsigned d = 1; d <= lead_bits; ++d) {
        for (unsigned t = 2; t <= lead_bits; ++t) {
            if (t <= d)
                ends.at[d].keep[field_half(t)] |= uint64_t{0xFFFF} << field_shift(t);
            else
                ends.at[d].spare[field_half(t)] |= spare_offset(t) << field_shift(t);
        }
    }
    return ends;
}
constexpr auto entry_ends = make_entry_ends();

// The node at depth 2..8 on entry e's path.
inline unsigned lead_node(const CodecState::Lead& e, unsigned depth) { return e.path[depth - 2] / 2u; }

// Marks as below depth 8 the positions under y that were not.
void mark_deep(CodecState& st, unsigned y) {
    const unsigned c = st.model.first_child[y];
    if (c >= node_count) return;
    for (unsigned b = 0; b < 2; ++b) {
        if (st.lead_at[c + b] != 0) {
            st.lead_at[c + b] = 0;
            mark_deep(st, c + b);
        }
    }
}

// Sets the entries of the codes through position y, which sits at `depth` on
// the code `code`; lo and hi hold the path down to y in an entry's layout.
void fill_leads(CodecState& st, unsigned y, unsigned depth, unsigned code, uint64_t lo, uint64_t hi) {
    st.lead_at[y] = static_cast<uint16_t>(depth << 8 | code);
    const unsigned c = st.model.first_child[y];
    if (c >= node_count || depth == lead_bits) {
        // The entry is put together in registers: built in memory a field at a
        // time, its copies would wait for those stores.
        const EntryEnd& end = entry_ends.at[depth];
        const uint64_t tag = c >= node_count ? c - node_count + (depth << 12) : 0;
        const uint64_t entry[2] = {(lo & end.keep[0]) | end.spare[0], (hi & end.keep[1]) | end.spare[1] | tag << 48};
        const unsigned first = code << (lead_bits - depth);
        for (unsigned i = 0; i < (1u << (lead_bits - depth)); ++i) std::memcpy(&st.leads[first + i], entry, 16);
        if (c < node_count) mark_deep(st, y);
        return;
    }
    const unsigned half = field_half(depth + 1), shift = field_shift(depth + 1);
    for (unsigned b = 0; b < 2; ++b) {
        uint64_t path[2] = {lo, hi};
        path[half] = (path[half] & ~(uint64_t{0xFFFF} << shift)) | uint64_t{2 * (c + b)} << shift;
        fill_leads(st, c + b, depth + 1, code << 1 | b, path[0], path[1]);
    }
}

void set_all_leads(CodecState& st) {
    uint16_t* const spare = st.model.node_weight + node_count + sentinels;
    for (unsigned i = 0; i < spare_slots; i += 2) {
        spare[i] = 0;
        spare[i + 1] = 0xFFFF;
    }
    std::memset(st.lead_at, 0, sizeof st.lead_at);
    const unsigned c = st.model.first_child[root_node];
    for (unsigned b = 0; b < 2; ++b) fill_leads(st, c + b, 1, b, 0, 0);
}

// Sets the entries under position x anew, after what hangs there changed. The
// path down to x is taken from the entries as they were.
void refresh_leads(CodecState& st, unsigned x) {
    const unsigned at = st.lead_at[x];
    if (at == 0) {
        mark_deep(st, x);
        return;
    }
    const unsigned depth = at >> 8, code = at & 255;
    uint64_t path[2];
    std::memcpy(path, &st.leads[code << (lead_bits - depth)], 16);
    fill_leads(st, x, depth, code, path[0], path[1]);
}

// Everything an exchange at positions n and k changes besides the model.
template <bool Leads>
void exchanged(CodecState& st, unsigned n, unsigned k) {
    moved_jumps(st, n, k);
    ++st.span.exchanges;
    // Two positions below depth 8 exchange nothing that the table holds.
    if (Leads && (st.lead_at[n] | st.lead_at[k]) != 0) {
        refresh_leads(st, n);
        refresh_leads(st, k);
    }
}

// No code is longer than this. Weights grow at least like the Fibonacci numbers
// up a path: a node's sibling pair lies wholly above its child's pair in the
// weight order, so node(d+1) >= node(d) + node(d-1), with a leaf at 1 and its
// parent at 2. A leaf at depth d thus needs a root weight of at least F(d+2),
// and F(24) = 46368 exceeds the limit: d <= 21. After a refill the register
// holds 56 bits, enough for a code and an offset. The walk relies on the bound
// rather than testing the depth at every step; should it ever be broken, the
// walk still ends at a leaf, and no more bits than the register holds are taken.
constexpr unsigned deepest_code = 21;

struct Walked {
    size_t symbol;
    unsigned depth;  // levels walked
    size_t broken;   // the lowest node whose order broke, or node_count
};

// The walk of decode_symbol from `node`, with the code's next bits at the top
// of `acc`: it raises the weights of the nodes below `node`.
[[gnu::always_inline]] inline Walked walk_down(CodecState& st, uint64_t acc, size_t node) {
    Model& model = st.model;
    unsigned depth = 0;
    // Node numbers are full-width, so that x + 1 folds into the address of a load.
    size_t c;
    size_t broken = node_count;  // the lowest node whose order breaks, if any
    uint16_t* const weight = model.node_weight;
    const auto visit = [&](size_t x) {
        const unsigned w = weight[x];
        broken = weight[x + 1] <= w ? x : broken;
        weight[x] = static_cast<uint16_t>(w + 1);
    };
    size_t at = node * jump_scale;  // node's entries, as a byte offset
    while ((c = model.first_child[node]) < node_count) {
        const auto* const column = reinterpret_cast<const uint8_t*>(st.jumps + (acc >> 62));
        const size_t next = *reinterpret_cast<const uint16_t*>(column + at);
        const size_t mid = c + (acc >> 63);
        visit(mid);
        if (next >= jump_leaf) {
            ++depth;
            c = model.first_child[mid];
            break;
        }
        depth += 2;
        acc <<= 2;
        at = next;
        node = next / jump_scale;
        visit(node);
    }
    return {c - node_count, depth, broken};
}

// Walks the tree from the root to a leaf, reading one bit per level, and
// records one more occurrence of the symbol found. Returns that symbol. Needs
// a root weight below the limit and deepest_code bits in the register.
//
// The walk goes two levels per step through the jump table, so that the chain
// of dependent loads is half as long; the node in between comes from its own
// parent's link, off that chain.
//
// The model's update is done on the way down: until the lowest node whose order
// would break, every node of the path just gains one. A node's order depends
// only on its right-hand neighbour, which is never below it on the path. It is
// the node's parent at most, and then the order cannot break (the parent
// outweighs the node by its sibling's weight, at least one), so the checks do
// not depend on each other. From the lowest broken node up, the increments are
// taken back and the usual update runs.
[[gnu::always_inline]] inline unsigned decode_symbol(CodecState& st, BitReader& bits) {
    Model& model = st.model;
    uint16_t* const weight = model.node_weight;
    ++weight[root_node];
    const Walked w = walk_down(st, bits.peek(), root_node);
    bits.skip(w.depth <= deepest_code + 1 ? w.depth : deepest_code + 1);
    if (w.broken != node_count) {
        for (size_t x = w.broken;; x = model.node_parent[x]) {
            --weight[x];
            if (x == root_node) break;
        }
        update_model_from<Exchanges::often>(model, static_cast<unsigned>(w.broken), [&](unsigned n, unsigned k) { exchanged<false>(st, n, k); });
    }
    return static_cast<unsigned>(w.symbol);
}

// The usual update of the model after a symbol whose path the table gave was
// raised down to the end of entry e (whose first node is d1), once the order
// broke: at the path's node at `depth`, or (depth 0) at node `below`, under
// the entry's end.
[[gnu::noinline]] void mend_path(CodecState& st, const CodecState::Lead& e, size_t d1, unsigned depth, unsigned below) {
    Model& model = st.model;
    uint16_t* const weight = model.node_weight;
    unsigned broken;
    if (depth == 0) {
        for (unsigned x = below; x != lead_node(e, lead_bits); x = model.node_parent[x]) --weight[x];
        broken = below;
        depth = lead_bits;
    } else {
        broken = depth == 1 ? static_cast<unsigned>(d1) : lead_node(e, depth);
    }
    // The increments from the broken node up are taken back.
    --weight[root_node];
    --weight[d1];
    for (unsigned t = 2; t <= depth; ++t) --weight[lead_node(e, t)];
    update_model_from(model, broken, [&](unsigned n, unsigned k) { exchanged<true>(st, n, k); });
}

// walk_down from `node`, at depth 8, out of line: codes this long are rare.
[[gnu::noinline]] Walked walk_on(CodecState& st, uint64_t acc, size_t node) { return walk_down(st, acc, node); }

// decode_symbol through the table of paths, which must be up to date.
//
// All eight entry nodes are visited, whatever the code's length (below a leaf,
// the spare slots), so that no branch depends on the length. As in
// decode_symbol, the checks of the order do not depend on each other, and the
// lowest broken node is the one the usual update starts from.
[[gnu::always_inline]] inline unsigned decode_lead(CodecState& st, BitReader& bits) {
    const uint64_t acc = bits.peek();
    const CodecState::Lead& e = st.leads[acc >> 56];
    Model& model = st.model;
    uint16_t* const weight = model.node_weight;
    auto* const bytes = reinterpret_cast<uint8_t*>(weight);
    unsigned broken = 0;  // the depth of the lowest node whose order breaks, if any
    const auto visit = [&](size_t offset, unsigned depth) {
        uint16_t w, right;
        std::memcpy(&w, bytes + offset, 2);
        std::memcpy(&right, bytes + offset + 2, 2);
        broken = right <= w ? depth : broken;
        w = static_cast<uint16_t>(w + 1);
        std::memcpy(bytes + offset, &w, 2);
    };
    ++weight[root_node];
    const size_t d1 = model.first_child[root_node] + (acc >> 63);
    visit(2 * d1, 1);
    for (unsigned t = 2; t <= lead_bits; ++t) visit(e.path[t - 2], t);
    const unsigned tag = e.tag;
    if (tag == 0) [[unlikely]] {
        const Walked r = walk_on(st, acc << lead_bits, lead_node(e, lead_bits));
        const unsigned depth = lead_bits + r.depth;
        bits.skip(depth <= deepest_code + 1 ? depth : deepest_code + 1);
        if (r.broken != node_count)
            mend_path(st, e, d1, 0, static_cast<unsigned>(r.broken));
        else if (broken)
            mend_path(st, e, d1, broken, 0);
        return static_cast<unsigned>(r.symbol);
    }
    bits.skip(tag >> 12);
    if (broken) [[unlikely]] mend_path(st, e, d1, broken, 0);
    return tag & 0xFFF;
}

// The match offset that follows a match symbol; needs 14 bits in the register.
inline unsigned decode_offset(BitReader& bits) {
    const uint64_t top = bits.peek();
    const unsigned lead = static_cast<unsigned>(top >> 56);
    const unsigned code_len = offset_code.decode_length[lead];
    const unsigned offset =
        static_cast<unsigned>(offset_code.decode_high[lead]) << 6 | (static_cast<unsigned>(top >> (58 - code_len)) & 63);
    bits.skip(code_len + 6);
    return offset;
}

// Decodes whole items into out[produced...] for as long as none of the limits
// that the careful loop in decode() checks can be reached: output stays below
// `stop` (which leaves room for a whole match and its copy's overshoot), the
// input has a word ahead, no rebuild of the model is due, and a match's source
// always lies in `out` (produced is at least a window). Returns the new count.
// Kept out of line so that its loop has the registers to itself.
template <bool Leads>
[[gnu::noinline]] size_t decode_items(CodecState& st, BitReader& reader, uint8_t* const out, size_t produced, const size_t stop) {
    BitReader bits = reader;  // a local copy stays in registers across the byte stores
    while (produced < stop && bits.word_ahead() && st.model.node_weight[root_node] != weight_limit) {
        bits.refill_word();
        const unsigned s = Leads ? decode_lead(st, bits) : decode_symbol(st, bits);
        uint8_t* const to = out + produced;
        if (s < 256) {
            *to = static_cast<uint8_t>(s);
            ++produced;
            continue;
        }
        // No refill: after a code the register still holds 56 - 22 bits, more than an offset needs.
        const size_t distance = decode_offset(bits) + 1;
        const size_t n = s - 253;
        const uint8_t* const from = to - distance;
        if (distance >= 8) {
            // Most matches are short: 16 bytes at once, the rest only for longer ones.
            std::memcpy(to, from, 8);
            std::memcpy(to + 8, from + 8, 8);
            if (n > 16) [[unlikely]]
                for (size_t k = 16; k < 64; k += 8) std::memcpy(to + k, from + k, 8);
        } else {
            for (size_t k = 0; k < n; ++k) to[k] = from[k];
        }
        produced += n;
    }
    reader = bits;
    return produced;
}

// Decodes the stream taken from `source` into `out`. Without a sink the whole
// output stays in `out` (and `payload` is the size of the stream past its
// header); with one, every chunk of about a megabyte goes to the sink and `out`
// keeps only the last window's worth, which later matches may copy from.
Failure decode(CodecState& st, ByteSource& source, size_t payload, std::vector<uint8_t>& out, ByteSink* sink) {
    out.clear();
    uint8_t header[4];
    const uint8_t* data = nullptr;
    size_t in_block = 0;  // bytes of the current block past the header
    for (size_t have = 0; have < 4;) {
        const long long got = source.next(data);
        if (got <= 0) return Failure::cant_read;
        const size_t take = static_cast<unsigned long long>(got) < 4 - have ? static_cast<size_t>(got) : 4 - have;
        std::memcpy(header + have, data, take);
        have += take;
        data += take;
        in_block = static_cast<size_t>(got) - take;
    }
    const uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                            static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    if (length == 0) return Failure::zero_length;

    Model& model = st.model;
    init_model(model);
    set_all_jumps(st);
    bool leads = !st.walk_only;  // whether the table of paths is in use (and kept up to date)
    if (leads) set_all_leads(st);
    st.span = {};
    uint8_t* const win = st.window;
    std::memset(win, ' ', window_start);
    st.read_carried = false;

    // Every bit of input yields at most six bytes (a 60-byte match costs at least
    // ten bits), so the buffer grows with what the input can justify, never
    // straight to a length that a damaged header claims.
    size_t capacity = sink ? chunk_size + window_size : payload * 4 + 4096;
    if (capacity > length) capacity = length;
    out.resize(capacity + output_slack);
    uint8_t* dst = out.data();

    BitReader bits(&source, data, in_block);
    const uint16_t* const child = model.first_child;
    uint16_t* const weight = model.node_weight;
    size_t produced = 0;  // bytes in `out`
    size_t origin = 0;    // bytes handed to the sink before out[0]
    Failure result = Failure::none;
    const Progress progress = st.progress;
    size_t next_report = progress.report ? progress_interval : SIZE_MAX;
    while (origin + produced < length) {
        if (origin + produced >= next_report) [[unlikely]] {
            progress.report(progress.context, origin + produced, length);
            next_report = origin + produced + progress_interval;
        }
        if (sink && produced + output_slack > chunk_size + window_size) {
            const size_t done = produced - window_size;
            if (!sink->put(dst, done)) {
                result = Failure::cant_write;
                break;
            }
            std::memmove(dst, dst + done, window_size);
            origin += done;
            produced = window_size;
        }
        if (capacity < length && produced + output_slack > capacity) {
            capacity = capacity * 2 < length ? capacity * 2 : length;
            out.resize(capacity + output_slack);
            dst = out.data();
        }
        if (produced >= window_size && produced + lookahead_size < length - origin) {
            // The bulk of the work: as many items as can be done without checks.
            // (capacity exceeds the slack here: it is at least what was produced.)
            size_t stop = sink ? chunk_size + window_size - output_slack : capacity - output_slack;
            if (stop > length - origin - lookahead_size) stop = length - origin - lookahead_size;
            if (stop > next_report - origin) stop = next_report - origin;  // beyond `produced`: reported above
            const size_t before = produced;
            if (produced < stop)
                produced = leads ? decode_items<true>(st, bits, dst, produced, stop) : decode_items<false>(st, bits, dst, produced, stop);
            if (bits.overrun()) {
                result = bits.read_failed() ? Failure::cant_read : Failure::corrupt;
                break;
            }
            if (produced != before) continue;
        }
        bits.refill();
        unsigned s;
        if (weight[root_node] != weight_limit) {
            s = leads ? decode_lead(st, bits) : decode_symbol(st, bits);
        } else {
            unsigned node = root_node, c;
            while ((c = child[node]) < node_count) {
                if (bits.count() == 0) bits.refill();
                node = c + static_cast<unsigned>(bits.peek() >> 63);
                bits.skip(1);
            }
            s = c - node_count;
            update_model(model, s);
            set_all_jumps(st);  // the model was rebuilt
            const bool was = leads;
            const bool often = st.span.close(model, exchange_rarity);
            leads = !st.walk_only && !often;
            if (leads) set_all_leads(st);
            st.table_changes += leads != was;
        }
        if (s < 256) {
            dst[produced++] = static_cast<uint8_t>(s);
        } else {
            if (bits.count() < 14) bits.refill();
            const unsigned offset = decode_offset(bits);
            size_t n = s - 253;
            if (n > length - origin - produced) n = length - origin - produced;
            const size_t distance = offset + 1;
            uint8_t* to = dst + produced;
            if (distance <= produced) {
                const uint8_t* from = to - distance;
                if (distance >= 8) {
                    // A fixed 64 bytes: cheaper than a loop whose length is unpredictable.
                    for (size_t k = 0; k < 64; k += 8) std::memcpy(to + k, from + k, 8);
                } else if (distance == 1) {
                    std::memset(to, *from, n);
                } else {
                    for (size_t k = 0; k < n; ++k) to[k] = from[k];
                }
            } else {
                // The source starts in the window as it was before this stream.
                for (size_t k = 0; k < n; ++k) {
                    const ptrdiff_t at = static_cast<ptrdiff_t>(produced + k) - static_cast<ptrdiff_t>(distance);
                    if (at < -static_cast<ptrdiff_t>(window_start)) st.read_carried = true;
                    to[k] = at >= 0 ? dst[at] : win[(window_start + window_size + at) & (window_size - 1)];
                }
            }
            produced += n;
        }
        if (bits.overrun()) {
            result = bits.read_failed() ? Failure::cant_read : Failure::corrupt;
            break;
        }
    }

    // The window ends up holding the last bytes produced, as if written one by one.
    const size_t first = produced > window_size ? produced - window_size : 0;
    for (size_t j = first; j < produced; ++j) win[(window_start + origin + j) & (window_size - 1)] = dst[j];
    if (result == Failure::none && sink && !sink->put(dst, produced)) result = Failure::cant_write;
    if (result != Failure::none) {
        out.clear();
        return result;
    }
    out.resize(sink ? 0 : static_cast<size_t>(length));
    return Failure::none;
}

}  // namespace

Failure decode_stream(CodecState& st, const uint8_t* stream, size_t size, std::vector<uint8_t>& out) {
    MemorySource source(stream, size);
    return decode(st, source, size < 4 ? 0 : size - 4, out, nullptr);
}

Failure decode_stream(CodecState& st, const uint8_t* stream, size_t size, ByteSink& sink) {
    MemorySource source(stream, size);
    return decode_stream(st, source, sink);
}

Failure decode_stream(CodecState& st, ByteSource& source, ByteSink& sink) {
    std::vector<uint8_t> buffer;
    return decode(st, source, 0, buffer, &sink);
}

}  // namespace qx::codec
