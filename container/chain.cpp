// The forward and inverse chains a block at a time.
#include "container/chain.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qx::container {

namespace {

// A shuffle partner lies at most this far from its step.
constexpr uint64_t reach = 255;

// One shuffle step at q: exchanges the byte with the one x places on.
inline void swap_at(uint8_t* q, size_t x) {
    const uint8_t here = q[0], there = q[x];
    q[0] = there;
    q[x] = here;
}

// The two bytes of every pair in a word exchanged.
inline uint64_t swap_pairs(uint64_t w) {
    return ((w >> 8) & 0x00FF00FF00FF00FFull) | ((w << 8) & 0xFF00FF00FF00FF00ull);
}

// Every byte of a word negated on its own: the complement plus one, with no
// carry from one byte into the next.
inline uint64_t negate_bytes(uint64_t w) {
    const uint64_t c = ~w;
    return ((c & 0x7F7F7F7F7F7F7F7Full) + 0x0101010101010101ull) ^ (c & 0x8080808080808080ull);
}

// Pair swap and negation of every byte but the last, in place over plaintext
// positions [from, to) of a plaintext of `size` bytes; b[0] is position s. `from`
// is even and `to` even or the size: a complete pair at a time, four pairs at a
// time in a 64-bit word while they end before the last byte.
void prepare(uint8_t* b, uint64_t s, uint64_t from, uint64_t to, uint64_t size) {
    const uint64_t last = size - 1;
    uint64_t i = from;
    for (; i + 8 <= to && i + 7 < last; i += 8) {
        uint64_t word;
        std::memcpy(&word, b + (i - s), 8);
        word = negate_bytes(swap_pairs(word));
        std::memcpy(b + (i - s), &word, 8);
    }
    for (; i + 2 <= to && i + 1 < last; i += 2) {
        const uint8_t first = b[i - s], second = b[i + 1 - s];
        b[i - s] = static_cast<uint8_t>(0u - second);
        b[i + 1 - s] = static_cast<uint8_t>(0u - first);
    }
    if (i + 2 <= to) {
        // The pair that holds the last byte: swapped, and only its first byte negated.
        std::swap(b[i - s], b[i + 1 - s]);
        b[i - s] = static_cast<uint8_t>(0u - b[i - s]);
    }
    // An odd last byte stays as it is.
}

// The key repeated to a whole number of passes of at least 64 steps and a
// multiple of four: a span of steps that ends where the key starts again.
std::vector<uint32_t> key_span(const uint8_t* key, size_t n) {
    std::vector<uint32_t> span;
    if (n == 0) return span;
    size_t length = n;
    while (length < 64 || length % 4 != 0) length += n;
    span.resize(length);
    for (size_t j = 0; j < length; ++j) span[j] = key[j % n];
    return span;
}

// The shuffle steps from `step` up to `clear`, none of whose partners needs
// clamping, on b (b[0] is position s) with key index k at the first; returns the
// key index after them. Up to the start of a span of the key step by step, then
// whole spans, four steps at a time with no wrap of the key index to test.
size_t clear_steps(uint8_t* b, uint64_t s, uint64_t step, uint64_t clear, size_t k, const uint8_t* key, size_t n,
                   const std::vector<uint32_t>& key_spans) {
    for (; step < clear && k != 0; ++step) {
        std::swap(b[step - s], b[step - s + key[k]]);
        if (++k == n) k = 0;
    }
    const size_t span = key_spans.size();
    for (; step < clear && clear - step >= span; step += span) {
        uint8_t* const q = b + (step - s);
        const uint32_t* const x = key_spans.data();
        for (size_t j = 0; j < span; j += 4) {
            swap_at(q + j, x[j]);
            swap_at(q + j + 1, x[j + 1]);
            swap_at(q + j + 2, x[j + 2]);
            swap_at(q + j + 3, x[j + 3]);
        }
    }
    for (; step < clear; ++step) {
        std::swap(b[step - s], b[step - s + key[k]]);
        if (++k == n) k = 0;
    }
    return k;
}

// The shuffle steps from `step` up to `end` on b (b[0] is position s), with key
// index k at the first; returns the key index after them. A partner past `last`
// is `last`; the steps before any partner can reach it run as clear_steps.
size_t shuffle_steps(uint8_t* b, uint64_t s, uint64_t step, uint64_t end, size_t k, const uint8_t* key, size_t n,
                     uint64_t last, const std::vector<uint32_t>& key_spans) {
    const uint64_t clear = std::min(end, last >= reach ? last - reach + 1 : 0);
    k = clear_steps(b, s, step, clear, k, key, n, key_spans);
    for (step = std::max(step, clear); step < end; ++step) {
        std::swap(b[step - s], b[std::min<uint64_t>(step + key[k], last) - s]);
        if (++k == n) k = 0;
    }
    return k;
}

// Copies `count` bytes reversed: eight bytes at a time, their order turned within
// the word, then the rest one by one.
void reverse_into(const uint8_t* from, uint8_t* to, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t word;
        std::memcpy(&word, from + i, 8);
        word = __builtin_bswap64(word);
        std::memcpy(to + count - 8 - i, &word, 8);
    }
    for (; i < count; ++i) to[count - 1 - i] = from[i];
}

