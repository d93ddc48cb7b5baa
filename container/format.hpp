// The encrypted-file layout, file classification, path extensions and the check-block offset draw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_system.hpp"

namespace qx::container {

// File kinds returned by classify_file. Kinds 0 and 1 are the compress flag of
// encrypt_file; kinds 2 and 3 are the mode of decrypt_file.
inline constexpr int kind_cannot_open = -1;
inline constexpr int kind_plain_stored = 0;         // plain, extension marks compressed data
inline constexpr int kind_plain_compressed = 1;     // plain, to be compressed
inline constexpr int kind_encrypted_stored = 2;     // header mode "0"
inline constexpr int kind_encrypted_compressed = 3; // header mode "H"

// Mode bytes of the header.
inline constexpr uint8_t mode_stored = '0';
inline constexpr uint8_t mode_compressed = 'H';

inline constexpr size_t header_size = 8;       // "QX", key index + 32, mode, check-block offset
inline constexpr size_t check_block_size = 8;  // length, sum, mirrored product sum, first character
inline constexpr size_t container_overhead = header_size + check_block_size;

// What classification learns about a file: its kind and the two header values
// that the decryption of the same file needs.
struct FileClass {
    int kind = kind_cannot_open;
    uint8_t key_index = 0;      // header byte 2 - 32, modulo 256
    uint32_t check_offset = 0;  // header bytes 4..7, little-endian
    platform::fs::FileStamp stamp;  // classify_file: the file as it was classified
};

// Classifies a file from its first `size` bytes (at most 8 are looked at) and its
// path: the header wins; otherwise the extension decides between kinds 0 and 1.
// Missing header bytes count as zero in the values passed on.
FileClass classify_bytes(const uint8_t* head, size_t size, std::string_view path);

// Opens the file read-only, reads its first 8 bytes and classifies it. Kind -1
// when it cannot be opened or is no regular file (a directory, a pipe or a
// device would block or fail later). Never writes.
FileClass classify_file(const std::string& path);

// The extension of a path, lower-cased (A-Z only): the text after the first "."
// of its last component; "." when that "." ends the path; "" when there is none.
// The last component is what follows the last directory separator, so a dotted
// directory name ("../x/a.txt", "v1.2/a.txt") never lends the file its extension.
std::string file_extension(std::string_view path);

// Rewrites `path` in place: everything after the first "." of its last component
// is replaced by `extension`, or "." and `extension` are appended when there is none.
void replace_extension(std::string& path, std::string_view extension);

// True for the extensions that mark already-compressed data (zip, arj, ain, rar, gz, jpg).
bool is_compressed_extension(std::string_view extension);

// Writes the 8-byte container header: "QX", key index + 32, mode byte, check-block offset.
void write_header(uint8_t out[header_size], uint8_t key_index, uint8_t mode, uint32_t check_offset);

// The run's pseudo-random generator: state = state * 214013 + 2531011 (mod 2^32),
// each draw (state >> 16) & 0x7FFF. Seeded once per run with the time in seconds.
class Random {
public:
    explicit Random(uint32_t seed = 1) : state_(seed) {}
    void seed(uint32_t seed) { state_ = seed; }
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFF);
    }
    // The draw that next() gives next, without taking it.
    int peek() const { return Random(*this).next(); }

private:
    uint32_t state_;
};

// The check-block offset for draw `r` (0..32767) and size `z`: r * z formed
// exactly, times 0.00003051850938 in double precision, truncated, plus 8.
// 64-bit so that a caller can see an offset that no longer fits the header.
uint64_t check_block_offset(int r, uint32_t z);

// The largest file contents that can be encrypted: the compressed stream's length
// header counts identification text, ESC and contents in 32 bits, and the
// check-block offset (at most 8 + contents - 1 in mode "0") must fit 32 bits.
bool contents_fit_format(uint64_t contents_size, bool compress);

// True when a data region of `region_size` bytes still lets every check-block offset fit 32 bits.
bool region_fits_format(uint64_t region_size);

}  // namespace qx::container
