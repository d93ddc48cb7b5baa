// The sealing and opening steps over any store, a block at a time.
#include "container/sealed.hpp"

#include "container/overlap.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace qx::container {

bool MemoryStore::write_at(uint64_t offset, const uint8_t* data, size_t count) {
    if (offset > SIZE_MAX - count) return false;
    const size_t end = static_cast<size_t>(offset) + count;
    try {
        if (end > bytes.size()) bytes.resize(end);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (count > 0) std::memcpy(bytes.data() + offset, data, count);
    return true;
}

bool MemoryStore::read_at(uint64_t offset, uint8_t* data, size_t count) {
    if (offset > bytes.size() || count > bytes.size() - offset) return false;
    if (count > 0) std::memcpy(data, bytes.data() + offset, count);
    return true;
}

bool MemoryStore::truncate(uint64_t size) {
    if (size > bytes.size()) return false;
    bytes.resize(static_cast<size_t>(size));
    return true;
}

long long MemorySource::next(const uint8_t*& data) {
    if (size_ == 0) return 0;
    data = data_;
    const size_t size = size_;
    size_ = 0;
    return static_cast<long long>(size);
}

long long StoreSource::next_before(const uint8_t*& data, uint64_t end) {
    const uint64_t before = end > at_ ? end - at_ : 0;
    const size_t part = static_cast<size_t>(std::min({left_, before, uint64_t{1} << 20}));
    if (part == 0) return 0;
    try {
        if (buffer_.size() < part) buffer_.resize(part);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    if (!store_.read_at(at_, buffer_.data(), part)) return -1;
    at_ += part;
    left_ -= part;
    data = buffer_.data();
    return static_cast<long long>(part);
}

namespace {

constexpr size_t move_piece = size_t{1} << 20;

// Moves `count` bytes of `store` from offset `from` to offset `to`, in pieces,
// in the order that never overwrites a byte before it has been moved.
bool move_within(Store& store, uint64_t from, uint64_t to, uint64_t count) {
    if (count == 0 || from == to) return true;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(count, move_piece)));
    for (uint64_t done = 0; done < count;) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(count - done, buffer.size()));
        // Towards the start: first pieces first; towards the end: last pieces first.
        const uint64_t at = to < from ? done : count - done - part;
        if (!store.read_at(from + at, buffer.data(), part) || !store.write_at(to + at, buffer.data(), part))
            return false;
        done += part;
    }
    return true;
}

// Writes what a step produces to a store, one offset after the other.
class StoreSink final : public codec::ByteSink {
public:
    StoreSink(Store& to, uint64_t at) : to_(to), at_(at) {}
    bool put(const uint8_t* data, size_t size) override {
        if (!to_.write_at(at_, data, size)) {
            failed_ = true;
            return false;
        }
        at_ += size;
        return true;
    }
    uint64_t at() const { return at_; }
    bool failed() const { return failed_; }

private:
    Store& to_;
    uint64_t at_;
    bool failed_ = false;
};

// The plaintext from the inverse chain, from its end towards its start: the
// contents go to the store at the offsets that a 12-byte identification text
// gives them, its first bytes stay in memory, and the first ESC byte is tracked.
class Opener {
public:
    Opener(Store& to, uint64_t plain, bool write) : to_(to), plain_(plain), write_(write) {}

    bool take(uint64_t q, const uint8_t* data, size_t count) {
        if (const void* esc = std::memchr(data, esc_byte, count))
            esc_ = std::min(esc_, q + static_cast<uint64_t>(static_cast<const uint8_t*>(esc) - data));
        if (q < sizeof head_) std::memcpy(head_ + q, data, std::min<uint64_t>(count, sizeof head_ - q));
        if (!write_ || q + count <= usual_start) return true;
        const uint64_t from = std::max<uint64_t>(q, usual_start);
        if (to_.write_at(from - usual_start, data + (from - q), static_cast<size_t>(q + count - from))) return true;
        failed_ = true;
        return false;
    }

