#include "foundation/VTRStreamAdditions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "foundation/VTRError.h"
#include "foundation/VTRMD5.h"
#include "logging/VTRPOSIXError.h"

namespace vtr {

namespace {

// One read system call per MiB keeps the call count low on multi-gigabyte recordings.
constexpr size_t kDigestReadSize = size_t{1} << 20;
constexpr size_t kDigestBlockSize = 1024;

bool isReadable(VTRStreamStatus status) {
    return status == VTRStreamStatus::Open || status == VTRStreamStatus::AtEnd;
}

VTRFileIdentity identityOf(const struct stat& attributes) {
    return {static_cast<uint64_t>(attributes.st_dev), static_cast<uint64_t>(attributes.st_ino),
            static_cast<uint64_t>(attributes.st_size), attributes.st_mtim.tv_sec,
            attributes.st_mtim.tv_nsec};
}

}  // namespace

std::optional<VTRFileIdentity> fileIdentity(const std::string& path) {
    struct stat attributes;
    if (::stat(path.c_str(), &attributes) != 0) return std::nullopt;
    return identityOf(attributes);
}

VTRFileInputStream::VTRFileInputStream(std::string path) : path_(std::move(path)) {}

VTRFileInputStream::~VTRFileInputStream() {
    close();
}

void VTRFileInputStream::fail(int errorNumber, VTRError* error) {
    status_ = VTRStreamStatus::Error;
    streamError_ = posixError(errorNumber, path_);
    setError(error, *streamError_);
}

bool VTRFileInputStream::failNotRegular(VTRError* error) {
    notRegularFile_ = true;
    fail(EINVAL, nullptr);
    streamError_->mutableUserInfo()[NSLocalizedFailureReasonErrorKey] =
        "\"" + path_ + "\" is not a regular file";
    setError(error, *streamError_);
    return false;
}

bool VTRFileInputStream::open(VTRError* error) {
    if (status_ != VTRStreamStatus::NotOpen) {
        setError(error, posixError(EBADF, path_));
        return false;
    }
    // Without O_NONBLOCK, opening a FIFO that has no writer would wait for one forever. The type
    // is judged on the opened descriptor, so a swap after a check cannot slip anything past.
    int descriptor;
    do {
        descriptor = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (descriptor < 0 && errno == EINTR);
    struct stat attributes;
    if (descriptor < 0) {
        int errorNumber = errno;
        // A socket cannot be opened at all (ENXIO): name it for what it is.
        if (::stat(path_.c_str(), &attributes) == 0 && !S_ISREG(attributes.st_mode))
            return failNotRegular(error);
        fail(errorNumber, error);
        return false;
    }
    descriptor_ = descriptor;
    if (::fstat(descriptor_, &attributes) != 0) {
        int errorNumber = errno;
        close();
        fail(errorNumber, error);
        return false;
    }
    if (!S_ISREG(attributes.st_mode)) {
        close();
        return failNotRegular(error);
    }
    size_ = static_cast<uint64_t>(attributes.st_size);
    position_ = 0;
    status_ = VTRStreamStatus::Open;
    return true;
}

int64_t VTRFileInputStream::read(uint8_t* buffer, size_t maxLength) {
    if (!isReadable(status_)) return -1;
    if (maxLength == 0) return 0;
    maxLength =
        static_cast<size_t>(std::min<uint64_t>(maxLength, size_ - std::min(size_, position_)));
    if (maxLength == 0) {
        status_ = VTRStreamStatus::AtEnd;
        return 0;
    }
    ssize_t count;
    do {
        count = ::read(descriptor_, buffer, maxLength);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        fail(errno, nullptr);
        return -1;
    }
    position_ += static_cast<uint64_t>(count);
    status_ = count == 0 ? VTRStreamStatus::AtEnd : VTRStreamStatus::Open;
    return count;
}

void VTRFileInputStream::close() {
    if (descriptor_ >= 0) {
        // Linux releases the descriptor even when close reports EINTR, so no retry.
        ::close(descriptor_);
        descriptor_ = -1;
    }
    if (status_ != VTRStreamStatus::NotOpen) status_ = VTRStreamStatus::Closed;
}

std::optional<VTRFileIdentity> VTRFileInputStream::identity() const {
    struct stat attributes;
    if (!isReadable(status_) || ::fstat(descriptor_, &attributes) != 0) return std::nullopt;
    return identityOf(attributes);
}

int64_t VTRFileInputStream::offset() const {
    if (!isReadable(status_)) return -1;
    return ::lseek(descriptor_, 0, SEEK_CUR);
}

bool VTRFileInputStream::setOffset(uint64_t offset, VTRError* error) {
    if (!isReadable(status_)) {
        setError(error, posixError(EBADF, path_));
        return false;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        ::lseek(descriptor_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        setError(error,
                 posixError(offset > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno, path_));
        return false;
    }
    position_ = offset;
    status_ = VTRStreamStatus::Open;
    return true;
}

std::optional<VTRBytes> md5Digest(VTRFileInputStream& stream, const std::function<bool()>& stop) {
    if (stream.status() != VTRStreamStatus::Open) return std::nullopt;
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kDigestReadSize);
    VTRMD5 md5;
    for (;;) {
        if (stop && stop()) return std::nullopt;
        int64_t count = stream.read(buffer.get(), kDigestReadSize);
        if (count < 0) return std::nullopt;
        if (count == 0) break;
        for (int64_t block = 0; block < count; block += kDigestBlockSize)
            md5.update(buffer.get() + block,
                       static_cast<size_t>(std::min<int64_t>(kDigestBlockSize, count - block)));
    }
    return md5.finish();
}

}  // namespace vtr
