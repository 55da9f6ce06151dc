// VTRFileInputStream: a read stream over one local regular file that owns its descriptor, and
// the MD5 digest of what is left to read in such a stream. A stream belongs to one thread at a
// time. Only regular files open: a FIFO, a device or a socket could block a reader forever or
// never end, and a stream never reads past the size the file had when it was opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "foundation/VTRError.h"
#include "foundation/VTRValue.h"

namespace vtr {

// What tells one version of a file from another without reading it: the same device, inode,
// size and modification time (to the nanosecond) mean the bytes were not rewritten.
struct VTRFileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;

    bool operator==(const VTRFileIdentity&) const = default;
};

// The identity of the file at `path` now (links followed); nothing when it cannot be had.
std::optional<VTRFileIdentity> fileIdentity(const std::string& path);

// Numbered as the upload engine logs and stores them after a failed read.
enum class VTRStreamStatus : int {
    NotOpen = 0,
    Open = 2,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

class VTRFileInputStream {
  public:
    explicit VTRFileInputStream(std::string path);
    ~VTRFileInputStream();
    VTRFileInputStream(const VTRFileInputStream&) = delete;
    VTRFileInputStream& operator=(const VTRFileInputStream&) = delete;

    // Opens the file for reading, without waiting on it; anything but a regular file (after
    // following links) is refused. A stream opens once: afterwards, and after a failure, false.
    bool open(VTRError* error = nullptr);
    // Up to maxLength bytes into buffer: the count read, 0 at the end of the file, -1 on a read
    // error or when the stream is not open (status() and streamError() then tell why).
    int64_t read(uint8_t* buffer, size_t maxLength);
    // Closes the descriptor; the stream can no longer be read. Safe to call more than once.
    void close();

    VTRStreamStatus status() const { return status_; }
    // Why open() or read() failed (an errno error in "NSPOSIXErrorDomain"); empty otherwise.
    const std::optional<VTRError>& streamError() const { return streamError_; }
    const std::string& path() const { return path_; }
    // True when open() failed because the path is not a regular file.
    bool notRegularFile() const { return notRegularFile_; }
    // The file's size when it was opened: the stream ends there even if the file grows.
    uint64_t size() const { return size_; }
    // The identity of the open file now; nothing unless open or at its end.
    std::optional<VTRFileIdentity> identity() const;

    // The byte position the next read starts at; -1 unless the stream is open or at its end.
    int64_t offset() const;
    // Moves the read position; false, with the error filled, unless open or at its end.
    bool setOffset(uint64_t offset, VTRError* error = nullptr);

  private:
    void fail(int errorNumber, VTRError* error);
    // Always false.
    bool failNotRegular(VTRError* error);

    std::string path_;
    int descriptor_ = -1;
    bool notRegularFile_ = false;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    VTRStreamStatus status_ = VTRStreamStatus::NotOpen;
    std::optional<VTRError> streamError_;
};

// The 16-byte MD5 digest of every byte still to be read from the stream, read in large blocks
// and fed to the digest 1024 bytes at a time. Nothing if the stream is not open, if a read
// fails part-way (a digest of part of a file would only mislead a checksum comparison), or if
// `stop` answers true, which it is asked before every block. The stream is neither rewound nor
// closed.
std::optional<VTRBytes> md5Digest(VTRFileInputStream& stream,
                                  const std::function<bool()>& stop = {});

}  // namespace vtr
