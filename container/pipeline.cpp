// Encrypting and decrypting one file in place through a fresh file and a rename.
#include "container/pipeline.hpp"

#include "container/cipher.hpp"
#include "platform/file_system.hpp"
#include "platform/platform.hpp"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace qx::container {

namespace fs = platform::fs;

Random& run_random() {
    static Random random;
    return random;
}

codec::Codec& run_codec() {
    static codec::Codec codec;
    return codec;
}

const char* codec_message(Status status) {
    if (status == Status::cant_read) return "Can't read";
    if (status == Status::cant_write) return "Can't write.";
    return nullptr;
}

std::string backup_name(const std::string& path) {
    std::string name = path;
    replace_extension(name, "bak");
    return name;
}

bool backup_due(const std::string& path, bool no_backup) {
    return !no_backup && file_extension(path) != "bak";
}

void ProtectedFiles::add(const fs::FileStamp& stamp) {
    if (stamp.valid) files_.emplace(stamp.device, stamp.file);
}

void ProtectedFiles::add_path(const std::string& path) {
    fs::FileStamp stamp;
    if (fs::stamp_path(path, stamp)) add(stamp);
}

bool ProtectedFiles::contains(const fs::FileStamp& stamp) const {
    return stamp.valid && files_.count({stamp.device, stamp.file}) != 0;
}

int copy_file(const std::string& from, const std::string& to) {
    fs::InputFile in;
    fs::Target source;
    if (!in.open(from) || !fs::inspect_target(from, source)) return -1;
    fs::Replacement out;
    if (!out.begin(to)) return -1;
    constexpr size_t chunk = size_t{1} << 20;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[chunk]);
    if (!buffer) return 2;
    uint64_t offset = 0;
    for (;;) {
        long long got = in.read_some(offset, buffer.get(), chunk);
        if (got < 0) return 1;
        if (got == 0) break;
        if (!out.write(buffer.get(), static_cast<size_t>(got))) return 1;
        offset += static_cast<uint64_t>(got);
    }
    return out.commit(source.mode, source.owner, source.group) ? 0 : 1;
}

int restore_from_backup(const std::string& path, const std::string& backup, const RunContext& run) {
    if (!backup_due(path, run.no_backup)) return 0;
    fs::Target target;
    const std::string destination = fs::inspect_target(path, target) ? target.path : path;
    // A backup that could not be copied back is the only intact copy: it stays.
    if (copy_file(backup, destination) == 0) platform::delete_file(backup);
    return 0;
}

namespace {

Result success(std::string identification = {}) {
    Result result;
    result.status = Status::done;
    result.identification = std::move(identification);
    return result;
}

Result failure(Fault fault, Status status = Status::failed) {
    Result result;
    result.status = status;
    result.fault = fault;
    return result;
}

// One call of a pipeline: its progress output, its backup and how it ends.
class Job {
public:
    Job(const std::string& path, RunContext& run)
        : path_(path), run_(run), codec_(run.codec ? *run.codec : run_codec()),
          random_(run.random ? *run.random : run_random()) {}

    void say(std::string_view piece) {
        if (run_.progress) run_.progress(piece);
    }
    Tick dot() {
        return [this] { say("."); };
    }

    // A long step about to begin: `total` bytes, of which none are done.
    void begin_step(uint64_t total) {
        step_done_ = 0;
        step_total_ = total;
    }
    void step_ahead(uint64_t count) {
        step_done_ += count;
        if (run_.advance) run_.advance(step_done_, step_total_);
    }

    // Reads `count` bytes at `offset` in pieces, telling how far it has come; with
    // `to_end`, the file must end right after them.
    bool read(uint64_t offset, uint8_t* to, size_t count, bool to_end) {
        while (count > step_piece) {
            if (!in_.read_at(offset, to, step_piece)) return false;
            offset += step_piece;
            to += step_piece;
            count -= step_piece;
            step_ahead(step_piece);
        }
        if (!(to_end ? in_.read_to_end(offset, to, count) : in_.read_at(offset, to, count))) return false;
        step_ahead(count);
        return true;
    }

    // Fills the run's work file with the codec's input, making the file first if needed.
    bool write_work_file(const uint8_t* data, size_t size) {
        if (run_.work_file.empty()) return true;
        if (run_.make_work_file && !run_.make_work_file()) return false;
        return fs::write_work_file(run_.work_file, data, size);
    }

