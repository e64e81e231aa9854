#include "net/win/game_stream.h"

#include <array>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "core/deployment.h"
#include "core/text.h"
#include "net/fallback_route.h"
#include "net/operations.h"
#include "net/profiles.h"
#include "net/win/winhttp.h"

namespace nyra {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

const wchar_t* wide(std::u16string_view text) { return reinterpret_cast<const wchar_t*>(text.data()); }

std::wstring widen(std::string_view text) {
    const auto converted = utf8ToUtf16(text);
    return std::wstring(converted.begin(), converted.end());
}

constexpr DWORD kNameNotResolved = 12007;  // ERROR_WINHTTP_NAME_NOT_RESOLVED

// A custom response header read into a 256-byte buffer; nullopt when absent. A header that is
// present but does not fit, or cannot be read, is "Retomada invalida.": taking it for absent
// would silently make the stream non-resumable.
std::optional<std::string> responseHeader(HINTERNET request, const wchar_t* name) {
    wchar_t buffer[128] = {};
    DWORD size = sizeof(buffer);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, buffer, &size, WINHTTP_NO_HEADER_INDEX)) {
        if (::GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND) return std::nullopt;
        fail("Retomada invalida.");
    }
    std::string value;
    for (DWORD i = 0; i < size / sizeof(wchar_t); ++i) {
        if (buffer[i] > 0x7f) return std::string();  // never a token or a number
        value.push_back(static_cast<char>(buffer[i]));
    }
    return value;
}

// 1 to 20 decimal digits that fit 64 bits.
std::optional<std::uint64_t> decimalCount(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::shared_ptr<Http::GameStream> Http::GameStream::open(const std::string& headers, OpeningCancel& cancel) {
    const std::string host(deployment().backendHost);
    std::shared_ptr<GameStream> stream(new GameStream());

    stream->session_ = net::openSession(kRelayProfile.userAgent, host);
    if (!stream->session_) fail("Transporte seguro indisponivel.");
    if (!net::applySessionProfile(stream->session_.get(), kRelayProfile)) fail("TLS indisponivel.");
    if (cancel.cancelled()) fail("Falha ao conectar a entrada do jogo.");
    stream->connection_.reset(::WinHttpConnect(stream->session_.get(), widen(host).c_str(), 443, 0));
    if (!stream->connection_) fail("Entrada do jogo indisponivel.");

    win::UniqueInternetHandle request(::WinHttpOpenRequest(stream->connection_.get(), wide(kRelayProfile.method),
                                                           wide(kBackendPath), nullptr, WINHTTP_NO_REFERER,
                                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) fail("Conexao do jogo indisponivel.");
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never)) ||
        !::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof(noCookies))) {
        fail("Politica HTTPS indisponivel.");
    }
    if (::WinHttpSetStatusCallback(request.get(), net::checkServerCertificate, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        fail("Validacao TLS indisponivel.");
    }
    if (host == "localhost") {
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) {
            fail("Certificado local indisponivel.");
        }
    }
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        fail("Este Windows nao oferece o transporte do jogo.");
    }

    std::wstring wideHeaders = widen(headers);
    const WipeOnExit wipeHeaders(wideHeaders);
    net::CertificateCheck check;
    // Sending the upgrade and waiting for its answer may block for the profile's time-outs: stop
    // cancels them by closing the request and connection handles from its own thread (WinHTTP's
    // way to end a synchronous call). Nothing uses them here once that may have happened, but a
    // call that begins in the instant after the close meets a stale handle and fails.
    struct CancelZone {
        OpeningCancel& cancel;
        net::CertificateCheck& check;
        win::UniqueInternetHandle& request;
        win::UniqueInternetHandle& connection;
        bool broken = false;
        ~CancelZone() { leave(); }
        // After this, stop leaves the handles alone; false when it closed them.
        bool leave() noexcept {
            if (cancel.leave()) broken = true;
            if (check.handleTaken.load()) (void)request.release();  // closed by the check or by stop
            if (broken) (void)connection.release();
            return !broken;
        }
        bool intact() const noexcept { return check.handleTaken.load() == 0; }
    } zone{cancel, check, request, stream->connection_};
    if (!cancel.enter([&check, requestHandle = request.get(), connectionHandle = stream->connection_.get()] {
            if (check.handleTaken.exchange(1) == 0) ::WinHttpCloseHandle(requestHandle);
            ::WinHttpCloseHandle(connectionHandle);
        })) {
        fail("Falha ao conectar a entrada do jogo.");  // stop came first
    }
    const BOOL sent = ::WinHttpSendRequest(request.get(), wideHeaders.c_str(), static_cast<DWORD>(wideHeaders.size()),
                                           WINHTTP_NO_REQUEST_DATA, 0, 0, reinterpret_cast<DWORD_PTR>(&check));
    const DWORD error = sent ? ERROR_SUCCESS : ::GetLastError();
    if (!sent) {
        // Names that do not resolve: the next attempt goes through the fallback route.
        if (error == kNameNotResolved && !check.inspected.load()) fallbackRoute().enable();
        fail("Falha ao conectar a entrada do jogo.");
    }
    if (check.closed.load() || !check.inspected.load() || !zone.intact() ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        if (!zone.leave()) fail("Falha ao conectar a entrada do jogo.");  // cancelled
        fail("Falha no TLS da entrada do jogo.");
    }
    if (!zone.leave()) fail("Falha ao conectar a entrada do jogo.");  // cancelled as the answer came

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        fail("O servidor recusou a conexao protegida do jogo.");
    }
    if (status != 101) throw HttpError("O servidor recusou a conexao protegida do jogo.", static_cast<int>(status));

    if (auto id = responseHeader(request.get(), L"X-Nyra-Resume-Id"); id && api::isOpaqueToken(*id)) {
        stream->resumeId_ = std::move(*id);
    }
    if (!stream->resumeId_.empty()) {
        if (const auto received = responseHeader(request.get(), L"X-Nyra-Resume-Received")) {
            const auto value = decimalCount(*received);
            if (!value) fail("Retomada invalida.");
            stream->resumeReceived_ = *value;
        } else {
            stream->resumeId_.clear();  // resumption needs both headers
        }
    }

    DWORD unlimited = 0;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &unlimited, sizeof(unlimited))) {
        fail("Controle de conexao indisponivel.");
    }
    HINTERNET webSocket = ::WinHttpWebSocketCompleteUpgrade(request.get(), 0);
    if (webSocket == nullptr) fail("Nao foi possivel iniciar o transporte do jogo.");
    stream->webSocket_.store(webSocket);
    return stream;
}

