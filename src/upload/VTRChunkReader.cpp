#include "upload/VTRChunkReader.h"

#include <time.h>

#include <algorithm>
#include <atomic>

#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRMD5.h"

namespace vtr {

namespace {

// The bytes before a resumed pass, and chunks read again, are hashed a MiB at a time: short
// enough that a wanted chunk or a stop waits little.
constexpr size_t kCatchUpSize = size_t{1} << 20;

// Now on the clock file systems stamp modification times with, in nanoseconds.
int64_t wallClockNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

// A chunk buffer and whether its bytes are lent: set while anything holds the chunk made by
// lend(), cleared by the last holder letting go (under the mutex, so the reading thread waiting
// for a buffer wakes). The thread refills only buffers it reads clear.
struct VTRChunkReader::Buffer {
    VTRBytes bytes;
    std::atomic<bool> lent{false};
};

// What both sides and the holders of lent chunks share. The mutex guards all but `lent`; a lent
// chunk may be let go on any thread, after the reader is gone too.
struct VTRChunkReader::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    bool ownerWaiting = false;
    bool threadDone = true;
    std::optional<Chunk> ready;
};

VTRChunkReader::VTRChunkReader(std::function<bool()> cancelled,
                               std::chrono::nanoseconds timestampStep)
    : cancelled_(std::move(cancelled)),
      timestampStep_(timestampStep),
      shared_(std::make_shared<Shared>()) {}

VTRChunkReader::~VTRChunkReader() {
    stop();
}

void VTRChunkReader::start(VTRFileInputStream& stream, uint64_t from, uint64_t size,
                           uint64_t chunkSize) {
    stop();
    stream_ = &stream;
    end_ = size;
    chunkSize_ = chunkSize;
    readOffset_ = from;
    digested_ = 0;
    readFailed_ = false;
    identity_ = stream.identity();
    // A digest of other bytes than the whole open file would confirm nothing.
    digestBroken_ = !identity_ || identity_->size != size;
    // Until the time step of the file's last write has passed, a further write may leave the
    // modification time as it is; bytes hashed before then count only once read again after.
    settledAt_ = identity_ ? identity_->modifiedSeconds * 1000000000 +
                                 identity_->modifiedNanoseconds + timestampStep_.count()
                           : 0;
    settled_ = wallClockNanoseconds() > settledAt_;
    running_ = std::make_unique<VTRMD5>();
    digest_.reset();
    given_ = from;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = false;
        shared_->ownerWaiting = false;
        shared_->threadDone = false;
    }
    thread_ = std::thread([this] { run(); });
}

std::optional<uint64_t> VTRChunkReader::nextOffset() const {
    return given_;
}

VTRChunkReader::Chunk VTRChunkReader::next() {
    std::unique_lock lock(shared_->mutex);
    shared_->ownerWaiting = true;
    shared_->changed.notify_all();
    shared_->changed.wait(lock, [this] { return shared_->ready || shared_->threadDone; });
    shared_->ownerWaiting = false;
    Chunk chunk{given_.value_or(0), nullptr, {}, VTRStreamStatus::Closed};
    if (shared_->ready) chunk = std::move(*shared_->ready);
    shared_->ready.reset();
    shared_->changed.notify_all();
    lock.unlock();
    if (chunk.bytes) given_ = chunk.offset + chunk.bytes->size();
    return chunk;
}

std::optional<VTRChunkReader::FileDigest> VTRChunkReader::finish() {
    if (!thread_.joinable()) return std::nullopt;
    thread_.join();
    std::optional<FileDigest> digest = std::move(digest_);
    stop();
    return digest;
}

void VTRChunkReader::stop() {
    std::optional<Chunk> unsent;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        shared_->changed.notify_all();
        unsent = std::move(shared_->ready);
        shared_->ready.reset();
    }
    // Let go outside the lock: the last holder of a chunk takes the mutex.
    unsent.reset();
    if (thread_.joinable()) thread_.join();
    stream_ = nullptr;
    running_.reset();
    scratch_.reset();
    given_.reset();
}

size_t VTRChunkReader::bufferCapacity() const {
    size_t capacity = 0;
    for (const std::shared_ptr<Buffer>& buffer : buffers_)
        if (buffer) capacity += buffer->bytes.capacity();
    return capacity;
}

// MARK: the reading thread