    // Runs one codec operation on `total` bytes, the codec telling how far it has come.
    template <typename Operation>
    Fault codec_step(uint64_t total, Operation operation) {
        begin_step(total);
        if (run_.advance) codec_.set_progress({&Job::codec_reports, this});
        const Fault fault = operation(codec_);
        codec_.set_progress({});
        return fault;
    }

    // Looks at the file to be replaced: it must be writable and have one name.
    Fault check_target() {
        if (!fs::inspect_target(path_, target_)) return Fault::cannot_open;
        if (!target_.writable) return Fault::read_only;
        if (target_.links > 1) return Fault::several_links;
        return Fault::none;
    }

    // Opens the file for reading, locked against other runs until the call ends,
    // and makes sure it is the file that was classified, unchanged since.
    Fault open_input(const platform::fs::FileStamp* classified) {
        if (!in_.open(path_)) return Fault::cannot_open;
        if (!in_.lock()) return Fault::busy;
        if (classified != nullptr && classified->valid && !in_.stamp().unchanged(*classified)) return Fault::changed;
        return Fault::none;
    }
    fs::InputFile& input() { return in_; }

    // True while the path still names the file that was read, unchanged.
    bool still_unchanged() const {
        fs::FileStamp now;
        return fs::stamp_path(path_, now) && now.unchanged(in_.stamp()) && fs::stamp_path(target_.path, now) &&
               now.unchanged(in_.stamp());
    }

    // Takes the backup when one is due: complete and flushed before the file is touched.
    // When the caller holds the file's exact contents, they are written from memory
    // rather than read from the file a second time.
    Fault take_backup(const uint8_t* contents = nullptr, size_t size = 0) {
        // Another program's change since the read would otherwise be lost from
        // the file and never reach its backup.
        if (!still_unchanged()) return Fault::changed;
        if (!backup_due(path_, run_.no_backup)) return Fault::none;
        const std::string name = backup_name(path_);
        if (Fault f = backup_place(name); f != Fault::none) return f;
        if (contents != nullptr) {
            fs::Replacement out;
            if (!out.begin(name) || !out.write(contents, size) ||
                !out.commit(target_.mode, target_.owner, target_.group))
                return Fault::backup_failed;
        } else if (copy_file(path_, name) != 0) {
            return Fault::backup_failed;
        }
        backup_ = name;
        remember(name);
        return Fault::none;
    }

    // Whether a backup may be put at `name`: a link there is replaced (unless it
    // leads to the file itself, which would leave no backup at all), a file there
    // only when it is neither write-protected nor one the run must keep.
    Fault backup_place(const std::string& name) const {
        const fs::Occupant there = fs::occupant(name);
        if (there == fs::Occupant::nothing) return Fault::none;
        if (there == fs::Occupant::directory || there == fs::Occupant::other) return Fault::backup_blocked;
        if (fs::same_file(name, target_.path)) return Fault::backup_is_file;
        if (there == fs::Occupant::protected_file) return Fault::backup_blocked;
        fs::FileStamp stamp;
        if (there == fs::Occupant::file && run_.protected_files != nullptr && fs::stamp_path(name, stamp) &&
            run_.protected_files->contains(stamp))
            return Fault::backup_collides;
        return Fault::none;
    }

    // Records a file this run has written, so that no later backup replaces it.
    void remember(const std::string& written) {
        if (run_.protected_files != nullptr) run_.protected_files->add_path(written);
    }

    // Ends a failure that leaves the file unchanged. A backup taken by this call is
    // then an identical copy of the file as it was read (or, when another program
    // has changed the file since, a stale one), and is deleted.
    Result fail(Fault fault, Status status = Status::failed) {
        if (!backup_.empty()) platform::delete_file(backup_);
        backup_.clear();
        return failure(fault, status);
    }

    enum class Written { ok, not_created, failed, changed };

