#include "tools/service/tests/relay_client.h"

#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <stdexcept>

#include "tools/service/envelope.h"
#include "tools/service/relay.h"

namespace nyra::service::testing {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using nlohmann::json;

namespace {

constexpr std::int64_t kReadLimitMs = 20000;

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void littleEndian(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

}  // namespace

RelayCredentials startGameSession(BackendClient& client, const FixtureSet& set) {
    const json args{{"version", set.packageId},
                    {"package_id", set.packageId},
                    {"files", set.policy.at("policy").at("files")},
                    {"transport", "cloudflare-ws-v1"}};
    const json answer = client.answer(7, args);
    return RelayCredentials{client.origin, client.csrf, client.session, answer.at("token").get<std::string>()};
}

const std::string* UpgradeAnswer::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::string seededRequest(std::uint64_t seed, std::uint64_t length) {
    std::string request = "S";
    littleEndian(request, seed);
    littleEndian(request, length);
    return request;
}

std::string echoed(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) {
        c = static_cast<char>(static_cast<unsigned char>(c) ^ kEchoTransform);
    }
    return out;
}

struct RelayClient::WebSocket {
    net::io_context io;  // run for the handshake only; blocking calls after it
    ssl::context tls{ssl::context::tls_client};
    websocket::stream<ssl::stream<tcp::socket>> ws{io, tls};
};

RelayClient::RelayClient(std::uint16_t port, RelayCredentials credentials, std::string channel)
    : port_(port), credentials_(std::move(credentials)), channel_(std::move(channel)) {
    watchdog_ = std::thread([this] {
        std::unique_lock lock(watchdogMutex_);
        while (!stop_) {
            watchdogWake_.wait_for(lock, std::chrono::milliseconds(50));
            const std::int64_t deadline = deadline_;
            if (deadline != 0 && steadyMs() > deadline && fd_ >= 0) {
                ::shutdown(fd_, SHUT_RDWR);  // the blocked read fails
                deadline_ = 0;
            }
        }
    });
}

RelayClient::~RelayClient() {
    {
        std::lock_guard lock(watchdogMutex_);
        stop_ = true;
    }
    watchdogWake_.notify_all();
    watchdog_.join();
}

HeaderList RelayClient::baseHeaders() const {
    return {{"Origin", credentials_.origin},
            {"Cookie", "__Host-nyra_csrf=" + credentials_.csrf + "; __Host-nyra_session=" + credentials_.session},
            {"X-CSRF-Token", credentials_.csrf},
            {"Authorization", "Bearer " + credentials_.gameToken},
            {"X-Nyra-Game-Channel", channel_}};
}

int RelayClient::socketFd() const { return ws_ ? ws_->ws.next_layer().next_layer().native_handle() : -1; }

UpgradeAnswer RelayClient::upgrade(const HeaderList& headers) {
    auto socket = std::make_unique<WebSocket>();
    socket->tls.load_verify_file(caFile());
    socket->tls.set_verify_mode(ssl::verify_peer);
    auto& ws = socket->ws;
    ws.next_layer().set_verify_callback(ssl::host_name_verification("localhost"));
    boost::system::error_code error;
    beast::get_lowest_layer(ws).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port_), error);
    if (error) {
        throw std::runtime_error("cannot connect to the relay: " + error.message());
    }
    // SSL_set_tlsext_host_name is a macro with a C cast; the call it stands for:
    SSL_ctrl(ws.next_layer().native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>("localhost"));
    ws.next_layer().handshake(ssl::stream_base::client, error);
    if (error) {
        return UpgradeAnswer{};  // status 0: the connection failed
    }
    ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& request) {
        for (const auto& [name, value] : headers) {
            request.set(name, value);
        }
    }));
    ws.read_message_max(64u << 20);
    websocket::response_type response;
    // The asynchronous handshake, because it also gives back the answer of a refused upgrade.
    ws.async_handshake(response, "localhost", "/client/v1",
                       [&error](const boost::system::error_code& result) { error = result; });
    socket->io.run();
    socket->io.restart();
    if (error && error != websocket::error::upgrade_declined) {
        // A connection cut during the handshake (a drop right after the upgrade, for example).
        return UpgradeAnswer{};
    }
    UpgradeAnswer answer;
    answer.status = response.result_int();
    for (const auto& field : response) {
        answer.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    if (!error) {
        ws.binary(true);
        ws_ = std::move(socket);
        fd_ = socketFd();
        closeCode.reset();
    }
    return answer;
}

UpgradeAnswer RelayClient::open(bool resumable) {
    HeaderList headers = baseHeaders();
    if (resumable) {
        headers.emplace_back("X-Nyra-Resume", "1");
    }
    auto answer = upgrade(headers);
    const std::string* id = answer.header("X-Nyra-Resume-Id");
    resumeId = answer.status == 101 && id != nullptr && answer.header("X-Nyra-Resume-Received") ? *id : "";
    return answer;
}

