// The encrypted-file layout, file classification, path extensions and the check-block offset draw.
#include "container/format.hpp"

#include "platform/file_system.hpp"
#include "platform/platform.hpp"

#include <cstring>

namespace qx::container {

namespace fs = platform::fs;

namespace {

// Index of the first character of the last path component.
size_t last_component(std::string_view path) {
    size_t start = path.size();
    while (start > 0 && !platform::is_separator(path[start - 1])) --start;
    return start;
}

}  // namespace

FileClass classify_bytes(const uint8_t* head, size_t size, std::string_view path) {
    uint8_t h[header_size] = {};
    if (size > 0) std::memcpy(h, head, size < header_size ? size : header_size);
    FileClass result;
    result.key_index = static_cast<uint8_t>(h[2] - 32);
    result.check_offset = static_cast<uint32_t>(h[4]) | static_cast<uint32_t>(h[5]) << 8 |
                          static_cast<uint32_t>(h[6]) << 16 | static_cast<uint32_t>(h[7]) << 24;
    if (size >= 4 && h[0] == 'Q' && h[1] == 'X') {
        if (h[3] == mode_stored) {
            result.kind = kind_encrypted_stored;
            return result;
        }
        if (h[3] == mode_compressed) {
            result.kind = kind_encrypted_compressed;
            return result;
        }
    }
    result.kind = is_compressed_extension(file_extension(path)) ? kind_plain_stored : kind_plain_compressed;
    return result;
}

FileClass classify_file(const std::string& path) {
    uint8_t head[header_size];
    size_t got = 0;
    platform::fs::FileStamp stamp;
    if (!fs::read_head(path, head, sizeof head, got, &stamp)) return FileClass{};
    FileClass result = classify_bytes(head, got, path);
    result.stamp = stamp;
    return result;
}

std::string file_extension(std::string_view path) {
    size_t dot = path.find('.', last_component(path));
    if (dot == std::string_view::npos) return {};
    std::string ext(dot + 1 == path.size() ? path.substr(dot) : path.substr(dot + 1));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

void replace_extension(std::string& path, std::string_view extension) {
    size_t dot = path.find('.', last_component(path));
    if (dot == std::string::npos) {
        path += '.';
    } else {
        path.resize(dot + 1);
    }
    path += extension;
}

bool is_compressed_extension(std::string_view extension) {
    for (std::string_view known : {"zip", "arj", "ain", "rar", "gz", "jpg"})
        if (extension == known) return true;
    return false;
}

void write_header(uint8_t out[header_size], uint8_t key_index, uint8_t mode, uint32_t check_offset) {
    out[0] = 'Q';
    out[1] = 'X';
    out[2] = static_cast<uint8_t>(key_index + 32);
    out[3] = mode;
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(check_offset >> (8 * i));
}

uint64_t check_block_offset(int r, uint32_t z) {
    // The product is below 2^47, so both the integer and its double are exact.
    const uint64_t product = static_cast<uint64_t>(static_cast<uint32_t>(r)) * z;
    return static_cast<uint64_t>(static_cast<double>(product) * 0.00003051850938) + 8;
}

bool contents_fit_format(uint64_t contents_size, bool compress) {
    constexpr uint64_t max32 = 0xFFFFFFFFu;
    // 13 = identification text (12) + ESC: the compressed stream's length header.
    if (compress) return contents_size <= max32 - 13;
    return region_fits_format(contents_size);
}

bool region_fits_format(uint64_t region_size) {
    // The offset is at most 8 + size - 1 and must fit the header's 32 bits.
    return region_size <= 0xFFFFFFFFu - 7;
}

}  // namespace qx::container
