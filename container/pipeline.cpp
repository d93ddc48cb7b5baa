// Encrypting and decrypting one file in place through a fresh file and a rename.
#include "container/pipeline.hpp"

#include "container/chain.hpp"
#include "container/cipher.hpp"
#include "platform/file_system.hpp"
#include "platform/platform.hpp"
#include "platform/thread.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
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
    Job(const std::string& path, RunContext& run) : path_(path), run_(&run) {}

    // The run that the rest of the call works for: a file worked on ahead of
    // its turn is finished for the run that commits it.
    void rebind(RunContext& run) { run_ = &run; }

    void say(std::string_view piece) {
        if (run_->progress) run_->progress(piece);
    }
    bool cancelled() const { return run_->cancel != nullptr && run_->cancel->load(std::memory_order_relaxed); }
    // `count` progress dots, each a piece of its own.
    void dots(int count) {
        for (int i = 0; i < count; ++i) say(".");
    }

    // A long step about to begin: `total` bytes, of which none are done.
    void begin_step(uint64_t total) {
        step_done_ = 0;
        step_total_ = total;
    }
    void step_ahead(uint64_t count) {
        step_done_ += count;
        if (run_->advance) run_->advance(step_done_, step_total_);
    }
    // Tells how far the current step has come, from a count of its own.
    void report(uint64_t done, uint64_t total) {
        if (run_->advance) run_->advance(done, total);
    }
    // While held, the codec's own reports of how far it has come are dropped:
    // another step is still telling its own.
    void hold_codec_reports(bool hold) { codec_reports_held_ = hold; }

    // Makes the run's work file, when it has one, and opens it; false when that fails.
    bool open_work_file(fs::WorkFile& file) {
        if (run_->make_work_file && !run_->make_work_file()) return false;
        return file.open(run_->work_file);
    }
    bool has_work_file() const { return !run_->work_file.empty(); }

    // Runs one codec operation on `total` bytes, the codec telling how far it has come.
    template <typename Operation>
    Fault codec_step(uint64_t total, Operation operation) {
        begin_step(total);
        codec::Codec& coder = codec();
        if (run_->advance) coder.set_progress({&Job::codec_reports, this});
        const Fault fault = operation(coder);
        coder.set_progress({});
        return fault;
    }

    // Looks at the file to be replaced, which the fresh file goes beside. Whether
    // it may be replaced (writable, one name) is told by check_target().
    void inspect_target() { inspected_ = fs::inspect_target(path_, target_); }
    Fault check_target() const {
        if (!inspected_) return Fault::cannot_open;
        if (!target_.writable) return Fault::read_only;
        if (target_.links > 1) return Fault::several_links;
        return Fault::none;
    }
    // Starts the fresh file beside the file; false when it cannot be made.
    bool begin_fresh(fs::Replacement& fresh) const { return inspected_ && fresh.begin(target_.path); }

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
    Fault take_backup() {
        // Another program's change since the read would otherwise be lost from
        // the file and never reach its backup.
        if (!still_unchanged()) return Fault::changed;
        if (!backup_due(path_, run_->no_backup)) return Fault::none;
        const std::string name = backup_name(path_);
        if (Fault f = backup_place(name); f != Fault::none) return f;
        if (copy_file(path_, name) != 0) return Fault::backup_failed;
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
        if (there == fs::Occupant::file && run_->protected_files != nullptr && fs::stamp_path(name, stamp) &&
            run_->protected_files->contains(stamp))
            return Fault::backup_collides;
        return Fault::none;
    }

    // Records a file this run has written, so that no later backup replaces it.
    void remember(const std::string& written) {
        if (run_->protected_files != nullptr) run_->protected_files->add_path(written);
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

    // Renames the fresh file over the file, which until then holds its old contents
    // and from then on the new ones; the path must still name the file that was read.
    Written replace(fs::Replacement& fresh, bool begun, bool write_failed) {
        if (!begun) return Written::not_created;
        if (write_failed) return Written::failed;  // fresh's destructor deletes the fresh file
        in_.release_for_replace();
        if (fresh.commit(target_.mode, target_.owner, target_.group, &in_.stamp())) {
            replaced_ = true;
            remember(target_.path);
            return Written::ok;
        }
        return fresh.changed() ? Written::changed : Written::failed;
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
    bool replaced() const { return replaced_; }

    Random& random() { return run_->random ? *run_->random : run_random(); }
    codec::Codec& codec() { return run_->codec ? *run_->codec : run_codec(); }
    uint64_t damage_stream_at() const { return run_->damage_stream_at; }

private:
    const std::string path_;
    RunContext* run_;
    static void codec_reports(void* job, uint64_t done, uint64_t total) {
        Job& self = *static_cast<Job*>(job);
        if (!self.codec_reports_held_) self.run_->advance(done, total);
    }
    bool codec_reports_held_ = false;

    fs::Target target_;
    bool inspected_ = false;
    uint64_t step_done_ = 0, step_total_ = 0;
    fs::InputFile in_;  // the file as read; open (and locked) until the call ends
    std::string backup_;  // the backup file this call wrote, until the call has succeeded
    bool replaced_ = false;  // the file holds its new contents
};

// Long reads and writes go in pieces of this size.
constexpr size_t piece_size = size_t{1} << 20;

// Ranges of the input file, read a piece at a time in order, telling the job how
// far it has come. The file must end right after the last range, so that a file
// that grew since its size was taken is never cut silently.
class FileSource final : public codec::ByteSource {
public:
    // `tell`: the pieces read count as the job's current step.
    FileSource(Job& job, std::initializer_list<std::pair<uint64_t, uint64_t>> ranges, bool tell = true)
        : job_(job), buffer_(piece_size), tell_(tell) {
        for (const auto& range : ranges) ranges_.push_back(range);
    }

    long long next(const uint8_t*& data) override {
        while (at_ < ranges_.size() && ranges_[at_].first == ranges_[at_].second) ++at_;
        if (job_.cancelled()) return fail();
        fs::InputFile& in = job_.input();
        if (at_ == ranges_.size()) {
            if (!end_checked_ && !ranges_.empty() && !in.read_to_end(ranges_.back().second, buffer_.data(), 0))
                return fail();
            end_checked_ = true;
            return 0;
        }
        auto& [offset, end] = ranges_[at_];
        const size_t part = static_cast<size_t>(std::min<uint64_t>(end - offset, piece_size));
        const bool last = at_ + 1 == ranges_.size() && offset + part == end;
        if (!(last ? in.read_to_end(offset, buffer_.data(), part) : in.read_at(offset, buffer_.data(), part)))
            return fail();
        end_checked_ = last;
        offset += part;
        if (tell_) job_.step_ahead(part);
        data = buffer_.data();
        return static_cast<long long>(part);
    }
    bool failed() const { return failed_; }

private:
    long long fail() {
        failed_ = true;
        return -1;
    }
    Job& job_;
    std::vector<uint8_t> buffer_;
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;  // [offset, end) each
    size_t at_ = 0;
    bool tell_, end_checked_ = false, failed_ = false;
};

// The work file as a store, holding the codec's input as the run's work file
// always has; the codec reads it back through a StoreSource.
class WorkStore final : public Store {
public:
    explicit WorkStore(fs::WorkFile& file) : file_(file) {}
    bool write_at(uint64_t offset, const uint8_t* data, size_t count) override {
        return file_.write_at(offset, data, count);
    }
    bool read_at(uint64_t offset, uint8_t* data, size_t count) override { return file_.read_at(offset, data, count); }
    bool truncate(uint64_t) override { return false; }

private:
    fs::WorkFile& file_;
};

// Flushes a fresh file on a thread of its own every few MiB written, so that
// the flush before the rename has only the last of them left: a disk that
// caches writes (a virtual machine's, typically) takes as long to flush as it
// holds, and that flush is the encryption's last step, which nothing overlaps.
// The writing thread never waits for these flushes.
class Flusher {
public:
    explicit Flusher(fs::Replacement& fresh) : fresh_(fresh) {}
    ~Flusher() { stop(); }
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

    // `count` more bytes are written.
    void written(uint64_t count) {
        unflushed_ += count;
        if (unflushed_ < flush_every) return;
        unflushed_ = 0;
        if (!started_) {
            started_ = true;
            running_ = thread_.start(&Flusher::body, this);
        }
        // Without a thread, the flush before the rename does it all, as it always could.
        if (!running_) return;
        platform::Lock lock(mutex_);
        due_ = true;
        changed_.notify_all();
    }
    // Waits for a flush under way and ends the thread. False when a flush failed:
    // its error would not show again in the flush before the rename.
    bool stop() {
        if (running_) {
            {
                platform::Lock lock(mutex_);
                quit_ = true;
                changed_.notify_all();
            }
            thread_.join();
            running_ = false;
        }
        return !failed_;
    }

private:
    static constexpr uint64_t flush_every = uint64_t{8} << 20;
    static void body(void* self) { static_cast<Flusher*>(self)->run(); }
    void run() {
        mutex_.lock();
        for (;;) {
            while (!due_ && !quit_) changed_.wait(mutex_);
            if (quit_) break;
            due_ = false;
            mutex_.unlock();
            const bool ok = fresh_.flush_written();
            mutex_.lock();
            if (!ok) failed_ = true;
        }
        mutex_.unlock();
    }

    fs::Replacement& fresh_;
    uint64_t unflushed_ = 0;
    bool started_ = false, running_ = false;
    platform::Mutex mutex_;
    platform::Condition changed_;
    bool due_ = false, quit_ = false, failed_ = false;
    platform::Thread thread_;
};

// The fresh file as a store. A write that fails is remembered and the rest of
// the step goes on without writing, so that the step's own faults come first,
// as they did when the new contents were made in memory before being written;
// the write's failure counts where the file is replaced.
class FreshStore final : public Store {
public:
    FreshStore(fs::Replacement& fresh, bool begun) : fresh_(fresh), flusher_(fresh), writing_(begun) {}
    bool write_at(uint64_t offset, const uint8_t* data, size_t count) override {
        if (writing_ && !fresh_.write_at(offset, data, count)) stop();
        if (writing_) flusher_.written(count);
        return true;
    }
    bool read_at(uint64_t offset, uint8_t* data, size_t count) override {
        if (writing_ && !fresh_.read_at(offset, data, count)) stop();
        return true;
    }
    bool truncate(uint64_t size) override {
        if (writing_ && !fresh_.truncate(size)) stop();
        return true;
    }
    bool failed() const { return failed_; }
    // Before the fresh file is committed: the flushes beside the writing are done.
    void settle() {
        if (!flusher_.stop()) stop();
    }

private:
    void stop() {
        failed_ = true;
        writing_ = false;
    }
    fs::Replacement& fresh_;
    Flusher flusher_;
    bool writing_;
    bool failed_ = false;
};

// The first bytes of the region that lies in the file at [header, offset) and
// from offset + 8 on, for a stream's length header; fewer when it is shorter.
bool read_region_head(fs::InputFile& in, uint32_t offset, uint64_t region_size, uint8_t head[4], size_t& got) {
    got = static_cast<size_t>(std::min<uint64_t>(region_size, 4));
    const size_t before = std::min<size_t>(got, offset - header_size);
    return in.read_at(header_size, head, before) &&
           in.read_at(uint64_t{offset} + check_block_size, head + before, got - before);
}

// A source that ends in failure once the run is cancelled.
class CancellableSource final : public codec::ByteSource {
public:
    CancellableSource(codec::ByteSource& inner, const Job& job) : inner_(inner), job_(job) {}
    long long next(const uint8_t*& data) override { return job_.cancelled() ? -1 : inner_.next(data); }

private:
    codec::ByteSource& inner_;
    const Job& job_;
};

// The codec's input enciphered into the work file on a thread of its own, from
// the region's start (the plaintext's end) on, a segment at a time, while the
// codec already compresses what is there: the cipher chain no longer holds up
// the codec for the whole file. The bytes, the work file and every fault are
// those of encipher_contents; the reading side tells how far the reading has
// come and announces the compression once all of it is in.
class Staging {
public:
    Staging(Job& job, uint64_t size, std::string_view password, fs::WorkFile& work)
        : job_(job), size_(size), plain_(identification_text.size() + 1 + size), work_(work),
          chain_(plain_, password) {
        assemble_plaintext(head_);
    }
    ~Staging() { thread_.join(); }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    // False when no thread could be had: nothing has been done then.
    bool start() { return thread_.start(&Staging::body, this); }

    // Waits until there is more than `at` bytes of the work file, or the staging
    // has ended. Returns how many bytes there are.
    uint64_t wait_beyond(uint64_t at) {
        platform::Lock lock(mutex_);
        while (ready_ <= at && !ended_) changed_.wait(mutex_);
        return ready_;
    }
    // Waits for the end: Fault::none when all of the input is in the work file,
    // else encipher_contents's fault, or Fault::no_memory.
    Fault finish() {
        thread_.join();
        return fault_;
    }
    int key() const { return chain_.key_index(); }
    // The bytes the work file receives: the identification text, ESC and the contents.
    uint64_t size() const { return plain_; }

private:
    static void body(void* self) { static_cast<Staging*>(self)->run(); }

    void run() {
        fs::InputFile& in = job_.input();
        const uint64_t head = sizeof head_;
        bool read_failed = false;
        const ReadPlain read = [&](uint64_t offset, uint8_t* data, size_t count) {
            if (job_.cancelled()) return !(read_failed = true);
            // The identification text and ESC, then the contents.
            if (offset < head) {
                const size_t from_head = static_cast<size_t>(std::min<uint64_t>(head - offset, count));
                std::memcpy(data, head_ + offset, from_head);
                data += from_head;
                count -= from_head;
                offset += from_head;
            }
            if (count > 0 && !in.read_at(offset - head, data, count)) read_failed = true;
            return !read_failed;
        };
        const Emit emit = [&](uint64_t offset, const uint8_t* data, size_t count) {
            if (!work_.write_at(offset, data, count)) return false;
            platform::Lock lock(mutex_);
            ready_ = offset + count;
            changed_.notify_all();
            return true;
        };
        bool ok = true, memory = true;
        try {
            while (ok && !chain_.done()) ok = chain_.next(read, emit);
        } catch (const std::bad_alloc&) {
            ok = memory = false;  // on this thread, it would end the program
        }
        uint8_t none = 0;
        // The file must end right after its contents, so that a file that grew is never cut.
        if (ok && !in.read_to_end(size_, &none, 0)) ok = !(read_failed = true);
        platform::Lock lock(mutex_);
        fault_ = ok ? Fault::none : !memory ? Fault::no_memory : read_failed ? Fault::cannot_open : Fault::write_failed;
        ended_ = true;
        changed_.notify_all();
    }

    Job& job_;
    const uint64_t size_, plain_;
    fs::WorkFile& work_;
    OrderedForwardChain chain_;
    uint8_t head_[identification_text.size() + 1];
    platform::Mutex mutex_;
    platform::Condition changed_;
    uint64_t ready_ = 0;
    bool ended_ = false;
    Fault fault_ = Fault::none;
    platform::Thread thread_;
};

// The codec's input from the work file as the staging puts it there.
class StagedSource final : public codec::ByteSource {
public:
    // `announce` is called once all of the input is in, before its last bytes are given.
    StagedSource(Staging& staging, Store& work, Job& job, std::function<void()> announce)
        : staging_(staging), work_(work, 0, staging.size()), job_(job), announce_(std::move(announce)) {}

    long long next(const uint8_t*& data) override {
        const uint64_t size = staging_.size();
        if (work_.at() == size) return 0;
        const uint64_t ready = staging_.wait_beyond(work_.at());
        if (ready <= work_.at()) return -1;  // the staging failed
        if (announce_) {
            // How far the reading has come, in contents bytes (those come first).
            const uint64_t contents = size - identification_text.size() - 1;
            if (ready > told_) job_.report(std::min(ready, contents), contents);
            told_ = ready;
            if (ready == size) std::exchange(announce_, nullptr)();
        }
        return work_.next_before(data, ready);
    }

private:
    Staging& staging_;
    StoreSource work_;
    Job& job_;
    std::function<void()> announce_;
    uint64_t told_ = 0;
};

// The new contents under way in a fresh file beside the file.
struct Output {
    fs::Replacement fresh;
    std::unique_ptr<FreshStore> store;
    bool begun = false;

    void begin(Job& job) {
        begun = job.begin_fresh(fresh);
        store = std::make_unique<FreshStore>(fresh, begun);
    }
};

// What the header of an encrypted file takes, known once its region is complete.
struct Sealing {
    int key = 0;
    uint8_t mode = mode_stored;
    uint64_t z = 0;
    uint64_t region_size = 0;
    RegionPlace place = RegionPlace::in_place;  // where the region was written
};

// Files from this size on are staged beside their compression.
constexpr uint64_t overlap_size = uint64_t{2} << 20;

// The last steps of encrypt_steps, once the region is complete.
Result finish_steps(Job& job, uint8_t mode, uint64_t z, uint64_t plain, Sealing& seal, bool& reached) {
    job.say(" writing ");
    seal.mode = mode;
    seal.z = z;
    seal.region_size = mode == mode_compressed ? z : plain;
    reached = true;
    return failure(Fault::none);
}

// The outcome of the compression in encrypt_steps.
Result finish_compressed(Job& job, Fault compressed, Output& out, uint64_t z, uint8_t mode, Sealing& seal,
                         bool& reached) {
    // A fresh file that could not be written is no stream to check: that write fails below.
    if (compressed == Fault::unverified && out.store->failed()) compressed = Fault::none;
    if (compressed == Fault::codec_cant_read) {
        job.keep_backup();  // the work file could not be read back: as a work file that failed
        return failure(Fault::work_file_failed);
    }
    if (compressed != Fault::none) return job.fail(compressed);
    job.say(".");
    if (!region_fits_format(z)) return job.fail(Fault::too_large);
    job.say(".");
    return finish_steps(job, mode, z, z, seal, reached);
}

// The steps of an encryption up to the draw. `ahead`: the call works ahead of
// its turn, so it takes no backup (commit() does), codes only inputs that do not
// depend on the codec's carried window, and writes a stored region behind the
// block's place, since the draw is not known yet. `reached`: every step up to
// the draw succeeded (the result is then of no use).
Result encrypt_steps(Job& job, std::string_view password, int compress, const fs::FileStamp* classified, Output& out,
                     Sealing& seal, bool ahead, bool& reached) {
    reached = false;
    if (password.empty() || (compress != 0 && compress != 1)) return failure(Fault::bad_argument);

    // Nothing is written until the backup; the file holds its old contents throughout.
    if (Fault f = job.open_input(classified); f != Fault::none) return failure(f);
    const uint64_t size = job.input().size();
    if (!contents_fit_format(size, compress == 1)) return failure(Fault::too_large);
    const uint64_t plain = identification_text.size() + 1 + size;
    if (ahead && compress == 1 && plain < codec::Codec::independent_size) return failure(Fault::bad_argument);
    job.say("... encrypting ");
    job.inspect_target();
    if (Fault f = job.check_target(); f != Fault::none) return failure(f);
    // The backup (when due) is complete and flushed from here on; the file is untouched.
    if (!ahead)
        if (Fault f = job.take_backup(); f != Fault::none) return failure(f);
    job.say(".");

    uint64_t z = size;
    uint8_t mode = mode_stored;
    // The contents are read once more, now enciphered on the way: a file that
    // grew or shrank since its size was taken fails rather than being cut or padded.
    job.begin_step(size);
    if (compress == 0) {
        FileSource contents(job, {{0, size}});
        // The region goes straight to its place in the fresh file: the check
        // block's offset is known now from the draw that writing will take.
        uint64_t base = container_overhead, split = UINT64_MAX;
        if (!ahead) {
            base = header_size;
            split = check_block_offset(job.random().peek(), static_cast<uint32_t>(size)) - header_size;
        }
        seal.place = ahead ? RegionPlace::behind : RegionPlace::in_place;
        out.begin(job);
        if (Fault f = encipher_contents(contents, size, password, *out.store, base, split, seal.key); f != Fault::none)
            return job.fail(f);
        job.dots(2);
    } else {
        mode = mode_compressed;
        // The stream is written on the side of the check block's place that
        // leaves less of it to move once its size is known. At its turn the
        // draw that writing will take is known now; ahead of it, it is not.
        seal.place = ahead ? RegionPlace::behind : cheaper_place(job.random().peek());
        const uint64_t stream_at = seal.place == RegionPlace::in_front ? header_size : container_overhead;
        // The work file receives the codec's input, as it always has; the codec
        // reads it back from there. Without a work file it stays in memory.
        fs::WorkFile work;
        MemoryStore in_memory;
        const bool staged_in_file = job.has_work_file();
        bool work_ok = !staged_in_file || job.open_work_file(work);
        WorkStore work_store(work);
        Store& staging = staged_in_file ? static_cast<Store&>(work_store) : in_memory;
        const auto compress = [&](codec::ByteSource& source) {
            return job.codec_step(plain, [&](codec::Codec& codec) {
                return compress_staged(codec, source, plain, *out.store, z, staging, job.damage_stream_at(),
                                       stream_at);
            });
        };
        // The file is unchanged and its backup stays.
        const auto work_file_failed = [&] {
            job.dots(2);
            job.keep_backup();
            return failure(Fault::work_file_failed);
        };
        // A file of a few segments or more is staged beside the compression.
        if (work_ok && staged_in_file && !ahead && plain >= overlap_size) {
            Staging beside(job, size, password, work);
            if (beside.start()) {
                bool announced = false;
                const auto announce = [&] {
                    announced = true;
                    job.dots(2);
                    job.say(" compressing .");
                    job.hold_codec_reports(false);
                };
                out.begin(job);
                StagedSource staged(beside, work_store, job, announce);
                CancellableSource source(staged, job);
                job.hold_codec_reports(true);
                const Fault compressed = compress(source);
                job.hold_codec_reports(false);
                // Its faults come first, as the staging's did when it ran before the compression.
                const Fault staged_fault = beside.finish();
                if (staged_fault == Fault::cannot_open || staged_fault == Fault::no_memory) return job.fail(staged_fault);
                if (staged_fault != Fault::none) return work_file_failed();
                if (!announced) announce();
                seal.key = beside.key();
                return finish_compressed(job, compressed, out, z, mode, seal, reached);
            }
        }
        if (work_ok) {
            FileSource contents(job, {{0, size}});
            const Fault f = encipher_contents(contents, size, password, staging, 0, UINT64_MAX, seal.key);
            if (f == Fault::cannot_open) return job.fail(f);
            work_ok = f == Fault::none;
        }
        if (!work_ok) return work_file_failed();
        job.dots(2);
        job.say(" compressing .");
        out.begin(job);
        StoreSource staged(staging, 0, plain);
        CancellableSource source(staged, job);
        const Fault compressed = compress(source);  // before z is read
        return finish_compressed(job, compressed, out, z, mode, seal, reached);
    }
    return finish_steps(job, mode, z, plain, seal, reached);
}

// The last steps of an encryption: draws, writes header and check block, and replaces the file.
Result seal_and_replace(Job& job, std::string_view password, Output& out, const Sealing& seal) {
    if (Fault f = finish_sealed(*out.store, seal.key, seal.mode, static_cast<uint32_t>(seal.z), seal.region_size,
                                job.random().next(), password, seal.place);
        f != Fault::none)
        return job.fail(f);
    job.dots(2);
    out.store->settle();
    const auto written = job.replace(out.fresh, out.begun, out.store->failed());
    if (written != Job::Written::ok) return job.fail_write(written, seal.mode == mode_compressed);
    // The file holds its encrypted contents; the backup stays beside it.
    job.keep_backup();
    job.say(".");
    return success();
}

// The steps of a decryption up to the backup. `ahead`: as for encrypt_steps, the
// call works ahead of its turn and decodes only streams whose output does not
// depend on the codec's carried window. `reached` as for encrypt_steps.
Result decrypt_steps(Job& job, std::string_view password, const FileClass& file_class, Output& out,
                     std::string& identification, bool ahead, bool& reached) {
    reached = false;
    const int kind = file_class.kind;
    job.say("... reading ");
    if (password.empty() || (kind != kind_encrypted_stored && kind != kind_encrypted_compressed))
        return failure(Fault::bad_argument);

    // Everything up to the backup goes to the fresh file alone: a wrong password or
    // a damaged file leaves the file, its backup name and everything else as they were.
    if (Fault f = job.open_input(&file_class.stamp); f != Fault::none) return failure(f);
    fs::InputFile& in = job.input();
    const uint64_t size = in.size();
    const uint32_t offset = file_class.check_offset;
    uint8_t block[check_block_size] = {};
    if (check_block_within(size, offset) && !in.read_at(offset, block, check_block_size))
        return failure(Fault::cannot_open);
    if (Fault f = test_check_block(size, offset, block, password); f != Fault::none) return failure(f);

    // The region is the file without header and check block.
    const uint64_t region_size = size - container_overhead;
    const std::initializer_list<std::pair<uint64_t, uint64_t>> region = {
        {header_size, offset}, {uint64_t{offset} + check_block_size, size}};
    job.inspect_target();
    out.begin(job);
    uint64_t contents_size = 0;
    OpenStage stage = OpenStage::region;
    Fault opened;
    uint8_t head[4] = {};
    size_t got = 0;
    const auto decoded_size = [&] { return plain_size(kind, region_size, got == sizeof head ? head : nullptr); };

    if (kind == kind_encrypted_compressed) {
        if (ahead && (!read_region_head(in, offset, region_size, head, got) ||
                      decoded_size() < codec::Codec::independent_size))
            return failure(Fault::bad_argument);
        if (job.has_work_file()) {
            // The work file receives the codec's input, as it always has.
            fs::WorkFile work;
            FileSource source(job, region);
            job.begin_step(region_size);
            bool work_ok = job.open_work_file(work);
            for (uint64_t at = 0; work_ok;) {
                const uint8_t* data = nullptr;
                const long long n = source.next(data);
                if (n < 0) return failure(Fault::cannot_open);
                if (n == 0) break;
                work_ok = work.write_at(at, data, static_cast<size_t>(n));
                at += static_cast<uint64_t>(n);
            }
            if (!work_ok) {
                job.dots(3);
                return failure(Fault::work_file_failed);
            }
        }
        job.dots(3);
        job.say(" decompressing .");
        if (!read_region_head(in, offset, region_size, head, got)) return failure(Fault::cannot_open);
        const uint64_t plain = decoded_size();
        FileSource source(job, region, false);  // the codec tells how far it has come
        opened = job.codec_step(plain, [&](codec::Codec& codec) {
            return open_region(source, kind, plain, region_size, password, file_class.key_index, codec, *out.store,
                               contents_size, identification, &stage);
        });
        if (source.failed()) return failure(Fault::cannot_open);
        if (stage == OpenStage::region && opened != Fault::none)
            return failure(opened, opened == Fault::codec_cant_read ? Status::cant_read : Status::failed);
        if (ahead && job.codec().last_read_carried()) return failure(Fault::bad_argument);
        job.dots(2);
    } else {
        FileSource source(job, region);
        job.begin_step(region_size);
        opened = open_region(source, kind, region_size, region_size, password, file_class.key_index,
                             job.codec(), *out.store, contents_size, identification, &stage);
        if (stage == OpenStage::region && opened != Fault::none) return failure(opened);
        job.dots(3);
    }

    job.say(" decrypting ");
    // The cipher's own tests fail after its second step, a missing text after its third.
    job.say(".");
    if (stage == OpenStage::cipher && opened != Fault::none) {
        job.say(".");
        return failure(opened);
    }
    job.dots(2);
    if (opened != Fault::none) return failure(opened);
    reached = true;
    return failure(Fault::none);
}

// The last steps of a decryption: the backup, then the file replaced.
Result back_up_and_replace(Job& job, Output& out, std::string identification, bool codec_output) {
    if (Fault f = job.check_target(); f != Fault::none) return failure(f);
    // From here the backup (when due) is complete and flushed; the file is untouched.
    if (Fault f = job.take_backup(); f != Fault::none) return failure(f);
    out.store->settle();
    const auto written = job.replace(out.fresh, out.begun, out.store->failed());
    if (written != Job::Written::ok) return job.fail_write(written, codec_output);
    // The file holds its decrypted contents; the backup stays beside it.
    job.keep_backup();
    return success(std::move(identification));
}

// Runs a call's steps. An allocation that fails deep inside them fails the file,
// unchanged, as any other fault does: the exception would end the program (on
// a worker thread at once). Once the file holds its new contents it is done.
template <class Steps>
Result unless_out_of_memory(Job& job, Steps steps) {
    try {
        return steps();
    } catch (const std::bad_alloc&) {
        return job.replaced() ? success() : job.fail(Fault::no_memory);
    }
}

}  // namespace