    // Writes the new contents from pieces beside the file and renames them over it,
    // saying "." after the first `tick_after` pieces when that is not 0. Until the
    // rename inside commit() the file holds its old contents, from it on the new ones.
    Written replace(std::initializer_list<std::pair<const uint8_t*, size_t>> pieces, size_t tick_after) {
        fs::Replacement out;
        if (!out.begin(target_.path)) return Written::not_created;
        uint64_t total = 0;
        for (const auto& piece : pieces) total += piece.second;
        begin_step(total);
        size_t done = 0;
        for (auto [data, count] : pieces) {
            while (count > 0) {
                const size_t part = count < step_piece ? count : step_piece;
                if (!out.write(data, part)) return Written::failed;  // out's destructor deletes the fresh file
                data += part;
                count -= part;
                step_ahead(part);
            }
            if (++done == tick_after) say(".");
        }
        in_.release_for_replace();
        if (out.commit(target_.mode, target_.owner, target_.group, &in_.stamp())) {
            remember(target_.path);
            return Written::ok;
        }
        return out.changed() ? Written::changed : Written::failed;
    }

    // A write of new contents that failed part-way is the codec's "Can't write." when
    // those contents are the codec's output; a file that could not even be created,
    // and stored contents, fail as an ordinary per-file failure.
    Result fail_write(Written how, bool codec_output) {
        if (how == Written::changed) return fail(Fault::changed);
        return fail(Fault::write_failed,
                    how == Written::failed && codec_output ? Status::cant_write : Status::failed);
    }

    void keep_backup() { backup_.clear(); }

    Random& random() { return random_; }

private:
    const std::string& path_;
    RunContext& run_;
    static void codec_reports(void* job, uint64_t done, uint64_t total) {
        static_cast<Job*>(job)->run_.advance(done, total);
    }

    codec::Codec& codec_;
    Random& random_;
    fs::Target target_;
    static constexpr size_t step_piece = 1 << 20;  // long reads and writes go in pieces of this size
    uint64_t step_done_ = 0, step_total_ = 0;
    fs::InputFile in_;  // the file as read; open (and locked) until the call ends
    std::string backup_;  // the backup file this call wrote, until the call has succeeded
};

}  // namespace

