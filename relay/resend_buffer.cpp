#include "relay/resend_buffer.h"

#include <algorithm>
#include <cstring>

namespace nyra {

ResendBuffer::ResendBuffer(std::size_t limit) : limit_(limit) {}

bool ResendBuffer::append(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > limit_ - size_) return false;
    if (bytes.empty()) return true;
    if (size_ + bytes.size() > ring_.size()) grow(size_ + bytes.size());
    const std::size_t tail = (head_ + size_) % ring_.size();
    const std::size_t first = std::min(bytes.size(), ring_.size() - tail);
    std::memcpy(ring_.data() + tail, bytes.data(), first);
    std::memcpy(ring_.data(), bytes.data() + first, bytes.size() - first);
    size_ += bytes.size();
    return true;
}

ResendBuffer::Acknowledged ResendBuffer::acknowledge(std::uint64_t total) {
    if (total <= ackedBase_) return Acknowledged::Ignored;
    if (total - ackedBase_ > size_) return Acknowledged::Impossible;
    drop(static_cast<std::size_t>(total - ackedBase_));
    ackedBase_ = total;
    return Acknowledged::Dropped;
}

bool ResendBuffer::resumeFrom(std::uint64_t received) {
    if (received < ackedBase_ || received - ackedBase_ > size_) return false;
    drop(static_cast<std::size_t>(received - ackedBase_));
    ackedBase_ = received;
    return true;
}

void ResendBuffer::clear() noexcept {
    wipeMemory(ring_.data(), ring_.size());
    head_ = 0;
    size_ = 0;
}

void ResendBuffer::release() noexcept {
    clear();
    SecretBytes().swap(ring_);
}

void ResendBuffer::drop(std::size_t count) noexcept {
    if (count == 0) return;
    const std::size_t first = std::min(count, ring_.size() - head_);
    wipeMemory(ring_.data() + head_, first);
    wipeMemory(ring_.data(), count - first);
    size_ -= count;
    head_ = size_ == 0 ? 0 : (head_ + count) % ring_.size();
}

void ResendBuffer::grow(std::size_t needed) {
    constexpr std::size_t kFirstCapacity = 64 * 1024;
    std::size_t capacity = std::max(ring_.size(), std::min(kFirstCapacity, limit_));
    while (capacity < needed) capacity = capacity > limit_ / 2 ? limit_ : capacity * 2;
    SecretBytes bigger(capacity);  // the old ring is zeroed when it is released
    forEachPiece(size_, [&, at = std::size_t{0}](std::span<const std::uint8_t> piece) mutable {
        std::memcpy(bigger.data() + at, piece.data(), piece.size());
        at += piece.size();
        return true;
    });
    ring_.swap(bigger);
    head_ = 0;
}

}  // namespace nyra
