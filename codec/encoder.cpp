// The encoder: a binary-tree match finder over the sliding window, symbols coded
// with the adaptive model and match offsets with the fixed offset code.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "codec/encoder_model.hpp"
#include "codec/offset_code.hpp"
#include "codec/state.hpp"
#include "platform/thread.hpp"

namespace qx::codec {
namespace {

// A position inside a match goes into the tree from the matching position
// instead of from the root when the two share at least near_prefix bytes
// (from there on the match's neighbours are mostly a step away), giving up
// after near_steps steps. Both were chosen by timing; the output is the same
// for any values.
constexpr unsigned near_prefix = 9, near_steps = 3;

inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The match tree's links hold handles: four times a node's number, which is the
// byte offset of the node's pair of links in CodecState::links and of its key in
// CodecState::keys. A step down the tree then loads from both at a handle
// without scaling it first, which takes a cycle off every step of the chain of
// dependent loads.
constexpr size_t handle(size_t p) { return 4 * p; }
inline size_t node_of(size_t h) { return h >> 2; }
constexpr uint16_t empty_link = 4 * no_node;

// Link `side` (0 left, 1 right) of the node with handle h.
inline uint16_t& link(uint8_t* links, size_t h, size_t side) {
    return *reinterpret_cast<uint16_t*>(links + h + 2 * side);
}

// Both links of the node with handle h in one load: the left link in half 0, the right in half 1.
inline uint32_t load_links(const uint8_t* links, size_t h) {
    uint32_t both;
    std::memcpy(&both, links + h, 4);
    return both;
}

inline unsigned link_half(uint32_t both, unsigned half) {
    constexpr unsigned right_half = std::endian::native == std::endian::little ? 1 : 0;
    return (half == right_half ? both >> 16 : both) & 0xFFFF;
}

// Replaces x, y and z by x_above, y_above and z_above when a > b, without a
// branch: the outcome of a tree step is unpredictable. Compilers tend to turn
// such a choice into a branch, so on x86-64 conditional moves are written out.
inline void take_if_above(uint64_t a, uint64_t b, size_t& x, size_t x_above, uint32_t& y, uint32_t y_above, uint32_t& z,
                          uint32_t z_above) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __asm__("cmp %[b], %[a]\n\t"
            "cmova %[x_above], %[x]\n\t"
            "cmova %[y_above], %[y]\n\t"
            "cmova %[z_above], %[z]"
            : [x] "+r"(x), [y] "+r"(y), [z] "+r"(z)
            : [a] "r"(a), [b] "r"(b), [x_above] "r"(x_above), [y_above] "r"(y_above), [z_above] "r"(z_above)
            : "cc");
#else
    const uint64_t mask = 0 - static_cast<uint64_t>(a > b);
    x ^= (x ^ x_above) & static_cast<size_t>(mask);
    y ^= (y ^ y_above) & static_cast<uint32_t>(mask);
    z ^= (z ^ z_above) & static_cast<uint32_t>(mask);
#endif
}

// Compares the strings x and y, which share bytes 0..from-1, from byte
// `from` on, a word at a time: returns the length of their common prefix (60
// or more: equal) and leaves in a and b the first words that differ, as
// big-endian numbers, which order the two strings.
[[gnu::always_inline]] inline unsigned compare_from(const uint8_t* x, const uint8_t* y, unsigned from, uint64_t& a,
                                                    uint64_t& b) {
    a = b = 0;
    unsigned i = from;
    for (; i < lookahead_size; i += 8) {
        a = load_be64(x + i);
        b = load_be64(y + i);
        if (a != b) break;
    }
    return i + (static_cast<unsigned>(std::countl_zero((a ^ b) | 1)) >> 3);
}

// Keeps in `best` the better of it and a match met by the search for r: the
// longer wins, and among equally long ones the nearer. A match scores
// (72 - length) << 14 | 4 * distance, and the lowest score is the best: for
// the usual step, whose length is 4 - top / 8 with `top` the highest bit in
// which the keys differ, 72 - length is then 68 + top / 8. h is the node's
// handle and hr is r's, so that their difference is four times the distance.
inline void keep_best(unsigned& best, unsigned score) { best = score < best ? score : best; }
inline unsigned distance_part(size_t h, size_t hr) { return static_cast<unsigned>(hr - h) & (4 * (window_size - 1)); }
inline unsigned step_score(uint32_t differ, size_t h, size_t hr) {
    const unsigned top = 31 ^ static_cast<unsigned>(std::countl_zero(differ));  // differ is never 0
    return ((top >> 3) + 68) << 14 | distance_part(h, hr);
}
inline unsigned long_score(unsigned length, size_t h, size_t hr) { return (72 - length) << 14 | distance_part(h, hr); }
constexpr unsigned no_score = 72u << 14;  // length 0: above every match's score

// The key of the node with handle h, at byte offset h of keys.
inline uint32_t key_at(const uint8_t* keys, size_t h) {
    uint32_t key;
    std::memcpy(&key, keys + h, 4);
    return key;
}

inline uint32_t load_be32(const uint8_t* p) { return static_cast<uint32_t>(load_be64(p) >> 32); }

// How much output a streaming operation hands to its sink at a time. A reader
// of the stream as it comes (a check that decodes it) waits for whole pieces,
// so they are small enough that it keeps close behind. (A 1 MiB piece would
// hold the whole stream of a 1 MB file: its check would run after the
// compression instead of beside it.)
constexpr size_t piece_size = size_t{256} << 10;

// Thrown from the encoder's rare paths (a block switch, a full output buffer)
// when the source or the sink fails, and caught where the operation began.
struct Stop {
    Failure why;
};

// Appends bits most significant first to a byte buffer. Bits wait in a 64-bit
// register, left-aligned, and leave it 32 at a time. Without a sink the buffer
// grows to hold the whole stream; with one, it has a fixed size and is handed
// to the sink whenever it fills up.
class BitWriter {
public:
    BitWriter(std::vector<uint8_t>& out, size_t start, ByteSink* sink = nullptr) : pos_(start), out_(out), sink_(sink) {}

