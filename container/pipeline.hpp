// Encrypting and decrypting one file in place, with the backup file, the work
// file, the progress pieces, and a replacement that never leaves the file damaged.
//
// How a file is rewritten: the new contents go to a fresh file in the same
// directory, which is flushed to the disk and then renamed over the file. So the
// file's path names its complete old contents up to the rename and its complete
// new contents from it on, whatever happens (an interrupt, a kill, a full disk, a
// file-size limit); an interrupt also deletes the fresh file. The old contents are
// not needed to undo anything, so no failure ever has to copy a backup back.
//
// - Permission bits, owner and group of the file carry over (owner and group when
//   the system permits); other metadata (extended attributes, ACLs) does not.
// - A write-protected file (no write bit, or not openable for writing) fails and
//   stays unchanged: the rename would otherwise get around its protection.
// - A symbolic link is followed: the file it names is replaced, the link stays.
// - A file with several hard links is refused and stays unchanged: a rename would
//   give only this name the new contents and leave the old ones (for encryption,
//   the plain text) under the other names, and rewriting the shared file in place
//   cannot be done without a moment at which it is damaged.
// - The backup file is written the same way (a fresh file renamed over the backup
//   name, a link of that name replaced rather than followed, the file's permission
//   bits), and it is complete and flushed before the file is replaced.
// - The file is read and written a piece at a time, so that a run's memory stays
//   at a few MiB whatever the file's size: the new contents are put together in
//   the fresh file (and, when compressing, the codec's input in the work file).
// - Decryption writes nothing but the fresh file and the work file before the
//   contents are complete: a wrong password or a damaged file leaves everything
//   else on disk as it was, backup included.
// - Another program's changes are never lost: the file stays open and locked
//   against other runs from its read to its replacement, and right before the
//   backup is taken and again right before the rename the path must still name
//   the file that was read (and classified), unchanged. Otherwise nothing is
//   replaced and a backup this call took is deleted.
// - A backup never replaces a file that the run must keep (ProtectedFiles), the
//   file itself, a folder or a write-protected file: the file is then refused.
#pragma once

#include "codec/codec.hpp"
#include "container/format.hpp"
#include "container/sealed.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qx::container {

// The run's generator: the driver seeds it once at start-up with the time in seconds.
Random& run_random();
// The run's codec state, shared by every operation of the run.
codec::Codec& run_codec();

// Files that no backup of the run may replace: the entries of its list, the list
// file, and every file the run has written (its backups and rewritten files).
// Files are known by device and file number, so other names for them count too.
class ProtectedFiles {
public:
    void add(const platform::fs::FileStamp& stamp);
    // Adds the file `path` names now (following links); nothing when there is none.
    void add_path(const std::string& path);
    bool contains(const platform::fs::FileStamp& stamp) const;

private:
    std::set<std::pair<uint64_t, uint64_t>> files_;
};

// What the pipelines take from the run.
struct RunContext {
    std::string work_file;  // the run's work file; "" writes none
    // Called before the work file is written; false when it cannot be made (the
    // file then fails unchanged, its backup kept). Empty: work_file is there to write.
    std::function<bool()> make_work_file;
    bool no_backup = false; // -n: no backup file is taken
    codec::Codec* codec = nullptr;  // nullptr: run_codec()
    Random* random = nullptr;       // nullptr: run_random()
    // Checked before every backup and extended by every file written; nullptr: none.
    ProtectedFiles* protected_files = nullptr;
    // Receives each progress piece, in order (the run's console shows them on the
    // file's line). The pipelines print nothing themselves: empty, the pieces go nowhere.
    std::function<void(std::string_view)> progress;
    // Told how far the current long step (reading, compressing, decompressing,
    // writing) has come, as `done` of `total` bytes, about every 256 KiB to 1 MiB;
    // the receiver decides what to show and when. Empty: nothing is told.
    std::function<void(uint64_t done, uint64_t total)> advance;
    // A test seam: the compressed stream's byte at this offset is changed as it
    // is made, as a fault of the codec or of memory would; the check of the
    // stream against its input must then refuse the file.
    uint64_t damage_stream_at = UINT64_MAX;
    // Once it holds true, a call under way ends as soon as it can, unchanged
    // (Status::failed); nullptr: never.
    const std::atomic<bool>* cancel = nullptr;
};