void VTRChunkReader::run() {
    for (;;) {
        Step step = waitForWork();
        if (step == Step::End) break;
        if (!settled_ && wallClockNanoseconds() > settledAt_) {
            running_ = std::make_unique<VTRMD5>();
            digested_ = 0;
            settled_ = true;
        }
        if (step == Step::ReadChunk)
            readChunk();
        else
            catchUp();
    }
    bool stopped;
    {
        std::lock_guard lock(shared_->mutex);
        stopped = shared_->stopping;
    }
    if (!stopped && !cancelled_() && !digestBroken_ && settled_ && digested_ == end_)
        digest_ = FileDigest{stream_->path(), *identity_, running_->finish()};
    std::lock_guard lock(shared_->mutex);
    shared_->threadDone = true;
    shared_->changed.notify_all();
}

VTRChunkReader::Step VTRChunkReader::waitForWork() {
    std::unique_lock lock(shared_->mutex);
    for (;;) {
        if (shared_->stopping || cancelled_()) return Step::End;
        const bool chunksLeft = !readFailed_ && readOffset_ < end_;
        if (chunksLeft && !shared_->ready && (hasFreeBuffer() || shared_->ownerWaiting))
            return Step::ReadChunk;
        if (!digestBroken_ && !readFailed_ && digested_ < readOffset_) return Step::CatchUp;
        if (!chunksLeft) return Step::End;
        shared_->changed.wait(lock);
    }
}

bool VTRChunkReader::hasFreeBuffer() const {
    for (const std::shared_ptr<Buffer>& buffer : buffers_)
        if (!buffer || !buffer->lent.load(std::memory_order_acquire)) return true;
    return false;
}

std::shared_ptr<VTRChunkReader::Buffer>& VTRChunkReader::freeBuffer() {
    for (std::shared_ptr<Buffer>& buffer : buffers_) {
        if (!buffer) buffer = std::make_shared<Buffer>();
        if (!buffer->lent.load(std::memory_order_acquire)) return buffer;
    }
    // Both held while the owner waits, one by a request left running: that buffer stays with
    // its holders, which free it when done.
    buffers_[0] = std::make_shared<Buffer>();
    return buffers_[0];
}

int64_t VTRChunkReader::readAt(uint64_t offset, uint8_t* into, size_t length) {
    if (stream_->offset() != static_cast<int64_t>(offset) && !stream_->setOffset(offset)) return -1;
    size_t n = 0;
    while (n < length) {
        int64_t got = stream_->read(into + n, length - n);
        if (got < 0) return -1;
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(n);
}

void VTRChunkReader::readChunk() {
    std::shared_ptr<Buffer>& buffer = freeBuffer();
    VTRBytes& bytes = buffer->bytes;
    // Never more than the bytes left of the size given: a small file takes a small buffer.
    const size_t length = static_cast<size_t>(std::min(chunkSize_, end_ - readOffset_));
    if (bytes.capacity() < length) bytes.reserve(length);
    bytes.resize(length);
    const int64_t n = readAt(readOffset_, bytes.data(), length);
    Chunk chunk;
    chunk.offset = readOffset_;
    if (n <= 0) {
        chunk.status = n < 0 ? stream_->status() : VTRStreamStatus::AtEnd;
        readFailed_ = true;
    } else {
        bytes.resize(static_cast<size_t>(n));
        chunk.md5 = base64String(md5Digest(bytes.data(), bytes.size()));
        chunk.bytes = lend(buffer);
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->ready = std::move(chunk);
        shared_->changed.notify_all();
    }
    if (n <= 0) return;
    // The bytes stay as they are while lent, and only this thread refills the buffer.
    if (!digestBroken_ && digested_ == readOffset_) {
        running_->update(bytes.data(), bytes.size());
        digested_ += static_cast<uint64_t>(n);
    }
    readOffset_ += static_cast<uint64_t>(n);
}

void VTRChunkReader::catchUp() {
    if (!scratch_) scratch_ = std::make_unique_for_overwrite<uint8_t[]>(kCatchUpSize);
    const size_t length =
        static_cast<size_t>(std::min<uint64_t>(kCatchUpSize, readOffset_ - digested_));
    const int64_t n = readAt(digested_, scratch_.get(), length);
    if (n <= 0) {
        digestBroken_ = true;
        return;
    }
    running_->update(scratch_.get(), static_cast<size_t>(n));
    digested_ += static_cast<uint64_t>(n);
}

// The deleter keeps the buffer and the shared state alive, so a request may outlive the reader.
std::shared_ptr<const VTRBytes> VTRChunkReader::lend(const std::shared_ptr<Buffer>& buffer) {
    buffer->lent.store(true, std::memory_order_relaxed);
    return std::shared_ptr<const VTRBytes>(&buffer->bytes,
                                           [buffer, shared = shared_](const VTRBytes*) {
                                               std::lock_guard lock(shared->mutex);
                                               buffer->lent.store(false, std::memory_order_release);
                                               shared->changed.notify_all();
                                           });
}

}  // namespace vtr
