#include "tools/service/game_servers.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <vector>

#include "tools/common/seeded_bytes.h"
#include "tools/common/timed_messages.h"
#include "tools/service/io_thread.h"

namespace nyra::service {

namespace net = boost::asio;
using tcp = net::ip::tcp;

std::optional<std::size_t> gameChannelIndex(std::string_view name) {
    for (std::size_t index = 0; index < kGameChannels.size(); ++index) {
        if (kGameChannels[index] == name) {
            return index;
        }
    }
    return std::nullopt;
}

std::uint64_t unixMicros() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

namespace {

constexpr std::size_t kBlock = 65536;
// Echo bytes held back while the seeded sequence is still being sent; reading pauses beyond it.
constexpr std::size_t kHeldEchoLimit = 1 << 20;
constexpr std::size_t kSeededHeader = 17;  // 'S', seed, length
// Timed messages and receipts waiting to be written; a game that lets more pile up is not reading.
constexpr std::size_t kTimedQueueLimit = 1 << 20;

std::uint64_t littleEndian(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

class GameConnection : public std::enable_shared_from_this<GameConnection> {
public:
    explicit GameConnection(tcp::socket socket) : socket_(std::move(socket)), timer_(socket_.get_executor()) {}

    void start() {
        boost::system::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        read();
    }

    void close() {
        boost::system::error_code ignored;
        socket_.close(ignored);
        timer_.cancel();
    }

private:
    enum class Mode { Unknown, Echo, Seeded, Timed };

    std::size_t headerLength() const { return mode_ == Mode::Timed ? tools::timed::kOpenSize : kSeededHeader; }

    std::size_t heldBytes() const { return held_.size() - heldHead_; }

    void read() {
        if (reading_ || clientDone_ || heldBytes() >= kHeldEchoLimit || !socket_.is_open()) {
            return;
        }
        reading_ = true;
        socket_.async_read_some(net::buffer(readBuffer_),
                                [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                                    self->onRead(error, size);
                                });
    }

    void onRead(const boost::system::error_code& error, std::size_t size) {
        reading_ = false;
        if (error) {
            clientDone_ = true;
            if (!writing_ || mode_ == Mode::Timed) {
                close();
            }
            return;
        }
        const std::uint64_t receivedAt = unixMicros();
        const std::uint8_t* bytes = readBuffer_.data();
        if (mode_ == Mode::Unknown || ((mode_ == Mode::Seeded || mode_ == Mode::Timed) && headerSize_ < headerLength())) {
            const std::size_t used = takeHeader(bytes, size);
            if (!socket_.is_open()) {
                return;
            }
            bytes += used;
            size -= used;
        }
        if (mode_ == Mode::Timed) {
            takeTimed(bytes, size, receivedAt);
            return;
        }
        const std::size_t from = held_.size();
        held_.resize(from + size);
        for (std::size_t at = 0; at < size; ++at) {
            held_[from + at] = static_cast<std::uint8_t>(bytes[at] ^ kEchoTransform);
        }
        write();
        read();
    }

    // Consumes the protocol's header bytes; returns how many of `bytes` it used.
    std::size_t takeHeader(const std::uint8_t* bytes, std::size_t size) {
        std::size_t used = 0;
        if (mode_ == Mode::Unknown && size > 0) {
            header_[headerSize_++] = bytes[used++];
            if (bytes[0] == 'E') {
                mode_ = Mode::Echo;
                return used;
            }
            if (bytes[0] != 'S' && bytes[0] != tools::timed::kModeByte) {
                close();
                return used;
            }
            mode_ = bytes[0] == 'S' ? Mode::Seeded : Mode::Timed;
        }
        const std::size_t wanted = std::min(headerLength() - headerSize_, size - used);
        std::memcpy(header_.data() + headerSize_, bytes + used, wanted);
        headerSize_ += wanted;
        used += wanted;
        if (headerSize_ == headerLength() && mode_ == Mode::Seeded) {
            seeded_ = tools::SeededBytes(littleEndian(header_.data() + 1));
            seededLeft_ = littleEndian(header_.data() + 9);
        } else if (headerSize_ == headerLength()) {
            const auto open = tools::timed::parseOpen(std::span<const std::uint8_t, tools::timed::kOpenSize>(
                header_.data(), tools::timed::kOpenSize));
            if (!open) {
                close();
                return used;
            }
            open_ = *open;
            if (open_.rate > 0) {
                timedStart_ = std::chrono::steady_clock::now();
                scheduleTimed();
            }
        }
        return used;
    }

    // The game's messages, each answered with a receipt; anything out of step closes the connection.
    void takeTimed(const std::uint8_t* bytes, std::size_t size, std::uint64_t receivedAt) {
        if (headerSize_ < headerLength()) {
            read();
            return;
        }
        frames_.append({bytes, size});
        tools::timed::Frame frame;
        tools::timed::FrameReader::Result result;
        while ((result = frames_.next(frame)) == tools::timed::FrameReader::Result::Frame) {
            if (frame.kind != 'D') {
                close();
                return;
            }
            tools::timed::appendReceipt(timedOut_, frame.sequence, frame.sentAt, receivedAt);
        }
        if (result == tools::timed::FrameReader::Result::Bad) {
            close();
            return;
        }
        if (!queueTimed()) {
            return;
        }
        read();
    }

    // Starts writing what is queued; false (and the connection closed) when the game let too much pile up.
    bool queueTimed() {
        if (timedOut_.size() - timedHead_ > kTimedQueueLimit) {
            close();
            return false;
        }
        write();
        return true;
    }

    // Message k is due `k / rate` seconds after the opening; a late timer sends every message due.
    void scheduleTimed() {
        const auto due = timedStart_ + std::chrono::microseconds(std::uint64_t{timedSent_} * 1000000u / open_.rate);
        timer_.expires_at(due);
        timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
            if (error || !self->socket_.is_open()) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            const std::uint64_t stamp = unixMicros();
            while (self->timedStart_ + std::chrono::microseconds(std::uint64_t{self->timedSent_} * 1000000u /
                                                                 self->open_.rate) <= now) {
                const std::uint32_t sequence = self->timedSent_++;
                tools::timed::appendMessage(self->timedOut_, sequence, stamp,
                                            tools::timed::messageSize(self->open_, sequence));
            }
            if (self->queueTimed()) {
                self->scheduleTimed();
            }
        });
    }