// How a pipeline ended.
enum class Status {
    done,        // the file holds its new contents
    failed,      // the file is unchanged; the dispatch shows its per-file error
    cant_read,   // the file is unchanged; the dispatch ends the run with "Can't read" (kind 1, attribute 4)
    cant_write,  // the file is unchanged; the dispatch ends the run with "Can't write." (kind 1, attribute 4)
};

struct Result {
    Status status = Status::failed;
    Fault fault = Fault::none;   // why, when not done
    std::string identification;  // decrypt_file, when done: the text to show after " - encrypted by "
};

// The codec message that ends the run for a status ("Can't read", "Can't write."), or nullptr.
const char* codec_message(Status status);

// Encrypts the file at `path` in place: compress is the file kind 0 (store, mode
// "0") or 1 (compress, mode "H"). Progress pieces: "... encrypting ", ".", ".",
// "." and, when compressing, " compressing .", ".", "."; then " writing ", ".", ".", ".".
// Refuses contents too large for the format's 32-bit fields before writing anything.
// `classified`, when given, is the stamp classify_file saw: a file replaced or
// changed since then is refused (Fault::changed).
Result encrypt_file(const std::string& path, std::string_view password, int compress, RunContext& run,
                    const platform::fs::FileStamp* classified = nullptr);

// Decrypts the file at `path` in place, with the kind, key index and check-block
// offset that classify_file read from it just before. Progress pieces: "... reading ",
// ".", ".", "." and, for kind 3, " decompressing .", ".", "."; then " decrypting ",
// ".", ".", ".". A wrong password shows only "... reading ".
Result decrypt_file(const std::string& path, std::string_view password, const FileClass& file_class,
                    RunContext& run);

// A file worked on ahead of its turn, for a run that works on several files at
// once: its new contents are complete in a fresh file beside it but for what
// must happen in the run's order (the draw that places the check block, the
// backup and the replace), and the file is still open and locked.
class Prepared {
public:
    ~Prepared();
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;

    // The progress pieces of the work done, to be shown when the file's turn comes.
    const std::vector<std::string>& pieces() const;
    // True for an encryption, false for a decryption.
    bool encrypts() const;

    // Finishes the file at its turn for `run`, as the usual call would have
    // from where the work stopped: the backup, the draw, the replace, and the
    // run's codec given the window bytes the work left. Its pieces go to
    // run.progress. Done: the file holds its new contents (for a decryption
    // `identification` is set). Anything else leaves the file, its backup name,
    // the generator and the codec as they were: the caller then does the file
    // again, the usual way.
    Result commit(RunContext& run);

    struct Work;

private:
    friend std::unique_ptr<Prepared> prepare_file(const std::string&, std::string_view, bool, bool, RunContext&);
    Prepared();
    std::unique_ptr<Work> work_;
};

// Classifies the file at `path` and works on it ahead of its turn, as
// encrypt_file (when `may_encrypt`) or decrypt_file (when `may_decrypt`)
// would, with `run`'s codec, work file, progress steps and cancel flag.
// Nullptr when the file cannot be done ahead: any failure, a codec input or
// output shorter than Codec::independent_size, a decoding that copied the
// codec's carried window. The caller then does the file at its turn. Writes
// nothing but the fresh file and `run`'s work file; uses neither run.random
// nor run.protected_files, and keeps its pieces to itself (pieces()).
std::unique_ptr<Prepared> prepare_file(const std::string& path, std::string_view password, bool may_encrypt,
                                       bool may_decrypt, RunContext& run);

// The backup file's name: the path with its extension replaced by "bak".
std::string backup_name(const std::string& path);
// True when a backup is taken for `path`: backups are on and its extension is not "bak".
bool backup_due(const std::string& path, bool no_backup);

// Copies `from` to `to` through a fresh file renamed over `to`, flushed, with the
// permission bits of `from`. 0 on success, -1 when either side cannot be opened or
// made, 1 when a read or write failed, 2 when no buffer could be had.
int copy_file(const std::string& from, const std::string& to);

// When a backup is due for `path`, copies the backup over the file (following a
// link, as the pipelines do) and deletes the backup only when that copy
// succeeded. Returns 0 always. The pipelines never need it (they leave the file
// unchanged on failure); it is there for a caller that wants a file back.
int restore_from_backup(const std::string& path, const std::string& backup, const RunContext& run);

}  // namespace qx::container
