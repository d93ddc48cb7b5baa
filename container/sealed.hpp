// The encrypted container in memory: sealing contents into the bytes of an
// encrypted file and opening such bytes again, with every check a damaged or
// hostile file needs. The file pipelines run the same steps around their files.
#pragma once

#include "codec/codec.hpp"
#include "container/cipher.hpp"
#include "container/format.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx::container {

// Why an operation failed; Fault::none on success.
enum class Fault {
    none,
    bad_argument,      // empty password, or a kind / compress flag out of range
    too_large,         // contents or data region beyond the format's 32-bit fields
    no_memory,         // the buffer for the file could not be had
    wrong_password,    // the check block differs from the password's values
    damaged,           // impossible offset or size, failed consistency test, no ESC byte,
                       // a compressed stream that does not decode to its length
    codec_cant_read,   // the compressed data is shorter than its 4-byte length header
    codec_cant_write,  // the compressed or decompressed output could not be written
    cannot_open,       // the file cannot be opened for reading, or is no regular file
    read_only,         // the file is write-protected
    several_links,     // the file has more than one hard link (see pipeline.hpp)
    backup_failed,     // the backup file could not be written
    work_file_failed,  // the work file could not be written
    write_failed,      // the new contents could not be written beside the file
    changed,           // the file was changed (or replaced) by another program while it was processed
    busy,              // another run of the program is working on the file
    backup_collides,   // the backup would replace a file that this run lists or has written
    backup_is_file,    // the backup name leads to the file itself
    backup_blocked,    // the backup name is a directory, a device or a write-protected file
};

// A short English description of a fault, for tests and diagnostics.
const char* fault_name(Fault fault);

// The parts of an encrypted file as they are written: header, the first `split`
// region bytes, the check block, the rest of the region.
struct Sealed {
    uint8_t header[header_size] = {};
    CheckBlock check{};
    std::vector<uint8_t> region;
    size_t split = 0;  // check-block offset - 8
};

// Completes `sealed` once its region holds the enciphered plaintext (mode "0") or
// the compressed stream of it (mode "H"): draws the check-block offset from `draw`
// with Z = `z` (contents size in mode "0", region size in mode "H"), and forms the
// header and check block. Fault::too_large when the offset would not fit 32 bits.
Fault finish_seal(Sealed& sealed, int key_index, uint8_t mode, uint32_t z, int draw, std::string_view password);

// The bytes of the whole file.
std::vector<uint8_t> assemble_file(const Sealed& sealed);

// Encrypts `contents` into the bytes of an encrypted file: compress = 0 stores
// (mode "0"), 1 compresses (mode "H"); `draw` is the generator value for the
// check-block offset. `codec` is the run's codec state.
Fault seal(const uint8_t* contents, size_t size, std::string_view password, int compress, int draw,
           codec::Codec& codec, std::vector<uint8_t>& file);

// True when a file of `file_size` bytes can hold its check block at `check_offset`:
// after the header, with 8 bytes at it.
inline bool check_block_within(uint64_t file_size, uint32_t check_offset) {
    return file_size >= container_overhead && check_offset >= header_size &&
           uint64_t{check_offset} + check_block_size <= file_size;
}

// Tests the check block of a file of `file_size` bytes whose block, read at
// `check_offset`, is `block`. Fault::damaged for a file under 16 bytes or an offset
// below 8 or without 8 bytes at it; Fault::wrong_password when a field differs.
Fault test_check_block(uint64_t file_size, uint32_t check_offset, const uint8_t* block, std::string_view password);

// Compresses the enciphered plaintext into a mode "H" data region.
// Fault::no_memory, or Fault::too_large for input the codec refuses.
Fault compress_region(codec::Codec& codec, const std::vector<uint8_t>& plain, std::vector<uint8_t>& region);

// Decompresses a mode "H" data region into `out`. Fault::codec_cant_read for a
// region shorter than the stream's length header, Fault::damaged for a stream that
// does not decode to exactly its length (a zero length included).
Fault decompress_region(codec::Codec& codec, const std::vector<uint8_t>& region, std::vector<uint8_t>& out);

// Deciphers a region in place with the header's key index and finds the end of
// the identification text (its first ESC byte). Fault::damaged when the
// consistency test fails or there is no ESC byte.
Fault decipher_region(std::vector<uint8_t>& region, std::string_view password, uint8_t key_index,
                      size_t& text_size, const Tick& tick = {});

// The identification text as it may be shown: at most its first 255 bytes, cut at
// a zero byte, other control bytes replaced by "?" so that a file cannot move the
// cursor or recolour the console.
std::string displayed_identification(const uint8_t* text, size_t size);

// What opening an encrypted file yields.
struct Opened {
    std::vector<uint8_t> plaintext;  // identification text, ESC, contents
    size_t contents_offset = 0;      // the contents are plaintext[contents_offset, end)
    std::string identification;      // as displayed_identification gives it
};

// Opens the bytes of an encrypted file (any bytes: a file that is not one fails).
// Allocates no more than the file's size, or what its compressed stream can
// really produce, warrants.
Fault open_sealed(const uint8_t* file, size_t size, std::string_view password, codec::Codec& codec, Opened& out);

}  // namespace qx::container