    // Makes room for at least `bytes` more output bytes beyond the pending bits.
    void reserve(size_t bytes) {
        if (pos_ + bytes + 8 > out_.size()) grow(pos_ + bytes + 8);
    }

    // Appends the low `n` bits (1..32) of `value`.
    void put(unsigned n, uint32_t value) {
        acc_ |= static_cast<uint64_t>(value) << (64 - count_ - n);
        count_ += n;
        if (count_ >= 32) {
            store_be32(out_.data() + pos_, static_cast<uint32_t>(acc_ >> 32));
            pos_ += 4;
            acc_ <<= 32;
            count_ -= 32;
        }
    }

    // Writes the pending bits, the last byte padded with zero bits, and trims
    // the buffer (or hands it to the sink).
    void finish() {
        while (count_ > 0) {
            out_[pos_++] = static_cast<uint8_t>(acc_ >> 56);
            acc_ <<= 8;
            count_ = count_ > 8 ? count_ - 8 : 0;
        }
        if (sink_) flush();
        out_.resize(pos_);
    }

private:
    // Hands the whole bytes written so far to the sink and starts over.
    void flush() {
        if (pos_ > 0 && !sink_->put(out_.data(), pos_)) throw Stop{Failure::cant_write};
        pos_ = 0;
    }

    // With a sink, empties the buffer (which always has room for an item).
    // Without one, doubles the bytes in use, within the room reserved up front
    // while that lasts: only the part written is ever touched.
    [[gnu::noinline]] void grow(size_t need) {
        if (sink_) {
            flush();
            return;
        }
        size_t size = need * 2;
        if (size > out_.capacity() && need <= out_.capacity()) size = out_.capacity();
        out_.resize(size);
    }

    size_t pos_;
    std::vector<uint8_t>& out_;
    ByteSink* sink_;
    uint64_t acc_ = 0;
    unsigned count_ = 0;
};

struct Split;

class Encoder {
public:
    Encoder(CodecState& st, std::vector<uint8_t>& out, ByteSink* sink = nullptr) : st_(st), bits_(out, 4, sink) {}

    // Codes `size` bytes taken from `source`.
    void run(ByteSource& source, size_t size);
    void run_literals(const uint8_t* data, size_t size);
    // The same with the match search on `threads` threads of its own: false,
    // with nothing taken from the source, when the threads cannot be had.
    bool run_split(ByteSource& source, size_t size, unsigned threads);
    // One thread's share of the search (on its own state): see Split.
    void search_part(Split& split, unsigned part);

private:
    void encode_symbol(unsigned s);
    void encode_offset(unsigned o);
    template <bool find_match>
    void tree_insert(unsigned r) {
        tree_insert_at<find_match, false>(r, st_.window + r);
    }
    template <bool find_match, bool linear>
    void tree_insert_at(unsigned r, const uint8_t* key);
    void tree_delete(size_t p);
    void replace_node(size_t h, unsigned r);
    template <bool find_match, bool refill>
    void slide(unsigned s, unsigned r, uint8_t c);
    void refill(unsigned s, uint8_t c);
    void tree_delete_alone(size_t p);
    unsigned compare_strings(unsigned r, size_t p, bool& after) const;
    size_t next_in_order(size_t h, size_t side) const;
    bool insert_near(unsigned r, size_t q, bool after);
    struct Block {
        const uint8_t* begin;
        const uint8_t* end;
    };
    Block next_block();
    void take(uint8_t* to, size_t count, Block& block);
    template <bool linear, class Mine>
    void begin_trees(Mine&& mine, const uint8_t* lead);