// Hands the first `count` bytes of `buffer`, final and in chain order, to `emit`
// reversed, as the result's bytes just before `end`, and drops them: both chains
// run opposite to the order of their result.
bool emit_reversed(std::vector<uint8_t>& buffer, std::vector<uint8_t>& out, size_t count, uint64_t end,
                   const Emit& emit) {
    out.resize(count);
    reverse_into(buffer.data(), out.data(), count);
    const bool ok = emit(end - count, out.data(), count);
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
    return ok;
}

// Appends `count` bytes to `buffer` at most `block` at a time, running the chain
// after each part so that the buffer never holds much more than a block.
template <typename Run>
bool feed(std::vector<uint8_t>& buffer, uint64_t& filled, size_t block, const uint8_t* data, size_t count, Run run) {
    while (count > 0) {
        const size_t part = std::min(count, block);
        buffer.insert(buffer.end(), data, data + part);
        filled += part;
        data += part;
        count -= part;
        if (!run()) return false;
    }
    return true;
}

}  // namespace

ForwardChain::ForwardChain(uint64_t size, std::string_view password, size_t block)
    : password_(reinterpret_cast<const uint8_t*>(password.data())), n_(password.size()), size_(size),
      last_(size > 0 ? size - 1 : 0), block_(block > 2 * reach ? block : 2 * reach) {
    buffer_.reserve(2 * block_ + 2 * reach);
    span_ = key_span(password_, n_);
}

bool ForwardChain::push(const uint8_t* data, size_t count, const Emit& emit) {
    if (count > size_ - filled_) return false;
    return feed(buffer_, filled_, block_, data, count, [&] { return run(false, emit); });
}

bool ForwardChain::finish(const Emit& emit) { return filled_ == size_ && run(true, emit); }

int ForwardChain::key_index() const { return static_cast<int>(k_ == 0 ? n_ - 1 : k_ - 1); }

// The loops work on local copies of the positions: stores through the byte
// buffer could otherwise change the members, which would then be reloaded after
// every byte.
bool ForwardChain::run(bool at_end, const Emit& emit) {
    uint8_t* const b = buffer_.data();
    const uint64_t s = start_, last = last_;
    // Pair swap and negation of every complete pair that is in; an odd last byte stays.
    uint64_t prepared = prepared_ + ((filled_ - prepared_) & ~uint64_t{1});
    prepare(b, s, prepared_, prepared, size_);
    if (at_end) prepared = filled_;
    prepared_ = prepared;

    // Key shuffle: a step needs its partners, up to 255 places on or the last byte.
    uint64_t limit = 0;
    if (prepared == size_) limit = last;
    else if (prepared > reach) limit = prepared - reach;
    if (size_ >= 2 && n_ > 0) {
        k_ = shuffle_steps(b, s, step_, limit, k_, password_, n_, last, span_);
        step_ = std::max(step_, limit);
    }
    // Every position before the next step is final; the last one once all steps are done.
    if (at_end) return hand_out(size_, emit);
    if (step_ - start_ >= block_) return hand_out(step_, emit);
    return true;
}

bool ForwardChain::hand_out(uint64_t upto, const Emit& emit) {
    const size_t count = static_cast<size_t>(upto - start_);
    if (count == 0) return true;
    // Position q goes to region offset last - q: the block reversed.
    const uint64_t end = size_ - start_;
    start_ = upto;
    return emit_reversed(buffer_, out_, count, end, emit);
}

