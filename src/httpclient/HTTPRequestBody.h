// HTTPRequestBody: the bytes of a request body as a chain of pieces that are sent one after the
// other without being joined first, so a large attachment is read from the caller's own buffer
// instead of being copied into a second one. Each piece keeps its storage alive. Immutable once
// built; one thread builds it, then any thread may read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vtr {

class HTTPRequestBody {
  public:
    // Appends a copy of `text`.
    void append(std::string text);
    // Appends `size` bytes at `data`, which `owner` keeps alive as long as this body lives.
    void appendReference(std::shared_ptr<const void> owner, const uint8_t* data, size_t size);

    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Copies up to `capacity` bytes starting at `offset` into `out`; returns the count copied
    // (0 at or past the end).
    size_t read(uint64_t offset, uint8_t* out, size_t capacity) const;

    // The whole body joined; for tests and logs, not for sending.
    std::string joined() const;

  private:
    struct Piece {
        std::shared_ptr<const void> owner;
        const uint8_t* data = nullptr;
        size_t size = 0;
    };
    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
};

}  // namespace vtr
