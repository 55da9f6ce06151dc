#include "httpclient/HTTPRequestBody.h"

#include <algorithm>
#include <cstring>

namespace vtr {

void HTTPRequestBody::append(std::string text) {
    if (text.empty()) return;
    auto owned = std::make_shared<const std::string>(std::move(text));
    const auto* data = reinterpret_cast<const uint8_t*>(owned->data());
    size_t size = owned->size();
    appendReference(std::move(owned), data, size);
}

void HTTPRequestBody::appendReference(std::shared_ptr<const void> owner, const uint8_t* data,
                                      size_t size) {
    if (size == 0) return;
    pieces_.push_back(Piece{std::move(owner), data, size});
    size_ += size;
}

size_t HTTPRequestBody::read(uint64_t offset, uint8_t* out, size_t capacity) const {
    size_t copied = 0;
    uint64_t pieceStart = 0;
    for (const Piece& piece : pieces_) {
        uint64_t pieceEnd = pieceStart + piece.size;
        if (copied == capacity) break;
        if (offset < pieceEnd) {
            size_t from = static_cast<size_t>(offset - pieceStart);
            size_t count = std::min(piece.size - from, capacity - copied);
            std::memcpy(out + copied, piece.data + from, count);
            copied += count;
            offset += count;
        }
        pieceStart = pieceEnd;
    }
    return copied;
}

std::string HTTPRequestBody::joined() const {
    std::string all;
    all.reserve(size_);
    for (const Piece& piece : pieces_) {
        all.append(reinterpret_cast<const char*>(piece.data), piece.size);
    }
    return all;
}

}  // namespace vtr