OrderedForwardChain::OrderedForwardChain(uint64_t size, std::string_view password, size_t segment)
    : password_(reinterpret_cast<const uint8_t*>(password.data())), n_(password.size()), size_(size),
      last_(size > 0 ? size - 1 : 0), span_(key_span(password_, n_)) {
    // Segments start where the key starts again, and on the first byte of a pair.
    const uint64_t unit = n_ % 2 == 0 ? std::max<uint64_t>(n_, 2) : 2 * n_;
    const uint64_t wanted = std::max<uint64_t>(segment, 4 * reach);
    length_ = (wanted + unit - 1) / unit * unit;
    // Segments move their bytes alike only while no partner needs clamping: all
    // but the last end at least 256 bytes before the last byte.
    if (n_ > 0 && last_ >= 256 + length_) interior_ = (last_ - 256) / length_;
    remaining_ = size_ == 0 ? 0 : interior_ + 1;
}

int OrderedForwardChain::key_index() const {
    const uint64_t steps = size_ >= 2 ? last_ : 0;
    const size_t k = n_ > 0 ? static_cast<size_t>(steps % n_) : 0;
    return static_cast<int>(k == 0 ? n_ - 1 : k - 1);
}

// Plaintext positions [from, to) after the pair swap and the negation, into `into`.
bool OrderedForwardChain::read_prepared(const ReadPlain& read, uint64_t from, uint64_t to, uint8_t* into) {
    if (from >= to) return true;
    // Whole pairs are read: a pair's bytes trade places.
    const uint64_t a = from & ~uint64_t{1}, b = std::min(size_, to + (to & 1));
    read_.resize(static_cast<size_t>(b - a));
    if (!read(a, read_.data(), read_.size())) return false;
    prepare(read_.data(), a, a, b, size_);
    std::memcpy(into, read_.data() + (from - a), static_cast<size_t>(to - from));
    return true;
}

// The 255 bytes at the start of each segment as its first step finds them.
// Segment 0 finds the plaintext's own. A later segment finds what the steps of
// the one before carried there: each such byte is either one that segment began
// with, or one of its own, read from where it began. Which, follows from running
// the steps of one segment on labels instead of bytes, in a ring of the 256
// positions that a step can reach.
bool OrderedForwardChain::find_carried(const ReadPlain& read) {
    constexpr size_t carry = reach;
    carried_.assign((interior_ + 1) * carry, 0);
    if (!read_prepared(read, 0, carry, carried_.data())) return false;
    int64_t ring[256];  // label of the byte at each position: -1 - t for the t-th it began with, else the position
    for (size_t t = 0; t < carry; ++t) ring[t] = -1 - static_cast<int64_t>(t);
    size_t k = 0;
    for (uint64_t j = 0; j < length_; ++j) {
        ring[(j + carry) & 255] = static_cast<int64_t>(j + carry);  // a position no step has reached yet
        std::swap(ring[j & 255], ring[(j + password_[k]) & 255]);
        if (++k == n_) k = 0;
    }
    int64_t label[carry];
    int64_t low = INT64_MAX, high = -1;
    for (size_t c = 0; c < carry; ++c) {
        label[c] = ring[(length_ + c) & 255];
        if (label[c] >= 0) low = std::min(low, label[c]), high = std::max(high, label[c]);
    }
    std::vector<uint8_t> own(high >= low ? static_cast<size_t>(high - low + 1) : 0);
    for (uint64_t segment = 1; segment <= interior_; ++segment) {
        const uint64_t base = (segment - 1) * length_;
        if (!own.empty() && !read_prepared(read, base + static_cast<uint64_t>(low), base + static_cast<uint64_t>(high) + 1,
                                           own.data()))
            return false;
        const uint8_t* const before = carried_.data() + (segment - 1) * carry;
        uint8_t* const found = carried_.data() + segment * carry;
        for (size_t c = 0; c < carry; ++c)
            found[c] = label[c] >= 0 ? own[static_cast<size_t>(label[c] - low)] : before[-1 - label[c]];
    }
    return true;
}

bool OrderedForwardChain::next(const ReadPlain& read, const Emit& emit) {
    if (remaining_ == 0) return false;
    const bool ok = [&] {
        if (interior_ > 0 && !carried_found_) {
            if (!find_carried(read)) return false;
            carried_found_ = true;
        }
        const uint64_t segment = remaining_ - 1;
        const bool final_segment = segment == interior_;
        const uint64_t from = segment * length_;
        const uint64_t to = final_segment ? size_ : from + length_;  // the positions it makes final
        const uint64_t touched = final_segment ? size_ : to + reach;
        // Whole pairs are read, straight into place: one byte more for the pair
        // that the last touched byte begins.
        const uint64_t read_end = std::min(size_, touched + (touched & 1));
        buffer_.resize(static_cast<size_t>(read_end - from));
        uint8_t* const b = buffer_.data();
        if (segment == 0) {
            if (!read(0, b, static_cast<size_t>(read_end))) return false;
            prepare(b, 0, 0, read_end, size_);
        } else {
            // The carried bytes, then the segment's own from the pair that holds
            // the first of them, which stays the carried one.
            std::memcpy(b, carried_.data() + segment * reach, reach);
            const uint8_t kept = b[reach - 1];
            const uint64_t own = from + reach - 1;
            if (!read(own, b + (reach - 1), static_cast<size_t>(read_end - own))) return false;
            prepare(b, from, own, read_end, size_);
            b[reach - 1] = kept;
        }
        // The key index is 0 at every segment's start.
        if (size_ >= 2 && n_ > 0)
            shuffle_steps(b, from, from, final_segment ? last_ : to, 0, password_, n_, last_, span_);
        const size_t count = static_cast<size_t>(to - from);
        out_.resize(count);
        reverse_into(b, out_.data(), count);
        return emit(size_ - to, out_.data(), count);
    }();
    remaining_ = ok ? remaining_ - 1 : 0;
    return ok;
}