void RelayClient::trim(std::uint64_t acknowledged) {
    if (acknowledged <= ackedBase_) {
        return;
    }
    if (acknowledged - ackedBase_ > resend_.size()) {
        throw std::runtime_error("the server acknowledged bytes never sent: " + std::to_string(acknowledged));
    }
    resend_.erase(0, static_cast<std::size_t>(acknowledged - ackedBase_));
    ackedBase_ = acknowledged;
}

UpgradeAnswer RelayClient::resume() {
    ws_.reset();
    fd_ = -1;
    HeaderList headers = baseHeaders();
    headers.emplace_back("X-Nyra-Resume-Id", resumeId);
    headers.emplace_back("X-Nyra-Resume-Offset", std::to_string(received.size()));
    auto answer = upgrade(headers);
    if (answer.status != 101) {
        return answer;
    }
    const std::string* id = answer.header("X-Nyra-Resume-Id");
    const std::string* receivedText = answer.header("X-Nyra-Resume-Received");
    const auto serverReceived = receivedText ? parseAcknowledgement(*receivedText) : std::nullopt;
    if (id == nullptr || *id != resumeId || !serverReceived || *serverReceived < ackedBase_ ||
        *serverReceived - ackedBase_ > resend_.size()) {
        throw std::runtime_error("inconsistent resumption answer");
    }
    trim(*serverReceived);
    ++resumptions;
    for (std::size_t at = 0; at < resend_.size(); at += kRelayMessageLimit) {
        boost::system::error_code error;
        ws_->ws.write(net::buffer(resend_.data() + at, std::min(kRelayMessageLimit, resend_.size() - at)), error);
        if (error) {
            ws_.reset();  // the next read or send resumes again
            break;
        }
    }
    return answer;
}

bool RelayClient::send(std::string_view bytes) {
    if (!resumeId.empty()) {
        resend_.append(bytes);
    }
    sent += bytes.size();
    if (!ws_) {
        return false;
    }
    boost::system::error_code error;
    ws_->ws.binary(true);
    ws_->ws.write(net::buffer(bytes.data(), bytes.size()), error);
    if (error) {
        ws_.reset();
        return false;
    }
    return true;
}

bool RelayClient::acknowledge() {
    if (!sendText(std::to_string(received.size()))) {
        return false;
    }
    lastAck_ = received.size();
    return true;
}

bool RelayClient::sendText(std::string_view text) {
    if (!ws_) {
        return false;
    }
    boost::system::error_code error;
    ws_->ws.text(true);
    ws_->ws.write(net::buffer(text.data(), text.size()), error);
    ws_->ws.binary(true);
    if (error) {
        ws_.reset();
        return false;
    }
    return true;
}

bool RelayClient::receiveOne() {
    if (!ws_) {
        return false;
    }
    beast::flat_buffer buffer;
    boost::system::error_code error;
    deadline_ = steadyMs() + kReadLimitMs;
    ws_->ws.read(buffer, error);
    deadline_ = 0;
    if (error) {
        if (error == websocket::error::closed) {
            closeCode = static_cast<std::uint16_t>(ws_->ws.reason().code);
        }
        ws_.reset();
        fd_ = -1;
        return false;
    }
    if (ws_->ws.got_text()) {
        texts.push_back(beast::buffers_to_string(buffer.data()));
        if (auto acknowledged = parseAcknowledgement(texts.back())) {
            trim(*acknowledged);
        }
    } else {
        received += beast::buffers_to_string(buffer.data());
    }
    return true;
}

void RelayClient::resumeOrThrow() {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const auto answer = resume();
        if (answer.status == 101) {
            return;
        }
        if (answer.status != 0) {
            throw std::runtime_error("resumption refused with " + std::to_string(answer.status));
        }
    }
    throw std::runtime_error("resumption failed ten times in a row");
}

void RelayClient::receiveUntil(std::size_t count) {
    while (received.size() < count) {
        if (!receiveOne()) {
            if (closeCode || resumeId.empty()) {
                throw std::runtime_error("the relay stream ended after " + std::to_string(received.size()) +
                                         " bytes");
            }
            resumeOrThrow();
            continue;
        }
        if (received.size() - lastAck_ >= 32768) {
            acknowledge();
        }
    }
}

void RelayClient::echoLockStep(std::string_view bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::string_view part = bytes.substr(at, piece);
        const std::size_t expected = received.size() + part.size();
        if (!send(part) && !resumeId.empty()) {
            resumeOrThrow();  // resends the part
        }
        receiveUntil(expected);
    }
}

void RelayClient::closeNormally() {
    if (ws_) {
        boost::system::error_code error;
        ws_->ws.close(websocket::close_code::normal, error);
        ws_.reset();
        fd_ = -1;
    }
}

void RelayClient::abandon() {
    if (ws_) {
        abandoned_.push_back(std::move(ws_));
        fd_ = -1;
    }
}

}  // namespace nyra::service::testing