    // Once the whole plaintext has passed: moves the contents into place when the
    // text had another length.
    Fault finish(uint64_t& contents_size, std::string& identification) {
        if (esc_ >= plain_) return Fault::damaged;  // only a damaged file that passed both tests
        const uint64_t start = esc_ + 1;
        contents_size = plain_ - start;
        identification = displayed_identification(head_, static_cast<size_t>(std::min<uint64_t>(esc_, 255)));
        if (start == usual_start || !write_) return Fault::none;
        bool ok;
        if (start < usual_start) {
            // Later by the difference, with the bytes between from memory in front.
            const uint64_t stored = plain_ > usual_start ? plain_ - usual_start : 0;
            const uint64_t shift = usual_start - start;
            const size_t front = static_cast<size_t>(std::min(plain_, usual_start) - start);
            ok = move_within(to_, 0, shift, stored) && to_.write_at(0, head_ + start, front);
        } else {
            ok = move_within(to_, start - usual_start, 0, contents_size) && to_.truncate(contents_size);
        }
        if (!ok) failed_ = true;
        return ok ? Fault::none : Fault::write_failed;
    }
    bool failed() const { return failed_; }

private:
    static constexpr uint64_t usual_start = identification_text.size() + 1;
    Store& to_;
    const uint64_t plain_;
    const bool write_;
    uint8_t head_[256] = {};  // plaintext bytes 0..255: the displayed text and what may precede the contents
    uint64_t esc_ = UINT64_MAX;
    bool failed_ = false;
};

// Hands the decoded stream to the inverse chain.
class ChainSink final : public codec::ByteSink {
public:
    ChainSink(InverseChain& chain, const Emit& emit) : chain_(chain), emit_(emit) {}
    bool put(const uint8_t* data, size_t size) override { return chain_.push(data, size, emit_); }

private:
    InverseChain& chain_;
    const Emit& emit_;
};

// A stream of `region` bytes decodes to at most this many: no item yields more
// than 8 bytes per bit it takes. Writing beyond it would only spread a damaged
// file's claim over the disk before the codec finds the damage.
uint64_t most_decoded(uint64_t region) { return region * 64 + 4096; }

// The most that the codec hands a sink at once.
constexpr uint64_t decoded_piece = uint64_t{1} << 20;

}  // namespace

Fault encipher_contents(codec::ByteSource& contents, uint64_t size, std::string_view password, Store& to,
                        uint64_t base, uint64_t split, int& key) {
    if (password.empty()) return Fault::bad_argument;
    const size_t t = identification_text.size();
    ForwardChain chain(t + 1 + size, password);
    bool refused = false;
    const Emit emit = [&](uint64_t r, const uint8_t* data, size_t count) {
        // A piece that reaches over the check block's place goes on both sides of it.
        const size_t before = r < split ? static_cast<size_t>(std::min<uint64_t>(count, split - r)) : 0;
        const uint64_t at = base + r;
        refused = !((before == 0 || to.write_at(at, data, before)) &&
                    (before == count || to.write_at(at + before + (r + before >= split ? check_block_size : 0),
                                                    data + before, count - before)));
        return !refused;
    };
    uint8_t head[identification_text.size() + 1];
    assemble_plaintext(head);
    if (!chain.push(head, sizeof head, emit)) return Fault::write_failed;
    uint64_t got = 0;
    for (;;) {
        const uint8_t* data = nullptr;
        const long long n = contents.next(data);
        if (n < 0 || static_cast<uint64_t>(n) > size - got) return Fault::cannot_open;
        if (n == 0) break;
        got += static_cast<uint64_t>(n);
        if (!chain.push(data, static_cast<size_t>(n), emit)) return Fault::write_failed;
    }
    if (got != size) return Fault::cannot_open;
    if (!chain.finish(emit)) return Fault::write_failed;
    key = chain.key_index();
    return Fault::none;
}

Fault compress_staged(codec::Codec& codec, codec::ByteSource& staged, uint64_t size, Store& to, uint64_t& z,
                      Store& staged_copy, uint64_t damage_at, uint64_t at) {
    StoreSink sink(to, at);
    StreamCheck check(codec, sink, staged_copy, size, to, at);
    check.damage_at = damage_at;
    codec::Failure why = codec::Failure::none;
    const bool compressed = codec.compress(staged, size, check, &why) == 1;
    const bool verified = check.finish(compressed);
    if (compressed) {
        z = sink.at() - at;
        if (verified) return Fault::none;
        return check.short_of_memory() ? Fault::no_memory : Fault::unverified;
    }
    if (sink.failed()) return Fault::write_failed;
    if (why == codec::Failure::no_memory) return Fault::no_memory;
    if (why == codec::Failure::cant_read) return Fault::codec_cant_read;
    return Fault::too_large;
}

