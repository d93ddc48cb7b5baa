// Several files at once: worker threads prepare entries ahead, the main thread finishes them in list order.
#include "driver/batch.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "codec/codec.hpp"
#include "console/progress.hpp"
#include "container/pipeline.hpp"
#include "platform/file_system.hpp"
#include "platform/thread.hpp"

namespace qx::driver {

namespace {

namespace fs = platform::fs;

// Work ahead is bounded: at most this many entries per worker wait beyond the
// one being finished, and at most this many bytes of their files. The work
// itself lies in fresh files on disk; memory holds only each worker's buffers.
constexpr size_t entries_per_worker = 2;
constexpr uint64_t bytes_ahead_budget = uint64_t{512} << 20;

// One entry of the list, from its reading to its turn.
struct Slot {
    enum class State { queued, working, ready, in_order };
    std::string entry;
    int number = 0;
    fs::FileStamp stamp;  // the file the entry named when it was taken
    State state = State::queued;
    std::unique_ptr<container::Prepared> prepared;  // ready: null when it is done at its turn
    std::atomic<uint64_t> done{0}, total{0};         // how far a worker's current step has come
};

struct Worker {
    platform::Thread thread;
    codec::Codec codec;
    RunWorkFile work_file;  // its own, named like the run's
    container::RunContext context;
    Slot* current = nullptr;
};

struct Batch {
    platform::Mutex mutex;
    platform::Condition changed;  // a slot's state, or stopping
    std::atomic<bool> stopping{false};
    std::deque<std::unique_ptr<Slot>> slots;  // in list order; the front is the next to finish
    std::vector<std::unique_ptr<Worker>> workers;  // threads of their own
    std::unique_ptr<Worker> main_worker;          // the main thread's, while its front entry is worked on
    std::string password;
    bool may_encrypt = true, may_decrypt = true;
    uint64_t bytes_ahead = 0;
    size_t most_slots = 0;
};

Batch* running = nullptr;

void work(void* context);

// A work file name that neither the run's nor another worker's has.
std::string worker_file_name(const RunState& state, const Batch& batch) {
    return free_work_file_name([&](const std::string& name) {
        bool taken = name == state.work_file.name || (batch.main_worker && batch.main_worker->work_file.name == name);
        for (const auto& other : batch.workers) taken = taken || other->work_file.name == name;
        return taken;
    });
}

// The slot a worker takes next: the earliest queued one after the front. The
// front entry is the main thread's to do, the usual way, with its progress shown
// as it comes; workers only work ahead of it.
Slot* next_queued(Batch& batch) {
    for (size_t i = 1; i < batch.slots.size(); ++i)
        if (batch.slots[i]->state == Slot::State::queued) return batch.slots[i].get();
    return nullptr;
}

// Works on a queued slot; called and returning with the batch's mutex held.
void prepare_slot(Batch& batch, Worker& worker, Slot& slot) {
    slot.state = Slot::State::working;
    worker.current = &slot;
    batch.mutex.unlock();
    std::unique_ptr<container::Prepared> prepared =
        container::prepare_file(slot.entry, batch.password, batch.may_encrypt, batch.may_decrypt, worker.context);
    batch.mutex.lock();
    worker.current = nullptr;
    slot.prepared = std::move(prepared);
    slot.state = Slot::State::ready;
    batch.changed.notify_all();
}

void work(void* context) {
    Worker& worker = *static_cast<Worker*>(context);
    Batch& batch = *running;
    platform::Lock lock(batch.mutex);
    while (!batch.stopping.load()) {
        if (Slot* slot = next_queued(batch))
            prepare_slot(batch, worker, *slot);
        else
            batch.changed.wait(batch.mutex);
    }
}

std::unique_ptr<Worker> make_worker(RunState& state, Batch& batch) {
    auto worker = std::make_unique<Worker>();
    Worker& w = *worker;
    w.work_file.name = worker_file_name(state, batch);
    w.context.work_file = w.work_file.name;
    w.context.make_work_file = [&w] { return create_work_file(w.work_file); };
    w.context.codec = &w.codec;
    w.context.cancel = &batch.stopping;
    w.context.advance = [&w](uint64_t done, uint64_t total) {
        w.current->done.store(done, std::memory_order_relaxed);
        w.current->total.store(total, std::memory_order_relaxed);
    };
    return worker;
}

bool start_worker(RunState& state, Batch& batch) {
    batch.workers.push_back(make_worker(state, batch));
    Worker& w = *batch.workers.back();
    if (w.thread.start(work, &w)) return true;
    batch.workers.pop_back();
    return false;
}

// True when `stamp` names a file that an entry still to be finished names too.
bool named_before(const Batch& batch, const fs::FileStamp& stamp) {
    for (const auto& slot : batch.slots)
        if (slot->stamp.same_file(stamp)) return true;
    return false;
}

uint64_t bytes_of(const Slot& slot) { return slot.stamp.valid ? slot.stamp.size : 0; }

// Finishes the front entry: announces it, waits for its worker, then commits
// what was prepared, or does the entry the usual way.
void finish_front(RunState& state, Batch& batch) {
    Slot& slot = *batch.slots.front();
    announce_entry(slot.number, slot.entry);
    {
        platform::Lock lock(batch.mutex);
        if (slot.state == Slot::State::queued) slot.state = Slot::State::in_order;  // no worker is free: done here
        if (slot.state == Slot::State::working) entry_progress().piece("");  // its percentage counts from now
        while (slot.state == Slot::State::working) {
            // Rather than wait, the main thread works ahead too.
            if (Slot* other = next_queued(batch)) {
                prepare_slot(batch, *batch.main_worker, *other);
                continue;
            }
            batch.changed.wait_for(batch.mutex, 100);
            entry_progress().advance(slot.done.load(std::memory_order_relaxed),
                                     slot.total.load(std::memory_order_relaxed));
        }
    }
    entry_progress().clear();
    bool finished = false;
    if (slot.prepared) {
        std::vector<std::string> pieces;
        container::RunContext& run = pipeline_context(state);
        run.progress = [&pieces](std::string_view piece) { pieces.emplace_back(piece); };
        run.advance = {};
        const container::Result result = slot.prepared->commit(run);
        if (result.status == container::Status::done) {
            for (const std::string& piece : slot.prepared->pieces()) entry_progress().piece(piece);
            for (const std::string& piece : pieces) entry_progress().piece(piece);
            report_done(state, result, slot.prepared->encrypts());
            finished = true;
        }
        slot.prepared.reset();  // its files are closed and, when not committed, deleted
    }
    if (!finished) process_entry(slot.entry);
    platform::Lock lock(batch.mutex);
    if (batch.slots.size() > 1) batch.bytes_ahead -= bytes_of(*batch.slots[1]);
    batch.slots.pop_front();
}

}  // namespace

int worker_count(const char* setting, int processors) {
    if (setting != nullptr && *setting >= '0' && *setting <= '9') {
        char* end = nullptr;
        const long value = std::strtol(setting, &end, 10);
        if (*end == '\0' && value >= 1) return value < max_workers ? static_cast<int>(value) : max_workers;
    }
    return processors < 1 ? 1 : processors < max_workers ? processors : max_workers;
}

int search_thread_count(int workers) {
    if (workers <= 1) return 0;
    if (workers <= 3) return 1;
    return workers - 2 < 4 ? workers - 2 : 4;
}

bool start_batch(RunState& state, int workers) {
    if (workers < 2 || running != nullptr) return false;
    // Short of memory for more workers, the batch goes on with those it has, or
    // the run does its files one at a time.
    try {
        running = new Batch;  // freed by stop_batch, which every exit passes
        running->password = state.password;
        running->may_encrypt = !state.decrypt_only;
        running->may_decrypt = !state.encrypt_only;
        running->most_slots = entries_per_worker * static_cast<size_t>(workers) + 1;
        // The main thread is one of the workers: it does every entry that no other has started.
        running->main_worker = make_worker(state, *running);
        for (int i = 1; i < workers; ++i)
            if (!start_worker(state, *running)) break;
    } catch (const std::bad_alloc&) {
    }
    if (running != nullptr && (!running->main_worker || running->workers.empty())) stop_batch();
    return running != nullptr;
}

bool batch_running() { return running != nullptr; }

void batch_entry(RunState& state, std::string entry, int number) {
    Batch& batch = *running;
    auto slot = std::make_unique<Slot>();
    slot->entry = std::move(entry);
    slot->number = number;
    fs::stamp_path(slot->entry, slot->stamp);
    // Nothing is done ahead for a file an unfinished entry names as well, nor
    // for what is no file now: such an entry is done at its turn.
    const bool ahead = slot->stamp.valid && !named_before(batch, slot->stamp);
    if (!ahead) slot->state = Slot::State::in_order;
    while (!batch.slots.empty() && (batch.slots.size() >= batch.most_slots ||
                                    (batch.slots.size() > 1 && batch.bytes_ahead + bytes_of(*slot) > bytes_ahead_budget)))
        finish_front(state, batch);
    platform::Lock lock(batch.mutex);
    if (!batch.slots.empty()) batch.bytes_ahead += bytes_of(*slot);
    batch.slots.push_back(std::move(slot));
    batch.changed.notify_all();
}

void finish_batch(RunState& state) {
    if (running == nullptr) return;
    while (!running->slots.empty()) finish_front(state, *running);
    stop_batch();
}

void stop_batch() {
    Batch* batch = running;
    if (batch == nullptr) return;
    {
        platform::Lock lock(batch->mutex);
        batch->stopping.store(true);
        batch->changed.notify_all();
    }
    for (auto& worker : batch->workers) worker->thread.join();
    batch->slots.clear();
    for (auto& worker : batch->workers) remove_work_file(worker->work_file);
    if (batch->main_worker) remove_work_file(batch->main_worker->work_file);
    running = nullptr;
    delete batch;
}

}  // namespace qx::driver