Result encrypt_file(const std::string& path, std::string_view password, int compress, RunContext& run,
                    const platform::fs::FileStamp* classified) {
    Job job(path, run);
    Output out;
    Sealing seal;
    return unless_out_of_memory(job, [&] {
        bool reached = false;
        Result steps = encrypt_steps(job, password, compress, classified, out, seal, false, reached);
        if (!reached) return steps;
        return seal_and_replace(job, password, out, seal);
    });
}

Result decrypt_file(const std::string& path, std::string_view password, const FileClass& file_class,
                    RunContext& run) {
    Job job(path, run);
    Output out;
    std::string identification;
    return unless_out_of_memory(job, [&] {
        bool reached = false;
        Result steps = decrypt_steps(job, password, file_class, out, identification, false, reached);
        if (!reached) return steps;
        return back_up_and_replace(job, out, std::move(identification), file_class.kind == kind_encrypted_compressed);
    });
}

struct Prepared::Work {
    RunContext context;  // the worker's, with the pieces kept here
    std::unique_ptr<Job> job;
    Output out;
    Sealing seal;
    bool encrypts = false;
    std::string password;
    std::string identification;
    std::vector<std::string> pieces;
    uint8_t carried[codec::Codec::carried_size] = {};
    size_t carried_count = 0;  // the carried window bytes this work sets: none when it used no codec
};