    void write() {
        if (writing_ || !socket_.is_open()) {
            return;
        }
        std::size_t size = 0;
        if (mode_ == Mode::Timed) {
            size = std::min(kBlock, timedOut_.size() - timedHead_);
            if (size == 0) {
                return;
            }
            std::memcpy(writeBuffer_.data(), timedOut_.data() + timedHead_, size);
            timedHead_ += size;
            if (timedHead_ == timedOut_.size()) {
                timedOut_.clear();
                timedHead_ = 0;
            }
        } else if (seededLeft_ > 0) {
            size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, seededLeft_));
            seeded_.fill(std::span(writeBuffer_.data(), size));
            seededLeft_ -= size;
        } else if (heldBytes() > 0) {
            size = std::min(kBlock, heldBytes());
            std::memcpy(writeBuffer_.data(), held_.data() + heldHead_, size);
            heldHead_ += size;
            if (heldHead_ == held_.size()) {
                held_.clear();
                heldHead_ = 0;
            } else if (heldHead_ >= kBlock * 4 && heldHead_ * 2 >= held_.size()) {
                held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(heldHead_));
                heldHead_ = 0;
            }
        } else {
            if (clientDone_) {
                close();
            }
            return;
        }
        writing_ = true;
        net::async_write(socket_, net::buffer(writeBuffer_.data(), size),
                         [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                             self->writing_ = false;
                             if (error) {
                                 self->close();
                                 return;
                             }
                             self->write();
                             if (self->mode_ != Mode::Timed) {
                                 self->read();
                             }
                         });
    }

    tcp::socket socket_;
    net::steady_timer timer_;  // the timed mode's next message
    Mode mode_ = Mode::Unknown;
    std::array<std::uint8_t, kSeededHeader> header_{};
    std::size_t headerSize_ = 0;
    tools::SeededBytes seeded_{0};
    std::uint64_t seededLeft_ = 0;
    std::vector<std::uint8_t> held_;  // transformed bytes waiting to be echoed
    std::size_t heldHead_ = 0;
    tools::timed::Open open_;
    std::chrono::steady_clock::time_point timedStart_;
    std::uint32_t timedSent_ = 0;
    tools::timed::FrameReader frames_;
    std::vector<std::uint8_t> timedOut_;  // timed messages and receipts not yet written
    std::size_t timedHead_ = 0;
    std::array<std::uint8_t, kBlock> readBuffer_{};
    std::array<std::uint8_t, kBlock> writeBuffer_{};
    bool reading_ = false;
    bool writing_ = false;
    bool clientDone_ = false;
};

}  // namespace

struct GameServers::Impl {
    IoThread ioThread;
    net::io_context& io = ioThread.context();
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::array<std::uint16_t, kGameChannelCount> ports{};
    std::list<std::weak_ptr<GameConnection>> connections;  // touched on the io thread only
    std::atomic<std::uint64_t> accepted{0};

    void accept(tcp::acceptor& acceptor) {
        acceptor.async_accept([this, &acceptor](const boost::system::error_code& error, tcp::socket socket) {
            if (error == net::error::operation_aborted || !acceptor.is_open()) {
                return;
            }
            if (!error) {
                ++accepted;
                auto connection = std::make_shared<GameConnection>(std::move(socket));
                std::erase_if(connections, [](const auto& weak) { return weak.expired(); });
                connections.push_back(connection);
                connection->start();
            }
            accept(acceptor);
        });
    }
};

GameServers::GameServers() : impl_(std::make_unique<Impl>()) {}

GameServers::~GameServers() { stop(); }

void GameServers::start() {
    impl_->ioThread.start([impl = impl_.get()] {
        for (std::size_t channel = 0; channel < kGameChannelCount; ++channel) {
            auto acceptor = std::make_unique<tcp::acceptor>(impl->io);
            const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
            acceptor->open(endpoint.protocol());
            acceptor->bind(endpoint);
            acceptor->listen(net::socket_base::max_listen_connections);
            impl->ports[channel] = acceptor->local_endpoint().port();
            impl->acceptors.push_back(std::move(acceptor));
        }
        for (auto& acceptor : impl->acceptors) {
            impl->accept(*acceptor);
        }
    });
}

void GameServers::stop() {
    impl_->ioThread.stop([impl = impl_.get()] {
        boost::system::error_code ignored;
        for (auto& acceptor : impl->acceptors) {
            acceptor->close(ignored);
        }
        for (auto& weak : impl->connections) {
            if (auto connection = weak.lock()) {
                connection->close();
            }
        }
        impl->connections.clear();
    });
}

std::array<std::uint16_t, kGameChannelCount> GameServers::ports() const { return impl_->ports; }

nlohmann::json GameServers::state() const {
    nlohmann::json out = nlohmann::json::object();
    for (std::size_t channel = 0; channel < kGameChannelCount; ++channel) {
        out[std::string(kGameChannels[channel])] = impl_->ports[channel];
    }
    out["connections"] = impl_->accepted.load();
    return out;
}

}  // namespace nyra::service
