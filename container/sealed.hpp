// The encrypted container in memory: sealing contents into the bytes of an
// encrypted file and opening such bytes again, with every check a damaged or
// hostile file needs. The steps work on any store, so that the file pipelines
// and the in-memory calls (and the fuzz target behind them) run the same code.
#pragma once

#include "codec/codec.hpp"
#include "container/chain.hpp"
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
    unverified,        // the compressed stream did not decode back to its input (a fault of the
                       // codec or of the machine's memory): nothing was replaced
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

// The identification text as it may be shown: at most its first 255 bytes, cut at
// a zero byte, other control bytes replaced by "?" so that a file cannot move the
// cursor or recolour the console.
std::string displayed_identification(const uint8_t* text, size_t size);

// Where the sealing and opening steps below put bytes by offset and read them
// back: the fresh file beside the file being rewritten, the work file, or memory.
// Every call returns false on an error.
class Store {
public:
    virtual ~Store() = default;
    virtual bool write_at(uint64_t offset, const uint8_t* data, size_t count) = 0;
    virtual bool read_at(uint64_t offset, uint8_t* data, size_t count) = 0;
    virtual bool truncate(uint64_t size) = 0;
};

// A store in memory: `bytes` grows to what is written.
class MemoryStore final : public Store {
public:
    std::vector<uint8_t> bytes;
    bool write_at(uint64_t offset, const uint8_t* data, size_t count) override;
    bool read_at(uint64_t offset, uint8_t* data, size_t count) override;
    bool truncate(uint64_t size) override;
};

// Memory as the input of a step: all of it in one block.
class MemorySource final : public codec::ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    long long next(const uint8_t*& data) override;

private:
    const uint8_t* data_;
    size_t size_;
};

// `size` bytes of a store from offset `at` on as the input of a step, a piece
// at a time; a read that fails ends it with -1.
class StoreSource final : public codec::ByteSource {
public:
    StoreSource(Store& store, uint64_t at, uint64_t size) : store_(store), at_(at), left_(size) {}
    long long next(const uint8_t*& data) override { return next_before(data, UINT64_MAX); }
    // The same, reading nothing at or past the store's offset `end` (0 when the
    // next byte is there): for a store that is still being filled.
    long long next_before(const uint8_t*& data, uint64_t end);
    // The store's offset of the next byte.
    uint64_t at() const { return at_; }

private:
    Store& store_;
    uint64_t at_, left_;
    std::vector<uint8_t> buffer_;
};

// Sealing, first step: the forward chain over the identification text, ESC and
// the `size` contents bytes that `contents` gives. Region offset r goes to `to`
// at base + r before `split` and 8 bytes further on from it (the check block's
// place), so that base header_size gives the file's layout. `key` receives the
// key index for the header. Fault::cannot_open when the contents fail or end early,
// write_failed when `to` refuses.
Fault encipher_contents(codec::ByteSource& contents, uint64_t size, std::string_view password, Store& to,
                        uint64_t base, uint64_t split, int& key);

// Sealing in mode "H": compresses the `size` region bytes that `staged` gives
// into a stream written to `to` from offset `at` on: container_overhead, as if
// the check block came first, or header_size, as if it came last; `z` receives
// the stream's size. Fault::too_large, no_memory, codec_cant_read when `staged`
// fails, write_failed when `to` refuses.
// The stream is decoded again as it is written (on a second thread where there
// is one) and compared with the same bytes as `staged_copy` holds them from
// offset 0: Fault::unverified when it does not give them back. `damage_at`: a
// test seam that changes the stream's byte at that offset.
Fault compress_staged(codec::Codec& codec, codec::ByteSource& staged, uint64_t size, Store& to, uint64_t& z,
                      Store& staged_copy, uint64_t damage_at = UINT64_MAX, uint64_t at = container_overhead);

// Where a region was written before its check block's place was known, and so
// which of its bytes finish_sealed moves to open the block's place.
enum class RegionPlace {
    in_place,  // around the block's place, already known
    behind,    // from container_overhead on: the bytes before the block move back
    in_front,  // from header_size on: the bytes after the block move on
};

// The place that leaves fewer bytes to move for the check block that `draw`
// puts into a region: in front when the block falls in the region's later half.
RegionPlace cheaper_place(int draw);

// Sealing, last step: draws the check-block offset with `draw` and Z = `z`,
// writes the header and the check block, and moves the region's bytes on the
// block's place out of its way, as `place` says where the region was written.
// `region_size` is the bytes the region holds.
// Fault::too_large as finish_seal, write_failed.
Fault finish_sealed(Store& to, int key, uint8_t mode, uint32_t z, uint64_t region_size, int draw,
                    std::string_view password, RegionPlace place);

// The plaintext's size for a region: the region's own size in mode "0", the
// stream's length header in mode "H" (0 when the region is shorter than that).
uint64_t plain_size(int kind, uint64_t region_size, const uint8_t* first_bytes);

// Opening: decompresses (kind 3) and deciphers the `region_size` bytes of
// region that `region` gives, whose plaintext is `plain` bytes long (plain_size),
// and writes the contents to `to` from offset 0; `contents_size` receives their
// size and `identification` the text before them (displayed_identification).
// Fault::codec_cant_read for a compressed region shorter than its length header;
// damaged for a stream that does not decode to exactly its length (a zero length
// included), a failed consistency test or a plaintext without ESC; cannot_open
// when `region` fails in mode "0"; no_memory; write_failed when `to` refuses. The
// codec runs to its end even when the cipher's test is known to fail, so that
// the codec state it leaves does not depend on the password.
// `failed_at`, when given, tells which stage a fault came from.
enum class OpenStage {
    region,  // reading or decompressing the region
    cipher,  // the key index or the consistency test
    text,    // finding the identification text, or moving the contents into place
};
Fault open_region(codec::ByteSource& region, int kind, uint64_t plain, uint64_t region_size,
                  std::string_view password, uint8_t key_index, codec::Codec& codec, Store& to,
                  uint64_t& contents_size, std::string& identification, OpenStage* failed_at = nullptr);

// What opening an encrypted file yields.
struct Opened {
    std::vector<uint8_t> contents;
    std::string identification;  // as displayed_identification gives it
};

// Opens the bytes of an encrypted file (any bytes: a file that is not one fails)
// through the same steps as the file pipelines. Allocates no more than the
// contents that the file really yields.
Fault open_sealed(const uint8_t* file, size_t size, std::string_view password, codec::Codec& codec, Opened& out);

}  // namespace qx::container