Prepared::Prepared() : work_(std::make_unique<Work>()) {}
Prepared::~Prepared() = default;

const std::vector<std::string>& Prepared::pieces() const { return work_->pieces; }
bool Prepared::encrypts() const { return work_->encrypts; }

std::unique_ptr<Prepared> prepare_file(const std::string& path, std::string_view password, bool may_encrypt,
                                       bool may_decrypt, RunContext& run) {
    // Short of memory, the file is done at its turn instead; its fresh file goes with `prepared`.
    try {
        const FileClass file_class = classify_file(path);
        const bool plain = file_class.kind == kind_plain_stored || file_class.kind == kind_plain_compressed;
        const bool encrypted = file_class.kind == kind_encrypted_stored || file_class.kind == kind_encrypted_compressed;
        if (!(plain && may_encrypt) && !(encrypted && may_decrypt)) return nullptr;
        std::unique_ptr<Prepared> prepared(new Prepared);
        Prepared::Work& work = *prepared->work_;
        work.context = run;
        work.context.progress = [&work](std::string_view piece) { work.pieces.emplace_back(piece); };
        work.job = std::make_unique<Job>(path, work.context);
        work.encrypts = plain;
        work.password = password;
        bool reached = false;
        bool coded = false;
        if (plain) {
            encrypt_steps(*work.job, password, file_class.kind, &file_class.stamp, work.out, work.seal, true, reached);
            coded = file_class.kind == kind_plain_compressed;
        } else {
            decrypt_steps(*work.job, password, file_class, work.out, work.identification, true, reached);
            coded = file_class.kind == kind_encrypted_compressed;
        }
        if (!reached || work.out.store->failed()) return nullptr;
        if (coded) {
            work.job->codec().carried_bytes(work.carried);
            work.carried_count = plain ? codec::Codec::carried_size : codec::Codec::carried_by_decoding;
        }
        return prepared;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

Result Prepared::commit(RunContext& run) {
    Work& work = *work_;
    Job& job = *work.job;
    job.rebind(run);
    Random& random = job.random();
    const Random before = random;
    Result result = unless_out_of_memory(job, [&] {
        if (!work.encrypts) return back_up_and_replace(job, work.out, work.identification, work.carried_count != 0);
        // The backup first, as when the whole call runs at its turn.
        if (Fault f = job.take_backup(); f != Fault::none) return job.fail(f);
        return seal_and_replace(job, work.password, work.out, work.seal);
    });
    if (result.status != Status::done) {
        random = before;  // the call is done again at its turn, with the same draw
        return result;
    }
    if (work.carried_count != 0) job.codec().set_carried_bytes(work.carried, work.carried_count);
    return result;
}

}  // namespace qx::container
