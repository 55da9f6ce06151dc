// VTRFileDescriptor: sole owner of one POSIX file descriptor, closed on destruction. Move-only.
// Use from one thread at a time. VTRWriteAll writes a whole text to a descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace vtr {

class VTRFileDescriptor {
  public:
    VTRFileDescriptor() = default;
    explicit VTRFileDescriptor(int fd) : fd_(fd) {}
    ~VTRFileDescriptor() { reset(); }
    VTRFileDescriptor(VTRFileDescriptor&& other) noexcept : fd_(other.release()) {}
    VTRFileDescriptor& operator=(VTRFileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    VTRFileDescriptor(const VTRFileDescriptor&) = delete;
    VTRFileDescriptor& operator=(const VTRFileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Writes every byte of `bytes` to `fd`, going on after interruptions and short writes. False on
// the first failure (errno tells which).
inline bool VTRWriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace vtr
