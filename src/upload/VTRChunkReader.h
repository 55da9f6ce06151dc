// VTRChunkReader: reads one file's chunks ahead of their upload on a thread of its own and
// hashes them there, so that reading and hashing chunk n+1 overlaps the sending of chunk n. Each
// chunk comes with its MD5 for the check against the server's; the MD5 of the whole file runs
// over the same reads for the final verification. A pass that starts past offset 0 hashes the
// bytes before it between chunk reads; chunks read meanwhile are read once more when the
// running digest reaches them.
//
// One chunk at most waits read ahead. Its bytes sit in one of two buffers that are reused across
// chunks and files and refilled only once nothing holds them; if both stay held while the sender
// waits (a request left running), a fresh buffer replaces one and the old one goes with its
// last holder.
//
// The owner (the upload worker) calls every method from one thread. The stream given to start()
// belongs to the reading thread until stop() or finish() returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "foundation/VTRStreamAdditions.h"
#include "foundation/VTRValue.h"

namespace vtr {

class VTRMD5;

class VTRChunkReader {
  public:
    struct Chunk {
        uint64_t offset = 0;
        // Lent until every holder lets it go; null when the file could not give the chunk.
        std::shared_ptr<const VTRBytes> bytes;
        std::string md5;  // base64
        // Without bytes: Error after a failed read, AtEnd when the file ended before the size
        // the pass was given, Closed when the pass was cancelled.
        VTRStreamStatus status = VTRStreamStatus::Open;
    };
    // The MD5 of a whole file from one pass, with the file's identity when the pass began.
    struct FileDigest {
        std::string path;
        VTRFileIdentity identity;
        VTRBytes md5;
    };

    // A file system keeps modification times in steps (a clock tick; up to two seconds on
    // some), so a write in the same step as the one before leaves the time as it was.
    static constexpr std::chrono::nanoseconds kTimestampStep = std::chrono::seconds(2);

    // `cancelled` is asked by the reading thread between reads; true ends the pass early.
    // `timestampStep`: how long after a file's last write a further write is sure to show in
    // its modification time.
    explicit VTRChunkReader(std::function<bool()> cancelled,
                            std::chrono::nanoseconds timestampStep = kTimestampStep);
    // Stops a pass still running.
    ~VTRChunkReader();
    VTRChunkReader(const VTRChunkReader&) = delete;
    VTRChunkReader& operator=(const VTRChunkReader&) = delete;

    // Ends any pass, then starts reading [from, size) of the open `stream` in chunks of
    // `chunkSize`.
    void start(VTRFileInputStream& stream, uint64_t from, uint64_t size, uint64_t chunkSize);
    // The offset of the chunk next() gives next; nothing when no pass runs.
    std::optional<uint64_t> nextOffset() const;
    // The next chunk, waiting for it to be read.
    Chunk next();
    // After the last chunk: waits until the running digest has covered [0, size) and ends the
    // pass. Nothing when the pass could not cover the file (a failed read, a size other than
    // the open file's), when it ended within the time step of the file's last write (bytes read
    // before that step has passed are hashed again after it), or when the pass was cancelled.
    std::optional<FileDigest> finish();
    // Ends the pass at once: the reading thread is joined before it returns.
    void stop();

    // Bytes held by the chunk buffers. Only while no pass runs.
    size_t bufferCapacity() const;

  private:
    struct Buffer;
    struct Shared;
    enum class Step { ReadChunk, CatchUp, End };

    void run();
    Step waitForWork();
    bool hasFreeBuffer() const;
    std::shared_ptr<Buffer>& freeBuffer();
    void readChunk();
    void catchUp();
    // Up to `length` bytes at `offset` into `into`: the count, or -1 after a failed read.
    int64_t readAt(uint64_t offset, uint8_t* into, size_t length);
    std::shared_ptr<const VTRBytes> lend(const std::shared_ptr<Buffer>& buffer);

    std::function<bool()> cancelled_;
    std::chrono::nanoseconds timestampStep_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Buffer> buffers_[2];
    std::thread thread_;

    // The pass, set by start(); afterwards the reading thread's alone.
    VTRFileInputStream* stream_ = nullptr;
    uint64_t end_ = 0;
    uint64_t chunkSize_ = 0;
    uint64_t readOffset_ = 0;  // of the next chunk to read
    uint64_t digested_ = 0;    // how far the running digest has come
    bool readFailed_ = false;
    bool digestBroken_ = false;
    int64_t settledAt_ = 0;  // wall clock (ns) when the last write's time step has passed
    bool settled_ = false;   // the running digest holds only bytes read after settledAt_
    std::unique_ptr<VTRMD5> running_;
    std::unique_ptr<uint8_t[]> scratch_;  // for the bytes read again
    std::optional<VTRFileIdentity> identity_;
    std::optional<FileDigest> digest_;  // set by the thread as it ends

    // The owner's side: the offset next() gives next.
    std::optional<uint64_t> given_;
};

}  // namespace vtr
