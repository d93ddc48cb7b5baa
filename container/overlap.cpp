// The second thread within one file: a bounded queue of pieces, the overlapped
// sink, and the check of a stream against its input.
#include "container/overlap.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace qx::container {

bool PieceQueue::push(const uint8_t* data, size_t size) {
    platform::Lock lock(mutex_);
    while (!stopped_ && waiting_.size() >= depth_) changed_.wait(mutex_);
    if (stopped_) return false;
    try {
        std::vector<uint8_t> piece;
        if (!spare_.empty()) {
            piece = std::move(spare_.back());
            spare_.pop_back();
        }
        piece.assign(data, data + size);
        waiting_.push_back(std::move(piece));
    } catch (const std::bad_alloc&) {
        return false;
    }
    changed_.notify_all();
    return true;
}

void PieceQueue::close(bool complete) {
    platform::Lock lock(mutex_);
    closed_ = true;
    complete_ = complete;
    changed_.notify_all();
}

long long PieceQueue::pop(const uint8_t*& data) {
    platform::Lock lock(mutex_);
    if (held_.capacity() > 0) {
        spare_.push_back(std::move(held_));
        held_ = {};
    }
    // A producer that gave up ends the consumer at once, pieces waiting or not.
    while (waiting_.empty() && !closed_) changed_.wait(mutex_);
    if (closed_ && !complete_) return -1;
    if (waiting_.empty()) return 0;
    held_ = std::move(waiting_.front());
    waiting_.pop_front();
    changed_.notify_all();
    data = held_.data();
    return static_cast<long long>(held_.size());
}

void PieceQueue::stop() {
    platform::Lock lock(mutex_);
    stopped_ = true;
    waiting_.clear();
    changed_.notify_all();
}

namespace {

// Two pieces in flight besides the one being worked on: enough to even out
// the two threads' pace, a few MiB at most.
constexpr size_t queue_depth = 2;

// A queue's pieces as a codec's input.
class QueueSource final : public codec::ByteSource {
public:
    explicit QueueSource(PieceQueue& queue) : queue_(queue) {}
    long long next(const uint8_t*& data) override { return queue_.pop(data); }

private:
    PieceQueue& queue_;
};

// Compares what a codec decodes with the bytes of a store from offset 0.
class Comparison final : public codec::ByteSink {
public:
    Comparison(Store& input, uint64_t size) : input_(input), size_(size) {}
    bool put(const uint8_t* data, size_t size) override {
        if (size > size_ - at_) return differs();
        while (size > 0) {
            const size_t part = std::min(size, buffer_.size());
            if (!input_.read_at(at_, buffer_.data(), part) || std::memcmp(buffer_.data(), data, part) != 0)
                return differs();
            at_ += part;
            data += part;
            size -= part;
        }
        return true;
    }
    bool whole() const { return same_ && at_ == size_; }

private:
    bool differs() {
        same_ = false;
        return false;
    }
    Store& input_;
    const uint64_t size_;
    uint64_t at_ = 0;
    bool same_ = true;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(size_t{1} << 20);
};

}  // namespace

OverlappedSink::OverlappedSink(codec::ByteSink& downstream, bool threaded)
    : downstream_(downstream), queue_(queue_depth) {
    threaded_ = threaded && thread_.start(&OverlappedSink::drain, this);
}

OverlappedSink::~OverlappedSink() { finish(false); }

void OverlappedSink::drain(void* self) {
    auto& sink = *static_cast<OverlappedSink*>(self);
    for (;;) {
        const uint8_t* data = nullptr;
        const long long n = sink.queue_.pop(data);
        if (n <= 0) return;
        bool put = false;
        try {
            put = sink.downstream_.put(data, static_cast<size_t>(n));
        } catch (const std::bad_alloc&) {  // on this thread, it would end the program
        }
        if (!put) {
            sink.ok_ = false;
            sink.queue_.stop();
            return;
        }
    }
}

bool OverlappedSink::put(const uint8_t* data, size_t size) {
    if (!threaded_) return ok_ = ok_ && downstream_.put(data, size);
    if (queue_.push(data, size)) return true;
    lost_ = true;  // the downstream stopped, or the copy could not be had
    return false;
}

bool OverlappedSink::finish(bool complete) {
    if (threaded_) {
        queue_.close(complete);
        thread_.join();
        threaded_ = false;
    }
    return ok_ && !lost_;
}

StreamCheck::StreamCheck(const codec::Codec& compressing, codec::ByteSink& out, Store& input, uint64_t size,
                         Store& written, uint64_t written_at)
    : out_(out), input_(input), size_(size), written_(written), written_at_(written_at), queue_(queue_depth) {
    codec_.copy_carried_state(compressing);
    threaded_ = thread_.start(&StreamCheck::check, this);
}

StreamCheck::~StreamCheck() {
    if (threaded_) {
        queue_.close(false);
        thread_.join();
    }
}

// A check that cannot have its buffers proves nothing: the stream counts as
// not the same, and short_of_memory() tells why.
bool StreamCheck::decode(codec::ByteSource& stream) {
    try {
        Comparison comparison(input_, size_);
        codec::Failure why = codec::Failure::none;
        if (codec_.decompress(stream, comparison, &why) == 1) return comparison.whole();
        short_of_memory_ = why == codec::Failure::no_memory;
    } catch (const std::bad_alloc&) {
        short_of_memory_ = true;
    }
    return false;
}

void StreamCheck::check(void* self) {
    // Where processors are short, the compression that the run waits on goes
    // first; the check's short queue keeps it within a few pieces of it.
    platform::lower_this_thread_priority();
    auto& check = *static_cast<StreamCheck*>(self);
    QueueSource stream(check.queue_);
    check.same_ = check.decode(stream);
    // A stream that differs early is refused at the end: the rest is not needed.
    check.queue_.stop();
}

bool StreamCheck::put(const uint8_t* data, size_t size) {
    std::vector<uint8_t> damaged;
    if (damage_at >= produced_ && damage_at - produced_ < size) {
        damaged.assign(data, data + size);
        damaged[static_cast<size_t>(damage_at - produced_)] ^= 0x5A;
        data = damaged.data();
    }
    produced_ += size;
    if (!out_.put(data, size)) return false;
    // The check may have ended already (a difference found): compression goes on.
    if (threaded_) queue_.push(data, size);
    return true;
}

bool StreamCheck::finish(bool complete) {
    if (!threaded_) {
        if (!complete) return false;
        StoreSource stream(written_, written_at_, produced_);
        return decode(stream);
    }
    queue_.close(complete);
    thread_.join();
    threaded_ = false;
    return complete && same_;
}

}  // namespace qx::container