    CodecState& st_;
    ByteSource* source_ = nullptr;
    size_t left_ = 0;  // input bytes not yet taken from the source
    BitWriter bits_;
    unsigned best_length_ = 0;
    unsigned best_offset_ = 0;
    ExchangeSpan span_;   // the model's exchanges since its last rebuild
    bool often_ = false;  // whether they are made the branch-free way (see code_and_update)
};

// Writes the path from the root to the symbol's leaf, root side first, and
// updates the model, both from one walk up the tree (see code_and_update).
void Encoder::encode_symbol(unsigned s) {
    uint64_t code;
    const unsigned length = often_ ? code_and_update<Exchanges::often>(st_.model, s, code, span_, often_)
                                   : code_and_update<Exchanges::seldom>(st_.model, s, code, span_, often_);
    if (length > st_.longest_code) st_.longest_code = length;
    if (length > 32) [[unlikely]] {
        bits_.put(length - 32, static_cast<uint32_t>(code >> 32));
        bits_.put(32, static_cast<uint32_t>(code));
    } else {
        bits_.put(length, static_cast<uint32_t>(code));
    }
}

void Encoder::encode_offset(unsigned o) {
    const unsigned high = o >> 6;
    const unsigned len = offset_code.length[high];
    bits_.put(len + 6, (static_cast<uint32_t>(offset_code.code[high]) >> (8 - len)) << 6 | (o & 63));
}

// Adds position r to the tree of strings that begin with its byte and leaves the
// longest match met on the search path (the nearest among equally long ones) in
// best_length_ and best_offset_. A string equal to r over all 60 bytes ends the
// search and is replaced by r.
//
// Most nodes on a path differ from r within a few bytes, so each step compares
// the node's key (bytes 1..4, kept apart from the window so that it is read at
// the node's handle with no shift and no byte swap) against r's, which stays in
// a register, and only a node sharing 5 bytes or more reads the window. While
// a node is compared, both of its children's links and keys are already being
// fetched, and the comparison only selects one of them: the step to the next
// node then waits on the comparison alone, not on a load after it. The side
// taken and the best match are selected without branches: both are
// unpredictable.
//
// The string at r is read at `key`: in the window, or in a linear copy of the
// input when `linear`, where the string d positions back lies d bytes before.
// (d is at most 4036, and down to -59 among the first strings, which go in
// newest first.)
template <bool find_match, bool linear>
[[gnu::always_inline]] inline void Encoder::tree_insert_at(unsigned r, const uint8_t* const key) {
    uint8_t* const links = reinterpret_cast<uint8_t*>(st_.links);
    uint16_t* const up = st_.up_link;
    const uint8_t* const win = st_.window;
    const uint8_t* const keys = reinterpret_cast<const uint8_t*>(st_.keys);
    const size_t hr = handle(r);
    link(links, hr, 0) = link(links, hr, 1) = empty_link;
    const uint32_t key1 = load_be32(key + 1);
    st_.keys[r] = key1;
    unsigned best_score = no_score;
    size_t h = handle(tree_root + key[0]);
    size_t go_right = 1;  // the side of h where r is attached
    size_t next = link(links, h, 1);
    if (next != empty_link) {
        h = next;
        uint32_t word = key_at(keys, h);
        uint32_t children = load_links(links, h);
        for (;;) {
            // The empty link has slots in the keys and the links too, so
            // fetching through it is harmless.
            const size_t left = link_half(children, 0), right = link_half(children, 1);
            const uint32_t left_word = key_at(keys, left);
            const uint32_t right_word = key_at(keys, right);
            const uint32_t left_children = load_links(links, left), right_children = load_links(links, right);
            const uint32_t node_word = word;
            next = left;
            word = left_word;
            children = left_children;
            if (node_word == key1) [[unlikely]] {
                // 5 bytes or more in common: compare the rest word by word.
                const size_t p = node_of(h);
                uint64_t a, b;
                const ptrdiff_t back = static_cast<ptrdiff_t>((r - p + lookahead_size - 1) & (window_size - 1)) -
                                       (lookahead_size - 1);
                const uint8_t* const other = linear ? key - back : win + p;
                const unsigned i = compare_from(key, other, 5, a, b);
                if (i >= lookahead_size) {
                    replace_node(h, r);
                    best_length_ = lookahead_size;
                    best_offset_ = ((r - static_cast<unsigned>(p)) & (window_size - 1)) - 1;
                    return;
                }
                if (find_match) keep_best(best_score, long_score(i, h, hr));
                take_if_above(a, b, next, right, word, right_word, children, right_children);
                if (next == empty_link) {
                    go_right = a > b;
                    break;
                }
            } else {
                // The usual step: bytes 1..4 decide.
                if (find_match) keep_best(best_score, step_score(key1 ^ node_word, h, hr));
                take_if_above(key1, node_word, next, right, word, right_word, children, right_children);
                if (next == empty_link) {
                    go_right = key1 > node_word;
                    break;
                }
            }
            h = next;
        }
    }
    link(links, h, go_right) = static_cast<uint16_t>(hr);
    up[r] = static_cast<uint16_t>(h);
    const unsigned best_length = 72 - (best_score >> 14);
    const unsigned found = 0 - static_cast<unsigned>(best_length >= min_match);  // a mask: whether a match counts
    best_length_ = best_length & found;
    best_offset_ = ((best_score & (4 * (window_size - 1))) / 4 - 1) & found;
}

// Puts position r in the place of the node with handle h, whose string equals
// r's: that node leaves the tree.
void Encoder::replace_node(size_t h, unsigned r) {
    uint8_t* const links = reinterpret_cast<uint8_t*>(st_.links);
    uint16_t* const up = st_.up_link;
    const size_t hr = handle(r), p = node_of(h);
    const size_t left_of_p = link(links, h, 0), right_of_p = link(links, h, 1);
    up[r] = up[p];
    link(links, hr, 0) = static_cast<uint16_t>(left_of_p);
    link(links, hr, 1) = static_cast<uint16_t>(right_of_p);
    up[node_of(left_of_p)] = static_cast<uint16_t>(hr);
    up[node_of(right_of_p)] = static_cast<uint16_t>(hr);
    const size_t parent = up[p];
    link(links, parent, link(links, parent, 1) == h) = static_cast<uint16_t>(hr);
    up[p] = empty_link;
}

// Removes position p from its tree (nothing when it is in none). A node with two
// children is replaced by its in-order predecessor. up_link is indexed by node
// and holds the handle of the node's parent.
//
// Which of the four shapes p has (no children, one on either side, two) and
// how far its predecessor lies are unpredictable, so all is chosen with masks
// but a walk of more than two steps to the predecessor, which is rare. The
// empty link is the one link with bit 14 set (positions' handles are below
// it), and stores that do not apply go to the empty link's slots, whose
// contents nothing uses (the search reads them only to throw them away).
inline size_t pick(size_t mask, size_t if_set, size_t if_clear) { return if_clear ^ ((if_clear ^ if_set) & mask); }

[[gnu::always_inline]] inline void Encoder::tree_delete(size_t p) {
    static_assert(empty_link == 1u << 14 && handle(window_size - 1) < empty_link);
    uint8_t* const links = reinterpret_cast<uint8_t*>(st_.links);
    uint16_t* const up = st_.up_link;
    if (up[p] == empty_link) return;
    const size_t hp = handle(p);
    const size_t left = link(links, hp, 0), right = link(links, hp, 1);
    const size_t two = 0 - (((left | right) >> 14) ^ 1);  // all ones when p has two children
    size_t q = pick(0 - (left >> 14), right, left);        // the only child, or the left one
    // With two children, q goes down the right links to p's predecessor.
    for (int step = 0; step < 2; ++step) {
        const size_t next = link(links, q, 1);
        q = pick(0 - ((two & ~next) >> 14 & 1), next, q);
    }
    while ((two & ~static_cast<size_t>(link(links, q, 1))) & empty_link) q = link(links, q, 1);
    // A predecessor below the left child leaves its place to its left child.
    const size_t moved = two & (0 - static_cast<size_t>(q != left));
    const size_t q_left = link(links, q, 0), q_up = up[node_of(q)];
    link(links, pick(moved, q_up, empty_link), 1) = static_cast<uint16_t>(q_left);
    up[node_of(pick(moved, q_left, empty_link))] = static_cast<uint16_t>(q_up);
    link(links, pick(moved, q, empty_link), 0) = static_cast<uint16_t>(left);
    up[node_of(left)] = static_cast<uint16_t>(q);   // undone below when q is left itself
    link(links, pick(two, q, empty_link), 1) = static_cast<uint16_t>(right);
    up[node_of(right)] = static_cast<uint16_t>(q);  // undone below when q is right itself
    const size_t parent = up[p];
    up[node_of(q)] = static_cast<uint16_t>(parent);
    link(links, parent, link(links, parent, 1) == hp) = static_cast<uint16_t>(q);
    up[p] = empty_link;
}

// Removes the oldest position `s` from the tree, stores the byte that replaces
// it when `refill`, and inserts position r: one call for each byte.
template <bool find_match, bool refill>
void Encoder::slide(unsigned s, unsigned r, uint8_t c) {
    tree_delete(s);
    if (refill) this->refill(s, c);
    tree_insert<find_match>(r);
}

// Stores byte c at window position s.
inline void Encoder::refill(unsigned s, uint8_t c) {
    st_.window[s] = c;
    if (s < lookahead_size - 1) st_.window[s + window_size] = c;
}

// The length of the common prefix of the strings at r and p (60: equal) and,
// when they differ, whether r's comes after p's.
inline unsigned Encoder::compare_strings(unsigned r, size_t p, bool& after) const {
    const uint8_t* const win = st_.window;
    uint64_t a = load_be64(win + r + 1), b = load_be64(win + p + 1);
    const unsigned i = a == b ? compare_from(win + r, win + p, 9, a, b) : 1 + (static_cast<unsigned>(std::countl_zero(a ^ b)) >> 3);
    after = a > b;
    return i;
}

// The node next to h in the tree's order, on side `side` (1: after it), or the
// empty link when h is the last on that side.
inline size_t Encoder::next_in_order(size_t h, size_t side) const {
    uint8_t* const links = reinterpret_cast<uint8_t*>(st_.links);
    size_t x = link(links, h, side);
    if (x != empty_link) {
        for (size_t y = link(links, x, side ^ 1); y != empty_link; y = link(links, x, side ^ 1)) x = y;
        return x;
    }
    for (;;) {
        const size_t parent = st_.up_link[node_of(h)];
        if (parent > empty_link) return empty_link;  // h is the top of its tree
        if (link(links, parent, side) != h) return parent;
        h = parent;
    }
}

// Inserts r starting from position q instead of from the root. The caller
// knows that r's string begins like q's (so q, when in a tree at all, is in
// r's), differs from it, and comes after it when `after`. Where the search
// from the root would attach r is fixed by r's neighbours in the tree's order
// alone (r becomes the child of one of them), and an equal string met on the
// way is replaced, as that search would do. For positions inside a match,
// which need no match of their own, q is the matching position: a long
// common prefix with it puts r a step or two away. False, with nothing
// changed, when q has left the tree or is too far: the caller then searches
// from the root.
bool Encoder::insert_near(unsigned r, size_t q, bool after) {
    uint8_t* const links = reinterpret_cast<uint8_t*>(st_.links);
    uint16_t* const up = st_.up_link;
    if (up[q] == empty_link) return false;
    const size_t hr = handle(r);
    st_.keys[r] = load_be32(st_.window + r + 1);
    const size_t side = after;
    size_t near = handle(q), far;
    for (unsigned steps = 0;; ++steps) {
        far = next_in_order(near, side);
        if (far == empty_link) break;
        bool after_far;
        if (compare_strings(r, node_of(far), after_far) >= lookahead_size) {
            replace_node(far, r);
            return true;
        }
        if (after_far != after) break;
        if (steps + 1 == near_steps) return false;
        near = far;
    }
    link(links, hr, 0) = link(links, hr, 1) = empty_link;
    if (link(links, near, side) == empty_link) {
        link(links, near, side) = static_cast<uint16_t>(hr);
        up[r] = static_cast<uint16_t>(near);
    } else {
        link(links, far, side ^ 1) = static_cast<uint16_t>(hr);
        up[r] = static_cast<uint16_t>(far);
    }
    return true;
}

// The removal on its own, for the last position of the input.
void Encoder::tree_delete_alone(size_t p) { tree_delete(p); }

// The source's next block, cut to the input still due; empty once the whole
// input has been taken. A source that fails or ends early stops the operation.
// Returned by value, so that the reading position stays in a register.
[[gnu::noinline]] Encoder::Block Encoder::next_block() {
    if (left_ == 0) return {nullptr, nullptr};
    const uint8_t* data = nullptr;
    const long long got = source_->next(data);
    if (got <= 0) throw Stop{Failure::cant_read};
    const size_t n = static_cast<unsigned long long>(got) < left_ ? static_cast<size_t>(got) : left_;
    left_ -= n;
    return {data, data + n};
}

// Empties the trees, then adds the strings that begin in the spaces before the
// first input byte (they are matchable, so a leading space can start a match)
// and the first byte's own, whose match it leaves in best_length_ and
// best_offset_: of them, those whose first byte `mine` accepts. The first
// byte's string is read at `lead` (see tree_insert_at), the spaces' before it.
template <bool linear, class Mine>
void Encoder::begin_trees(Mine&& mine, const uint8_t* lead) {
    for (unsigned b = 0; b < 256; ++b) link(reinterpret_cast<uint8_t*>(st_.links), handle(tree_root + b), 1) = empty_link;
    for (unsigned p = 0; p < window_size; ++p) st_.up_link[p] = empty_link;
    for (unsigned i = 1; i <= lookahead_size; ++i)
        if (mine(lead[-static_cast<ptrdiff_t>(i)])) tree_insert_at<false, linear>(window_start - i, lead - i);
    if (mine(lead[0])) tree_insert_at<true, linear>(window_start, lead);
}

// The input is read straight from the source's blocks: p runs through the
// current one up to `end`, and only when it runs out mid-item does the slide
// stop to fetch the next. Progress is checked with one comparison of p per
// item: report_at is where the next report falls in the current block (its
// end when it falls beyond), worked out again at each report and block.
void Encoder::run(ByteSource& source, size_t size) {
    uint8_t* const win = st_.window;
    source_ = &source;
    left_ = size;
    init_model(st_.model);
    std::memset(win, ' ', window_start);
    const size_t first = size < lookahead_size ? size : lookahead_size;
    Block block{nullptr, nullptr};
    take(win + window_start, first, block);
    const uint8_t* p = block.begin;
    const uint8_t* end = block.end;
    unsigned remaining = static_cast<unsigned>(first);
    unsigned r = window_start, s = 0;
    begin_trees<false>([](uint8_t) { return true; }, win + window_start);
    const Progress progress = st_.progress;
    size_t next_report = progress.report ? progress_interval : SIZE_MAX;
    size_t end_at = size - left_;  // input offset of `end`
    const uint8_t* report_at = nullptr;
    const auto aim = [&] {
        const size_t due = end_at > next_report ? end_at - next_report : 0;  // bytes of the block from the report on
        report_at = due >= static_cast<size_t>(end - p) ? p : end - due;
    };
    aim();
    do {
        bits_.reserve(64);
        if (best_length_ > remaining) best_length_ = remaining;
        unsigned last;
        unsigned match_from = 0;  // distance back to the coded match
        if (best_length_ < min_match) {
            last = 1;
            encode_symbol(win[r]);
        } else {
            last = best_length_;
            match_from = best_offset_ + 1;
            encode_symbol(253 + last);
            encode_offset(best_offset_);
        }
        // Inside a match of length L < 60 at distance d, the string at the
        // item's k-th position shares exactly L - k bytes with the one d back,
        // and byte L of the two orders them, the same for every k. (Byte L
        // is tested all the same: a match cut at the input's end goes on.)
        const unsigned src = (r - match_from) & (window_size - 1);
        const bool near = last >= min_match && last < lookahead_size && win[r + last] != win[src + last];
        const bool after = win[r + last] > win[src + last];
        unsigned i = 0;
        // Slide over the coded bytes, taking in as many new ones. Only the
        // match at the next item's position is used; positions inside the
        // item are only added to the tree. A block that runs out mid-item is
        // followed by the next one.
        for (; i < last; ++i) {
            if (p == end) [[unlikely]] {
                const Block block = next_block();
                if (block.begin == block.end) break;
                p = block.begin;
                end = block.end;
                end_at = size - left_;
                aim();
            }
            const uint8_t c = *p++;
            const unsigned at = s;
            s = (s + 1) & (window_size - 1);
            r = (r + 1) & (window_size - 1);
            if (i + 1 == last) {
                slide<true, true>(at, r, c);
            } else {
                tree_delete(at);
                refill(at, c);
                if (!(last - (i + 1) >= near_prefix && near && insert_near(r, (r - match_from) & (window_size - 1), after)))
                    tree_insert<false>(r);
            }
        }
        // At the end of the input the lookahead shrinks instead.
        for (; i < last; ++i) {
            if (remaining == 1) {
                tree_delete_alone(s);
                remaining = 0;
                break;
            }
            const unsigned at = s;
            s = (s + 1) & (window_size - 1);
            r = (r + 1) & (window_size - 1);
            --remaining;
            if (i + 1 == last)
                slide<true, false>(at, r, 0);
            else
                slide<false, false>(at, r, 0);
        }
        if (p >= report_at) [[unlikely]] {
            const size_t in = end_at - static_cast<size_t>(end - p);
            if (in >= next_report) {
                progress.report(progress.context, in, size);
                next_report = in + progress_interval;
            }
            aim();
        }
    } while (remaining > 0);
    bits_.finish();
}

// Codes every byte as a literal, with no match search.
void Encoder::run_literals(const uint8_t* data, size_t size) {
    init_model(st_.model);
    for (size_t i = 0; i < size; ++i) {
        bits_.reserve(64);
        encode_symbol(data[i]);
    }
    bits_.finish();
}

// The match search on threads of its own. How the trees change depends on the
// input bytes alone: which positions begin items decides only which of the
// matches found are used. So the search can run ahead of the coding, noting the
// match at every position, and the calling thread reads the input ahead into
// batches, reads the items off those notes in order and codes them, as the
// single search would have: the stream is the same. With several threads, the
// 256 trees (one per first byte) are shared out among them, and each adds and
// removes only the strings of its own trees, in the order the single search
// would: a string leaves its tree just before the first string added after its
// time is up. A thread needs no window of its own: a batch holds the input
// bytes it covers and the window's worth before them, where every string a
// step compares with can be read. So a thread spends nothing on the positions
// it skips but a pass that picks out its own, without a branch: no predictor
// gets a branch on each position's first byte right. (How many of its strings
// leave between two it adds varies all the same: with two threads, that loop
// is mispredicted at about every other position.)
constexpr size_t split_steps = size_t{1} << 16;  // positions a batch covers
constexpr size_t split_slots = 4;                 // batches in flight
constexpr size_t split_minimum = size_t{1} << 20;  // shorter inputs: the calling thread alone
constexpr unsigned max_parts = Codec::max_search_threads;

// The match noted for a position: length << 16 | offset, 0 when there is none
// (or the position is not in the thread's trees).
inline uint32_t noted_match(unsigned length, unsigned offset) { return length << 16 | offset; }  // offset is 0 without a match

// The positions j (the string beginning at input byte j, window position
// window_start + j) from `first` to first + count - 1 go through the same step
// as in run(): the oldest string leaves, the byte input[j + 59] (when there is
// one) takes its place, and the string at j goes in.
//
// bytes[split_history + i] is the byte the window holds for input offset
// first + i, from first - split_history to first + count + 58: spaces before
// the input and, past its end, the bytes the window keeps there (those of
// 4096 positions before, since the window is no longer refilled).
constexpr size_t split_history = window_size + 64;
struct SplitBatch {
    size_t first = 0, count = 0;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> found[max_parts];  // each thread's notes, by j - first
    // The string at position first + i.
    const uint8_t* string(size_t i) const { return bytes.data() + split_history + i; }
};

struct Split {
    Split(size_t input_size, unsigned threads) : parts(threads), batches((input_size - 2) / split_steps + 1) {}