Result encrypt_file(const std::string& path, std::string_view password, int compress, RunContext& run,
                    const platform::fs::FileStamp* classified) {
    Job job(path, run);
    if (password.empty() || (compress != 0 && compress != 1)) return failure(Fault::bad_argument);

    // Nothing has been written yet; the file holds its old contents throughout.
    if (Fault f = job.open_input(classified); f != Fault::none) return failure(f);
    fs::InputFile& in = job.input();
    const uint64_t size = in.size();
    if (!contents_fit_format(size, compress == 1)) return failure(Fault::too_large);
    const size_t t = identification_text.size();
    if (size > SIZE_MAX - t - 1) return failure(Fault::no_memory);  // beyond the address space
    std::vector<uint8_t> plain;
    try {
        plain.resize(t + 1 + static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return failure(Fault::no_memory);
    }
    job.say("... encrypting ");
    // A file that grew or shrank since its size was taken would be cut or padded.
    job.begin_step(size);
    if (!job.read(0, plain.data() + t + 1, static_cast<size_t>(size), true)) return failure(Fault::cannot_open);

    if (Fault f = job.check_target(); f != Fault::none) return failure(f);
    // The backup (when due) is complete and flushed from here on; the file is untouched.
    if (Fault f = job.take_backup(plain.data() + t + 1, static_cast<size_t>(size)); f != Fault::none)
        return failure(f);
    job.say(".");

    assemble_plaintext(plain.data());
    const int key = encipher_data(plain.data(), plain.size(), password, job.dot());

    Sealed sealed;
    uint32_t z = static_cast<uint32_t>(size);
    uint8_t mode = mode_stored;
    if (compress == 1) {
        mode = mode_compressed;
        // The work file receives the codec's input, as it always has; the codec
        // itself works on the same bytes in memory.
        if (!job.write_work_file(plain.data(), plain.size())) {
            job.keep_backup();  // the file is unchanged and its backup stays
            return failure(Fault::work_file_failed);
        }
        job.say(" compressing .");
        const Fault compressed = job.codec_step(
            plain.size(), [&](codec::Codec& codec) { return compress_region(codec, plain, sealed.region); });
        if (compressed != Fault::none) return job.fail(compressed);
        job.say(".");
        std::vector<uint8_t>().swap(plain);  // only the compressed data is needed from here on
        if (!region_fits_format(sealed.region.size())) return job.fail(Fault::too_large);
        z = static_cast<uint32_t>(sealed.region.size());
        job.say(".");
    } else {
        sealed.region = std::move(plain);
    }

    job.say(" writing ");
    if (Fault f = finish_seal(sealed, key, mode, z, job.random().next(), password); f != Fault::none)
        return job.fail(f);
    job.say(".");
    const uint8_t* region = sealed.region.data();
    const size_t rest = sealed.region.size() - sealed.split;
    // Header, region up to the block, the block, ".", the rest of the region.
    const auto written = job.replace({{sealed.header, header_size},
                                      {region, sealed.split},
                                      {sealed.check.data(), sealed.check.size()},
                                      {region + sealed.split, rest}},
                                     3);
    if (written != Job::Written::ok) return job.fail_write(written, compress == 1);
    // The file holds its encrypted contents; the backup stays beside it.
    job.keep_backup();
    job.say(".");
    return success();
}

Result decrypt_file(const std::string& path, std::string_view password, const FileClass& file_class,
                    RunContext& run) {
    Job job(path, run);
    const int kind = file_class.kind;
    job.say("... reading ");
    if (password.empty() || (kind != kind_encrypted_stored && kind != kind_encrypted_compressed))
        return failure(Fault::bad_argument);

    // Everything up to the backup happens in memory: a wrong password or a damaged
    // file leaves the file, its backup name and everything else on disk unchanged.
    if (Fault f = job.open_input(&file_class.stamp); f != Fault::none) return failure(f);
    fs::InputFile& in = job.input();
    const uint64_t size = in.size();
    const uint32_t offset = file_class.check_offset;
    uint8_t block[check_block_size] = {};
    if (check_block_within(size, offset) && !in.read_at(offset, block, check_block_size))
        return failure(Fault::cannot_open);
    if (Fault f = test_check_block(size, offset, block, password); f != Fault::none) return failure(f);

    // The region is the file without header and check block: never more than the file's size.
    const size_t split = offset - header_size;
    std::vector<uint8_t> region;
    if (size - container_overhead > SIZE_MAX) return failure(Fault::no_memory);
    try {
        region.resize(static_cast<size_t>(size - container_overhead));
    } catch (const std::bad_alloc&) {
        return failure(Fault::no_memory);
    }
    job.begin_step(region.size());
    if (!job.read(header_size, region.data(), split, false)) return failure(Fault::cannot_open);
    job.say(".");
    if (!job.read(uint64_t{offset} + check_block_size, region.data() + split, region.size() - split, true))
        return failure(Fault::cannot_open);
    job.say(".");
    job.say(".");

    if (kind == kind_encrypted_compressed) {
        // The work file receives the codec's input, as it always has.
        if (!job.write_work_file(region.data(), region.size()))
            return failure(Fault::work_file_failed);
        job.say(" decompressing .");
        std::vector<uint8_t> plain;
        const Fault decompressed = job.codec_step(
            region.size(), [&](codec::Codec& codec) { return decompress_region(codec, region, plain); });
        if (decompressed != Fault::none)
            return failure(decompressed, decompressed == Fault::codec_cant_read ? Status::cant_read : Status::failed);
        job.say(".");
        region.swap(plain);
        std::vector<uint8_t>().swap(plain);
        job.say(".");
    }

    job.say(" decrypting ");
    size_t text_size = 0;
    if (Fault f = decipher_region(region, password, file_class.key_index, text_size, job.dot()); f != Fault::none)
        return failure(f);
    std::string identification = displayed_identification(region.data(), text_size);

    if (Fault f = job.check_target(); f != Fault::none) return failure(f);
    // From here the backup (when due) is complete and flushed; the file is untouched.
    if (Fault f = job.take_backup(); f != Fault::none) return failure(f);
    const size_t start = text_size + 1;
    const auto written = job.replace({{region.data() + start, region.size() - start}}, 0);
    if (written != Job::Written::ok) return job.fail_write(written, kind == kind_encrypted_compressed);
    // The file holds its decrypted contents; the backup stays beside it.
    job.keep_backup();
    return success(std::move(identification));
}

}  // namespace qx::container
