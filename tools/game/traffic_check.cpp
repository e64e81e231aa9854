#include "tools/game/traffic_check.h"

namespace nyra::standin {
namespace {

// The payload sequence is the answer's seed with its bits turned, so the two never coincide.
constexpr std::uint64_t payloadSeed(std::uint64_t seed) { return ~seed; }

void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (unsigned i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

ChannelCheck::ChannelCheck(std::uint64_t seed, std::uint64_t seededLength)
    : seed_(seed),
      seededLength_(seededLength),
      answer_(seed),
      payload_(payloadSeed(seed)),
      echo_(payloadSeed(seed)) {}

std::vector<std::uint8_t> ChannelCheck::opening() const {
    std::vector<std::uint8_t> bytes{'S'};
    appendLittleEndian(bytes, seed_);
    appendLittleEndian(bytes, seededLength_);
    return bytes;
}

std::vector<std::uint8_t> ChannelCheck::payload(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    payload_.fill(bytes);
    payloadSent_ += size;
    return bytes;
}

std::uint64_t ChannelCheck::owed() const { return seededLength_ + payloadSent_ - received_; }

bool ChannelCheck::receive(std::span<const std::uint8_t> bytes) {
    if (mismatch_) return false;
    for (const std::uint8_t byte : bytes) {
        std::uint8_t expected = 0;
        if (received_ < seededLength_) {
            expected = answer_.next();
        } else if (received_ < seededLength_ + payloadSent_) {
            expected = static_cast<std::uint8_t>(echo_.next() ^ kEchoTransform);
        } else {
            mismatch_ = received_;  // more than was owed
            return false;
        }
        if (byte != expected) {
            mismatch_ = received_;
            return false;
        }
        ++received_;
    }
    return true;
}

}  // namespace nyra::standin
