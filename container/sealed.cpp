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
    }
    return "?";
}

Fault finish_seal(Sealed& sealed, int key_index, uint8_t mode, uint32_t z, int draw, std::string_view password) {
    if (!region_fits_format(sealed.region.size())) return Fault::too_large;
    const uint64_t offset = check_block_offset(draw, z);
    if (offset > 0xFFFFFFFFu || offset - 8 > sealed.region.size()) return Fault::too_large;
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
        const size_t t = identification_text.size();
        Sealed sealed;
        std::vector<uint8_t> plain(t + 1 + size);
        if (size > 0) std::memcpy(plain.data() + t + 1, contents, size);
        assemble_plaintext(plain.data());
        const int key = encipher_data(plain.data(), plain.size(), password);
        uint32_t z = static_cast<uint32_t>(size);
        if (compress == 1) {
            if (Fault f = compress_region(codec, plain, sealed.region); f != Fault::none) return f;
            z = static_cast<uint32_t>(sealed.region.size());  // finish_seal refuses a region too large
        } else {
            sealed.region = std::move(plain);
        }
        Fault fault = finish_seal(sealed, key, compress == 1 ? mode_compressed : mode_stored, z, draw, password);
        if (fault != Fault::none) return fault;
        file = assemble_file(sealed);
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

Fault compress_region(codec::Codec& codec, const std::vector<uint8_t>& plain, std::vector<uint8_t>& region) {
    codec::Failure why = codec::Failure::none;
    if (codec.compress(plain.data(), plain.size(), region, &why)) return Fault::none;
    return why == codec::Failure::no_memory ? Fault::no_memory : Fault::too_large;
}

Fault decompress_region(codec::Codec& codec, const std::vector<uint8_t>& region, std::vector<uint8_t>& out) {
    codec::Failure why = codec::Failure::none;
    if (!codec.decompress(region.data(), region.size(), out, &why)) {
        out.clear();
        if (why == codec::Failure::cant_read) return Fault::codec_cant_read;
        if (why == codec::Failure::no_memory) return Fault::no_memory;
        return Fault::damaged;
    }
    // The codec guarantees it; a mismatch here would be a damaged stream all the same.
    const uint32_t length = static_cast<uint32_t>(region[0]) | static_cast<uint32_t>(region[1]) << 8 |
                            static_cast<uint32_t>(region[2]) << 16 | static_cast<uint32_t>(region[3]) << 24;
    if (out.size() != length) {
        out.clear();
        return Fault::damaged;
    }
    return Fault::none;
}

Fault decipher_region(std::vector<uint8_t>& region, std::string_view password, uint8_t key_index,
                      size_t& text_size, const Tick& tick) {
    if (password.empty()) return Fault::bad_argument;
    if (!decipher_data(region.data(), region.size(), password, key_index, tick)) return Fault::damaged;
    // Only a damaged file that passed both tests lacks the ESC byte.
    if (!split_plaintext(region.data(), region.size(), text_size)) return Fault::damaged;
    return Fault::none;
}

std::string displayed_identification(const uint8_t* text, size_t size) {
    std::string shown;
    for (size_t i = 0; i < size && i < 255 && text[i] != 0; ++i)
        shown += text[i] < 32 || text[i] == 127 ? '?' : static_cast<char>(text[i]);
    return shown;
}

Fault open_sealed(const uint8_t* file, size_t size, std::string_view password, codec::Codec& codec, Opened& out) {
    out = Opened{};
    const FileClass fc = classify_bytes(file, size, "");
    if (fc.kind != kind_encrypted_stored && fc.kind != kind_encrypted_compressed) return Fault::damaged;
    const uint8_t* block = check_block_within(size, fc.check_offset) ? file + fc.check_offset : nullptr;
    Fault fault = test_check_block(size, fc.check_offset, block, password);
    if (fault != Fault::none) return fault;
    try {
        // The region is the file without header and check block: never more than the file.
        std::vector<uint8_t> region(file + header_size, file + fc.check_offset);
        region.insert(region.end(), file + fc.check_offset + check_block_size, file + size);
        if (fc.kind == kind_encrypted_compressed) {
            std::vector<uint8_t> plain;
            fault = decompress_region(codec, region, plain);
            if (fault != Fault::none) return fault;
            region.swap(plain);
        }
        size_t text_size = 0;
        fault = decipher_region(region, password, fc.key_index, text_size);
        if (fault != Fault::none) return fault;
        out.identification = displayed_identification(region.data(), text_size);
        out.contents_offset = text_size + 1;
        out.plaintext = std::move(region);
    } catch (const std::bad_alloc&) {
        out = Opened{};
        return Fault::no_memory;
    }
    return Fault::none;
}

}  // namespace qx::container
