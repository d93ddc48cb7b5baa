// The encrypted container in memory: sealing and opening the bytes of an encrypted file.
#include "container/sealed.hpp"

#include <cstring>
#include <new>

namespace qx::container {

const char* fault_name(Fault fault) {
    switch (fault) {
        case Fault::none: return "none";
        case Fault::bad_argument: return "bad argument";
        case Fault::too_large: return "too large for the format";
        case Fault::no_memory: return "out of memory";
        case Fault::wrong_password: return "wrong password";
        case Fault::damaged: return "damaged file";
        case Fault::codec_cant_read: return "compressed data shorter than its length header";
        case Fault::codec_cant_write: return "compressed output could not be written";
        case Fault::cannot_open: return "cannot open";
        case Fault::read_only: return "read-only";
        case Fault::several_links: return "several hard links";
        case Fault::backup_failed: return "backup failed";
        case Fault::work_file_failed: return "work file failed";
        case Fault::write_failed: return "write failed";
        case Fault::changed: return "changed by another program";
        case Fault::busy: return "in use by another run";
        case Fault::backup_collides: return "backup would replace a file of this run";
        case Fault::backup_is_file: return "backup name leads to the file itself";
        case Fault::backup_blocked: return "backup name is taken by what cannot be replaced";
        case Fault::unverified: return "compressed stream did not decode back to its input";
    }
    return "?";
}

namespace {

// The check block's offset for a region of `region_size` bytes; Fault::too_large
// when it does not fit the header or would lie past the region.
Fault block_offset(int draw, uint32_t z, uint64_t region_size, uint64_t& offset) {
    if (!region_fits_format(region_size)) return Fault::too_large;
    offset = check_block_offset(draw, z);
    if (offset > 0xFFFFFFFFu || offset - 8 > region_size) return Fault::too_large;
    return Fault::none;
}

}  // namespace

Fault finish_seal(Sealed& sealed, int key_index, uint8_t mode, uint32_t z, int draw, std::string_view password) {
    uint64_t offset = 0;
    if (Fault f = block_offset(draw, z, sealed.region.size(), offset); f != Fault::none) return f;
    sealed.split = static_cast<size_t>(offset - 8);
    write_header(sealed.header, static_cast<uint8_t>(key_index), mode, static_cast<uint32_t>(offset));
    sealed.check = make_check_block(password);
    return Fault::none;
}

std::vector<uint8_t> assemble_file(const Sealed& sealed) {
    std::vector<uint8_t> file;
    file.reserve(sealed.region.size() + container_overhead);
    file.insert(file.end(), sealed.header, sealed.header + header_size);
    file.insert(file.end(), sealed.region.begin(), sealed.region.begin() + static_cast<ptrdiff_t>(sealed.split));
    file.insert(file.end(), sealed.check.begin(), sealed.check.end());
    file.insert(file.end(), sealed.region.begin() + static_cast<ptrdiff_t>(sealed.split), sealed.region.end());
    return file;
}

Fault seal(const uint8_t* contents, size_t size, std::string_view password, int compress, int draw,
           codec::Codec& codec, std::vector<uint8_t>& file) {
    file.clear();
    if (password.empty() || (compress != 0 && compress != 1)) return Fault::bad_argument;
    if (!contents_fit_format(size, compress == 1)) return Fault::too_large;
    try {
        MemorySource source(contents, size);
        MemoryStore out;
        const uint64_t plain = identification_text.size() + 1 + uint64_t{size};
        int key = 0;
        Fault fault;
        if (compress == 1) {
            MemoryStore staged;
            fault = encipher_contents(source, size, password, staged, 0, UINT64_MAX, key);
            if (fault != Fault::none) return fault;
            MemorySource region(staged.bytes.data(), staged.bytes.size());
            uint64_t z = 0;
            fault = compress_staged(codec, region, plain, out, z, staged);
            if (fault != Fault::none) return fault;
            if (!region_fits_format(z)) return Fault::too_large;
            fault = finish_sealed(out, key, mode_compressed, static_cast<uint32_t>(z), z, draw, password,
                                  RegionPlace::behind);
        } else {
            uint64_t offset = 0;
            fault = block_offset(draw, static_cast<uint32_t>(size), plain, offset);
            if (fault != Fault::none) return fault;
            fault = encipher_contents(source, size, password, out, header_size, offset - 8, key);
            if (fault == Fault::none)
                fault = finish_sealed(out, key, mode_stored, static_cast<uint32_t>(size), plain, draw, password,
                                      RegionPlace::in_place);
        }
        if (fault != Fault::none) return fault;
        file = std::move(out.bytes);
    } catch (const std::bad_alloc&) {
        file.clear();
        return Fault::no_memory;
    }
    return Fault::none;
}

Fault test_check_block(uint64_t file_size, uint32_t check_offset, const uint8_t* block, std::string_view password) {
    if (password.empty()) return Fault::bad_argument;
    if (!check_block_within(file_size, check_offset)) return Fault::damaged;
    const CheckBlock want = make_check_block(password);
    return std::memcmp(block, want.data(), want.size()) == 0 ? Fault::none : Fault::wrong_password;
}

std::string displayed_identification(const uint8_t* text, size_t size) {
    std::string shown;
    for (size_t i = 0; i < size && i < 255 && text[i] != 0; ++i)
        shown += text[i] < 32 || text[i] == 127 ? '?' : static_cast<char>(text[i]);
    return shown;
}

namespace {

// The region of an encrypted file in memory: the file without header and check block.
class RegionInMemory final : public codec::ByteSource {
public:
    RegionInMemory(const uint8_t* file, size_t size, uint32_t check_offset)
        : parts_{{file + header_size, check_offset - header_size},
                 {file + check_offset + check_block_size, size - check_offset - check_block_size}} {}
    long long next(const uint8_t*& data) override {
        while (at_ < 2 && parts_[at_].second == 0) ++at_;
        if (at_ == 2) return 0;
        data = parts_[at_].first;
        return static_cast<long long>(parts_[at_++].second);
    }
    // The region's first `count` bytes (fewer when it is shorter).
    size_t first(uint8_t* to, size_t count) const {
        size_t got = 0;
        for (const auto& [data, size] : parts_)
            for (size_t i = 0; i < size && got < count; ++i) to[got++] = data[i];
        return got;
    }

private:
    std::pair<const uint8_t*, size_t> parts_[2];
    size_t at_ = 0;
};

}  // namespace

Fault open_sealed(const uint8_t* file, size_t size, std::string_view password, codec::Codec& codec, Opened& out) {
    out = Opened{};
    const FileClass fc = classify_bytes(file, size, "");
    if (fc.kind != kind_encrypted_stored && fc.kind != kind_encrypted_compressed) return Fault::damaged;
    const uint8_t* block = check_block_within(size, fc.check_offset) ? file + fc.check_offset : nullptr;
    Fault fault = test_check_block(size, fc.check_offset, block, password);
    if (fault != Fault::none) return fault;
    try {
        RegionInMemory region(file, size, fc.check_offset);
        uint8_t head[4] = {};
        const size_t got = region.first(head, sizeof head);
        const uint64_t region_size = size - container_overhead;
        const uint64_t plain = plain_size(fc.kind, region_size, got == sizeof head ? head : nullptr);
        MemoryStore contents;
        uint64_t contents_size = 0;
        fault = open_region(region, fc.kind, plain, region_size, password, fc.key_index, codec, contents,
                            contents_size, out.identification);
        if (fault != Fault::none) {
            out = Opened{};
            return fault;
        }
        contents.bytes.resize(static_cast<size_t>(contents_size));
        out.contents = std::move(contents.bytes);
    } catch (const std::bad_alloc&) {
        out = Opened{};
        return Fault::no_memory;
    }
    return Fault::none;
}

}  // namespace qx::container