InverseChain::InverseChain(uint64_t size, std::string_view password, int key_index, size_t block)
    : password_(reinterpret_cast<const uint8_t*>(password.data())), n_(password.size()), size_(size),
      block_(block > 2 * reach ? block : 2 * reach) {
    // The backward shuffle takes `steps` key bytes counting down from the index; it
    // must end one before the index the forward chain started with.
    const uint64_t steps = size >= 2 ? size - 1 : 0;
    consistent_ = n_ > 0 && key_index >= 0 && static_cast<size_t>(key_index) < n_ &&
                  (static_cast<uint64_t>(key_index) + 1) % n_ == steps % n_;
    k_ = consistent_ ? static_cast<size_t>(key_index) : 0;
    if (consistent_) buffer_.reserve(2 * block_ + 2 * reach);
}

bool InverseChain::push(const uint8_t* data, size_t count, const Emit& emit) {
    if (count > size_ - filled_) return false;
    if (!consistent_) {
        filled_ += count;
        return true;
    }
    return feed(buffer_, filled_, block_, data, count, [&] { return run(false, emit); });
}

bool InverseChain::finish(const Emit& emit) { return filled_ == size_ && (!consistent_ || run(true, emit)); }

bool InverseChain::run(bool at_end, const Emit& emit) {
    // In region order the backward shuffle runs forward: region position m is the
    // chain's position last - m, and its step exchanges it with the position up to
    // 255 before it (or with position 0 where that would fall before the start).
    uint8_t* const b = buffer_.data();
    const uint64_t s = start_;
    const uint8_t* const key = password_;
    const size_t n = n_;
    const uint64_t limit = filled_;
    uint64_t step = step_;
    size_t k = k_;
    const uint64_t clear = std::min<uint64_t>(limit, reach + 1);
    for (; step < clear; ++step) {
        const uint64_t x = key[k];
        const uint64_t partner = step >= x ? step - x : 0;
        std::swap(b[step - s], b[partner - s]);
        k = k == 0 ? n - 1 : k - 1;
    }
    for (; step < limit; ++step) {
        std::swap(b[step - s], b[step - s - key[k]]);
        k = k == 0 ? n - 1 : k - 1;
    }
    step_ = step;
    k_ = k;
    if (at_end) return hand_out(size_, emit);
    // Steps from step_ on reach back no further than step_ - 255.
    if (step_ > reach && step_ - reach - start_ >= block_) return hand_out(step_ - reach, emit);
    return true;
}

bool InverseChain::hand_out(uint64_t upto, const Emit& emit) {
    // The pair swap pairs region positions m and m + 1 for m of the size's parity
    // (with an odd size, position 0, the chain's last byte, stays alone): cut
    // between pairs only.
    if (upto < size_ && upto > 0 && (upto & 1) != (size_ & 1)) --upto;
    const size_t count = static_cast<size_t>(upto - start_);
    if (count == 0) return true;
    uint8_t* const b = buffer_.data();
    const uint64_t s = start_;
    // Negation of every byte but the chain's last (region position 0).
    for (uint64_t m = s == 0 ? 1 : s; m < upto; ++m) b[m - s] = static_cast<uint8_t>(0u - b[m - s]);
    uint64_t m = s;
    if (m == 0 && (size_ & 1) != 0) m = 1;
    for (; m + 1 < upto; m += 2) std::swap(b[m - s], b[m + 1 - s]);
    // Region position m is plaintext position last - m: the block reversed.
    const uint64_t end = size_ - start_;
    start_ = upto;
    return emit_reversed(buffer_, out_, count, end, emit);
}

}  // namespace qx::container