    const unsigned parts;  // threads
    const size_t batches;  // covering positions 1 .. size - 1
    uint8_t part_of[256] = {};  // which thread has the tree of each first byte
    SplitBatch slots[split_slots];

    platform::Mutex mutex;
    platform::Condition changed;
    // Under the mutex:
    bool ready = false, quit = false;
    size_t filled = 0;             // batches the caller has filled (batch k is in slot k % split_slots)
    size_t done[max_parts] = {};   // batches each thread has finished
    uint32_t first_found[max_parts] = {};  // each thread's note for position 0
    std::unique_ptr<CodecState> states[max_parts];
    std::unique_ptr<platform::Thread> threads[max_parts];
    // Each thread's room, made by the caller, where a failure to get it is
    // reported: its positions in a batch, and its strings' steps (see search_part).
    std::vector<uint32_t> own[max_parts];
    std::vector<size_t> leaving[max_parts];
};

struct PartStart {
    Split* split;
    unsigned part;
};

void search_body(void* context) {
    const auto* start = static_cast<const PartStart*>(context);
    Split& split = *start->split;
    std::vector<uint8_t> unused;
    Encoder encoder(*split.states[start->part], unused);
    encoder.search_part(split, start->part);
}

// Shares the first bytes out so that each thread has about as many of the
// first batch's strings: the work goes with the number of strings.
void share_trees(Split& split, const uint8_t* bytes, size_t count) {
    size_t seen[256] = {};
    for (size_t i = 0; i < count; ++i) ++seen[bytes[i]];
    uint8_t order[256];
    for (unsigned b = 0; b < 256; ++b) order[b] = static_cast<uint8_t>(b);
    std::stable_sort(order, order + 256, [&](uint8_t x, uint8_t y) { return seen[x] > seen[y]; });
    size_t load[max_parts] = {};
    for (const uint8_t b : order) {
        unsigned least = 0;
        for (unsigned t = 1; t < split.parts; ++t)
            if (load[t] < load[least]) least = t;
        split.part_of[b] = static_cast<uint8_t>(least);
        load[least] += seen[b] + 1;
    }
}

void Encoder::search_part(Split& split, unsigned part) {
    {
        platform::Lock lock(split.mutex);
        while (!split.ready && !split.quit) split.changed.wait(split.mutex);
        if (split.quit) return;
    }
    const uint8_t* const part_of = split.part_of;
    const uint8_t mine = static_cast<uint8_t>(part);
    const auto is_mine = [&](uint8_t b) { return part_of[b] == mine; };
    // The strings in this thread's trees, oldest first, each as the step at
    // which it leaves (the one whose refill takes its first byte's place):
    // window_start + 1 steps after the one that added it. Its window position
    // is that step minus one. A string that an equal one replaced is met here
    // all the same, and its removal does nothing.
    constexpr size_t stay = window_start + 1;
    size_t* const leaving = split.leaving[part].data();  // SIZE_MAX after the newest: no step is that late
    const size_t ring = split.leaving[part].size() - 1;
    size_t oldest = 0, added = 0;
    const auto note_added = [&](size_t leaves) {
        leaving[added++ & ring] = leaves;
        leaving[added & ring] = SIZE_MAX;
    };
    const uint8_t* const lead = split.slots[0].string(0) - 1;  // input byte 0's string
    begin_trees<true>(is_mine, lead);
    for (unsigned i = lookahead_size; i >= 1; --i)
        if (is_mine(lead[-static_cast<ptrdiff_t>(i)])) note_added(stay - i);
    if (is_mine(lead[0])) note_added(stay);
    {
        platform::Lock lock(split.mutex);
        split.first_found[part] = noted_match(best_length_, best_offset_);  // 0 when position 0 is not this thread's
    }
    uint32_t* const own = split.own[part].data();
    for (size_t k = 0; k < split.batches; ++k) {
        {
            platform::Lock lock(split.mutex);
            while (split.filled <= k && !split.quit) split.changed.wait(split.mutex);
            if (split.quit) return;
        }
        SplitBatch& batch = split.slots[k % split_slots];
        const uint8_t* const bytes = batch.string(0);
        uint32_t* const found = batch.found[part].data();
        if (split.parts == 1) {
            // Every string is this thread's: the oldest leaves at each step.
            for (size_t i = 0; i < batch.count; ++i) {
                const size_t j = batch.first + i;
                tree_delete(static_cast<unsigned>(j - 1) & (window_size - 1));
                tree_insert_at<true, true>(static_cast<unsigned>(window_start + j) & (window_size - 1), bytes + i);
                found[i] = noted_match(best_length_, best_offset_);
            }
        } else {
            size_t count = 0;
            for (size_t i = 0; i < batch.count; ++i) {
                found[i] = 0;
                own[count] = static_cast<uint32_t>(i);
                count += is_mine(bytes[i]);
            }
            for (size_t n = 0; n < count; ++n) {
                const size_t i = own[n];
                const size_t j = batch.first + i;
                while (leaving[oldest & ring] <= j) tree_delete((leaving[oldest++ & ring] - 1) & (window_size - 1));
                const unsigned r = static_cast<unsigned>(window_start + j) & (window_size - 1);
                tree_insert_at<true, true>(r, bytes + i);
                found[i] = noted_match(best_length_, best_offset_);
                note_added(j + stay);
            }
        }
        platform::Lock lock(split.mutex);
        split.done[part] = k + 1;
        split.changed.notify_all();
    }
}

// Copies `count` bytes of the input to `to`, from `block` on and then the
// blocks after it.
void Encoder::take(uint8_t* to, size_t count, Block& block) {
    while (count > 0) {
        if (block.begin == block.end) {
            block = next_block();
            if (block.begin == block.end) throw Stop{Failure::cant_read};
        }
        const size_t n = std::min(count, static_cast<size_t>(block.end - block.begin));
        std::memcpy(to, block.begin, n);
        to += n;
        block.begin += n;
        count -= n;
    }
}

bool Encoder::run_split(ByteSource& source, size_t size, unsigned threads) {
    Split split(size, threads);
    for (SplitBatch& slot : split.slots) {
        slot.bytes.resize(split_history + split_steps + lookahead_size + 8);
        for (unsigned t = 0; t < threads; ++t) slot.found[t].resize(split_steps);
    }
    PartStart starts[max_parts];
    for (unsigned t = 0; t < threads; ++t) {
        split.states[t] = std::make_unique<CodecState>();
        split.own[t].resize(split_steps);
        split.leaving[t].assign(2 * window_size, SIZE_MAX);
        split.threads[t] = std::make_unique<platform::Thread>();
        starts[t] = {&split, t};
    }
    // Whatever ends the run (its end, a failed read or write), the threads
    // are told to stop and waited for before the batches go.
    struct Stopper {
        Split& split;
        ~Stopper() {
            {
                platform::Lock lock(split.mutex);
                split.quit = true;
                split.changed.notify_all();
            }
            for (auto& thread : split.threads)
                if (thread) thread->join();
        }
    } stopper{split};
    for (unsigned t = 0; t < threads; ++t)
        if (!split.threads[t]->start(&search_body, &starts[t])) return false;

    uint8_t* const win = st_.window;
    source_ = &source;
    left_ = size;
    init_model(st_.model);
    std::memset(win, ' ', window_start);
    Block block{nullptr, nullptr};
    take(win + window_start, lookahead_size, block);  // size is far above 60
    const uint8_t lead = win[window_start];
    // Fills batch k (every earlier one filled): its bytes start with the last
    // split_history + 59 of the batch before, or with spaces and input bytes
    // 0..59.
    const auto fill = [&](size_t k) {
        SplitBatch& batch = split.slots[k % split_slots];
        uint8_t* const bytes = batch.bytes.data();
        batch.first = 1 + k * split_steps;
        batch.count = std::min(split_steps, size - batch.first);
        const size_t kept = split_history + lookahead_size - 1;
        const size_t have = split_history + std::min(batch.count + lookahead_size - 1, size - batch.first);
        if (k == 0) {
            std::memset(bytes, ' ', split_history - 1);
            std::memcpy(bytes + split_history - 1, win + window_start, lookahead_size);
        } else {
            std::memcpy(bytes, split.slots[(k - 1) % split_slots].bytes.data() + split_steps, kept);
        }
        if (have > kept) take(bytes + kept, have - kept, block);
        // Past the input's end (and in the slack the compares read), what the window holds there.
        for (size_t i = std::max(have, kept); i < batch.bytes.size(); ++i) bytes[i] = bytes[i - window_size];
    };
    fill(0);
    share_trees(split, split.slots[0].string(0), split.slots[0].count);
    size_t filled = 1;
    {
        platform::Lock lock(split.mutex);
        split.ready = true;
        split.filled = 1;
        split.changed.notify_all();
    }

    const Progress progress = st_.progress;
    size_t next_report = progress.report ? progress_interval : SIZE_MAX;
    size_t j = 0;  // where the next item begins
    // Codes the item at j, whose match the threads noted as `note`.
    const auto code_item = [&](uint32_t note, uint8_t byte) {
        bits_.reserve(64);
        const size_t remaining = std::min<size_t>(lookahead_size, size - j);
        size_t length = note >> 16;
        if (length > remaining) length = remaining;
        if (length < min_match) {
            encode_symbol(byte);
            ++j;
        } else {
            encode_symbol(253 + static_cast<unsigned>(length));
            encode_offset(note & 0xFFFF);
            j += length;
        }
        const size_t in = std::min(j + lookahead_size, size);
        if (in >= next_report) [[unlikely]] {
            progress.report(progress.context, in, size);
            next_report = in + progress_interval;
        }
    };
    for (size_t k = 0; k < split.batches; ++k) {
        // Reads ahead as far as the slots go, then waits for batch k.
        for (; filled < split.batches && filled < k + split_slots; ++filled) {
            fill(filled);
            platform::Lock lock(split.mutex);
            split.filled = filled + 1;
            split.changed.notify_all();
        }
        uint32_t first_note = 0;
        {
            platform::Lock lock(split.mutex);
            for (unsigned t = 0; t < threads; ++t)
                while (split.done[t] <= k) split.changed.wait(split.mutex);
            if (k == 0)
                for (unsigned t = 0; t < threads; ++t) first_note |= split.first_found[t];
        }
        if (k == 0) code_item(first_note, lead);
        const SplitBatch& batch = split.slots[k % split_slots];
        const uint8_t* const bytes = batch.string(0);
        const size_t end = batch.first + batch.count;
        while (j < end) {
            const size_t i = j - batch.first;
            uint32_t note = 0;
            for (unsigned t = 0; t < threads; ++t) note |= batch.found[t][i];
            code_item(note, bytes[i]);
        }
    }
    bits_.finish();
    // The window the single search leaves: the input's last 4096 bytes, each
    // where it was refilled (the input is far longer than the window).
    const SplitBatch& last = split.slots[(split.batches - 1) % split_slots];
    const uint8_t* const end = last.string(last.count);  // input offset `size`
    for (size_t back = 1; back <= window_size; ++back) win[(window_start + size - back) & (window_size - 1)] = end[-static_cast<ptrdiff_t>(back)];
    std::memcpy(win + window_size, win, lookahead_size - 1);
    return true;
}

void write_header(std::vector<uint8_t>& out, size_t size) {
    out.clear();
    // Room for incompressible input from the start: growing later would copy,
    // holding the old and the new buffer at once.
    out.reserve(size + size / 8 + 256);
    out.resize(4);
    const auto length = static_cast<uint32_t>(size);
    for (unsigned k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(length >> (8 * k));
}

// Codes `size` bytes taken from `source` into `out`, or through it into `sink`.
// Both encode_stream()s come here, so that run() has a single caller and is
// inlined into it, the state then being this function's parameter rather than
// a reference loaded from the encoder.
[[gnu::noinline]] void encode(CodecState& st, ByteSource& source, size_t size, std::vector<uint8_t>& out, ByteSink* sink) {
    Encoder encoder(st, out, sink);
    if (st.search_threads > 0 && size >= split_minimum && encoder.run_split(source, size, st.search_threads)) return;
    encoder.run(source, size);
}

}  // namespace

void encode_literals(CodecState& st, const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    write_header(out, size);
    Encoder encoder(st, out);
    encoder.run_literals(data, size);
}

void encode_stream(CodecState& st, const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    write_header(out, size);
    MemorySource source(data, size);
    encode(st, source, size, out, nullptr);
}

Failure encode_stream(CodecState& st, ByteSource& source, size_t size, ByteSink& sink) {
    // Room for a piece and the largest item written after the last check.
    std::vector<uint8_t> buffer(piece_size + 128);
    const auto length = static_cast<uint32_t>(size);
    for (unsigned k = 0; k < 4; ++k) buffer[k] = static_cast<uint8_t>(length >> (8 * k));
    try {
        encode(st, source, size, buffer, &sink);
    } catch (const Stop& stop) {
        return stop.why;
    }
    return Failure::none;
}

}  // namespace qx::codec
