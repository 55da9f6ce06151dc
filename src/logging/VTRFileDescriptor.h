// VTRFileDescriptor: sole owner of one POSIX file descriptor, closed on destruction. Move-only.
// Use from one thread at a time.
#pragma once

#include <unistd.h>

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

}  // namespace vtr