Fault finish_sealed(Store& to, int key, uint8_t mode, uint32_t z, uint64_t region_size, int draw,
                    std::string_view password, RegionPlace place) {
    if (!region_fits_format(region_size)) return Fault::too_large;
    const uint64_t offset = check_block_offset(draw, z);
    if (offset > 0xFFFFFFFFu || offset - header_size > region_size) return Fault::too_large;
    const uint64_t before = offset - header_size;  // the region's bytes in front of the block
    if (place == RegionPlace::behind && !move_within(to, container_overhead, header_size, before))
        return Fault::write_failed;
    if (place == RegionPlace::in_front && !move_within(to, offset, offset + check_block_size, region_size - before))
        return Fault::write_failed;
    uint8_t header[header_size];
    write_header(header, static_cast<uint8_t>(key), mode, static_cast<uint32_t>(offset));
    const CheckBlock check = make_check_block(password);
    if (!to.write_at(0, header, header_size) || !to.write_at(offset, check.data(), check.size()))
        return Fault::write_failed;
    return Fault::none;
}

RegionPlace cheaper_place(int draw) {
    // Draws run from 0 to 32767, and the block's offset grows in proportion.
    return draw >= 16384 ? RegionPlace::in_front : RegionPlace::behind;
}

uint64_t plain_size(int kind, uint64_t region_size, const uint8_t* first_bytes) {
    if (kind != kind_encrypted_compressed) return region_size;
    if (first_bytes == nullptr || region_size < 4) return 0;
    return static_cast<uint64_t>(first_bytes[0]) | static_cast<uint64_t>(first_bytes[1]) << 8 |
           static_cast<uint64_t>(first_bytes[2]) << 16 | static_cast<uint64_t>(first_bytes[3]) << 24;
}

Fault open_region(codec::ByteSource& region, int kind, uint64_t plain, uint64_t region_size,
                  std::string_view password, uint8_t key_index, codec::Codec& codec, Store& to,
                  uint64_t& contents_size, std::string& identification, OpenStage* failed_at) {
    OpenStage ignored;
    OpenStage& stage = failed_at ? *failed_at : ignored;
    stage = OpenStage::region;
    if (password.empty()) return Fault::bad_argument;
    InverseChain chain(plain, password, key_index);
    const bool compressed = kind == kind_encrypted_compressed;
    Opener opener(to, plain, !compressed || plain <= most_decoded(region_size));
    const Emit emit = [&](uint64_t q, const uint8_t* data, size_t count) { return opener.take(q, data, count); };
    if (compressed) {
        // Decoded to its end even when the cipher's test has failed already: the
        // codec state it leaves for the run's next stream must not depend on that.
        // The inverse chain and its writes run beside the codec once there is
        // more than one piece to decode.
        ChainSink to_chain(chain, emit);
        OverlappedSink sink(to_chain, plain > decoded_piece);
        codec::Failure why = codec::Failure::none;
        const bool decoded = codec.decompress(region, sink, &why) == 1;
        if (!sink.finish(decoded) && decoded) return opener.failed() ? Fault::write_failed : Fault::damaged;
        if (!decoded) {
            if (opener.failed()) return Fault::write_failed;
            if (why == codec::Failure::cant_read) return Fault::codec_cant_read;
            if (why == codec::Failure::no_memory) return Fault::no_memory;
            return Fault::damaged;
        }
    } else {
        stage = OpenStage::cipher;
        if (!chain.consistent()) return Fault::damaged;
        stage = OpenStage::region;
        for (;;) {
            const uint8_t* data = nullptr;
            const long long n = region.next(data);
            if (n < 0) return Fault::cannot_open;
            if (n == 0) break;
            if (!chain.push(data, static_cast<size_t>(n), emit))
                return opener.failed() ? Fault::write_failed : Fault::cannot_open;
        }
    }
    stage = OpenStage::cipher;
    if (!chain.consistent()) return Fault::damaged;
    if (!chain.finish(emit)) return opener.failed() ? Fault::write_failed : Fault::damaged;
    stage = OpenStage::text;
    return opener.finish(contents_size, identification);
}

}  // namespace qx::container
