// Work that runs beside the codec on a second thread within one file: the
// inverse chain and the writes while a stream decodes, and the check that a
// stream being written decodes back to its input.
#pragma once

#include "codec/codec.hpp"
#include "container/sealed.hpp"
#include "platform/thread.hpp"

#include <cstdint>
#include <deque>
#include <vector>

namespace qx::container {

// Pieces of bytes handed from one thread to another, in order, at most `depth`
// of them waiting at once: the producer waits while the queue is full, so that
// the memory it holds stays bounded whatever the two threads' speeds.
class PieceQueue {
public:
    // Room for every buffer there can be (those waiting and the one held), so
    // that handing one back never allocates on the consumer's thread.
    explicit PieceQueue(size_t depth) : depth_(depth) { spare_.reserve(depth + 1); }

    // Producer: queues a copy of the bytes. False when the consumer has stopped
    // (or the copy could not be had).
    bool push(const uint8_t* data, size_t size);
    // Producer: no more pieces; `complete` false when the producer failed part-way.
    void close(bool complete);

    // Consumer: the next piece, valid until the next call: its size, 0 at the end
    // of a complete run of pieces, -1 when the producer gave up.
    long long pop(const uint8_t*& data);
    // Consumer: takes nothing more; the producer's pushes fail from now on.
    void stop();

private:
    platform::Mutex mutex_;
    platform::Condition changed_;
    const size_t depth_;
    std::deque<std::vector<uint8_t>> waiting_;
    std::vector<std::vector<uint8_t>> spare_;  // buffers to reuse, so that pieces are not allocated each time
    std::vector<uint8_t> held_;                // the piece the consumer has now
    bool closed_ = false, complete_ = false, stopped_ = false;
};

// A sink that hands the pieces put into it to `downstream` on a thread of its
// own, so that what the downstream does (the inverse chain and its writes)
// overlaps with what produces them (the codec). Without a thread (`threaded`
// false, or none to be had) the pieces go straight through.
class OverlappedSink final : public codec::ByteSink {
public:
    OverlappedSink(codec::ByteSink& downstream, bool threaded);
    ~OverlappedSink() override;

    bool put(const uint8_t* data, size_t size) override;
    // Waits until the downstream has had every piece; `complete` false when the
    // producer failed part-way. True when the downstream took every piece.
    bool finish(bool complete);

private:
    static void drain(void* self);
    codec::ByteSink& downstream_;
    PieceQueue queue_;
    platform::Thread thread_;
    bool threaded_ = false;
    bool ok_ = true;  // written by the thread until it ends, by put() when there is none
    bool lost_ = false;  // a piece that could not be queued
};

// Checks that a compressed stream decodes back to its input while it is being
// written. Every piece of the stream put here goes to `out` and is decoded on a
// thread of its own, with a codec whose window is the one the compressing codec
// starts from, and the result compared with the `size` bytes of input that
// `input` holds from offset 0. Without a thread, finish() decodes the stream
// that `written` holds from offset `written_at` instead.
class StreamCheck final : public codec::ByteSink {
public:
    StreamCheck(const codec::Codec& compressing, codec::ByteSink& out, Store& input, uint64_t size, Store& written,
                uint64_t written_at);
    ~StreamCheck() override;

    bool put(const uint8_t* data, size_t size) override;
    // After the compression (`complete` false when it failed part-way): waits for
    // the check. True when the stream decoded to exactly the input.
    bool finish(bool complete);
    // After finish: true when the check could not have the memory it needed.
    bool short_of_memory() const { return short_of_memory_; }

    // A test seam: changes the stream's byte at this offset before it reaches
    // `out` and the check, as a fault of the codec or of memory would.
    uint64_t damage_at = UINT64_MAX;

private:
    static void check(void* self);
    bool decode(codec::ByteSource& stream);
    codec::Codec codec_;
    codec::ByteSink& out_;
    Store& input_;
    const uint64_t size_;
    Store& written_;
    const uint64_t written_at_;
    uint64_t produced_ = 0;
    PieceQueue queue_;
    platform::Thread thread_;
    bool threaded_ = false;
    bool same_ = false;            // written by the thread until it ends
    bool short_of_memory_ = false;  // likewise
};

}  // namespace qx::container