Http::GameStream::~GameStream() {
    abort();
    connection_.reset();
    session_.reset();
}

std::optional<RelayStream::Received> Http::GameStream::receive(std::span<std::uint8_t> buffer) {
    HINTERNET webSocket = webSocket_.load();
    if (webSocket == nullptr) return std::nullopt;
    DWORD read = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
    const auto capacity = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::numeric_limits<DWORD>::max()));
    if (::WinHttpWebSocketReceive(webSocket, buffer.data(), capacity, &read, &type) != NO_ERROR) return std::nullopt;
    Received received;
    received.size = read;
    switch (type) {
    case WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE: received.type = Message::Binary; break;
    case WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE: received.type = Message::BinaryFragment; break;
    case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE: received.type = Message::Text; break;
    case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE: received.type = Message::TextFragment; break;
    case WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE: received.type = Message::Close; break;
    default: received.type = Message::Other; break;
    }
    return received;
}

std::optional<std::uint16_t> Http::GameStream::closeStatus() {
    HINTERNET webSocket = webSocket_.load();
    if (webSocket == nullptr) return std::nullopt;
    // A close frame's reason is at most 123 bytes: with no room for it the query fails whenever
    // the server gives one, and a normal end would pass for a break.
    USHORT status = 0;
    std::array<std::uint8_t, WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH> reason{};
    DWORD reasonLength = 0;
    const DWORD queried = ::WinHttpWebSocketQueryCloseStatus(webSocket, &status, reason.data(),
                                                             static_cast<DWORD>(reason.size()), &reasonLength);
    wipeMemory(reason.data(), reason.size());
    if (queried != NO_ERROR) return std::nullopt;
    return status;
}

bool Http::GameStream::sendBinary(std::span<const std::uint8_t> bytes) {
    HINTERNET webSocket = webSocket_.load();
    if (webSocket == nullptr || closeSent_.load() || bytes.size() > std::numeric_limits<DWORD>::max()) return false;
    return ::WinHttpWebSocketSend(webSocket, WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE,
                                  const_cast<std::uint8_t*>(bytes.data()), static_cast<DWORD>(bytes.size())) == NO_ERROR;
}

bool Http::GameStream::sendText(std::string_view text) {
    HINTERNET webSocket = webSocket_.load();
    if (webSocket == nullptr || closeSent_.load() || text.size() > std::numeric_limits<DWORD>::max()) return false;
    return ::WinHttpWebSocketSend(webSocket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                  const_cast<char*>(text.data()), static_cast<DWORD>(text.size())) == NO_ERROR;
}

void Http::GameStream::closeNormally() noexcept { sendClose(static_cast<std::uint16_t>(WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS)); }

void Http::GameStream::answerClose(std::uint16_t status) noexcept {
    // 1005, 1006 and 1015 name conditions and never travel in a frame (RFC 6455 7.4.1), nor do
    // codes outside the defined ranges.
    const bool sendable = (status >= 1000 && status <= 1003) || (status >= 1007 && status <= 1014) ||
                          (status >= 3000 && status <= 4999);
    const auto answer = sendable ? status : static_cast<std::uint16_t>(WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS);
    if (closeSent_.exchange(true)) return;
    // The server's close has arrived: this sends ours and completes the handshake without waiting
    // for anything more (Wine 8 sends the frame from either this or WinHttpWebSocketShutdown).
    if (HINTERNET webSocket = webSocket_.load()) ::WinHttpWebSocketClose(webSocket, answer, nullptr, 0);
}

void Http::GameStream::sendClose(std::uint16_t status) noexcept {
    if (closeSent_.exchange(true)) return;  // one close frame per stream
    if (HINTERNET webSocket = webSocket_.load()) ::WinHttpWebSocketShutdown(webSocket, status, nullptr, 0);
}

void Http::GameStream::abort() noexcept {
    if (HINTERNET webSocket = webSocket_.exchange(nullptr)) ::WinHttpCloseHandle(webSocket);
}

}  // namespace nyra
