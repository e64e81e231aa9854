#include "content/win/cdn_client.h"

#include "core/deployment.h"
#include "core/text.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <memory>
#include <stdexcept>

namespace nyra {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr DWORD kReadPiece = 1048576;

class CngHash final : public StreamingHash {
public:
    void update(std::span<const std::uint8_t> bytes) override { hash_.update(bytes.data(), bytes.size()); }
    std::string finishHex() override { return hash_.finishHex(); }

private:
    win::Sha256Stream hash_;
};

}  // namespace

CdnObject WinHttpCDN::fetchObject(const std::string& object, std::uint64_t size, std::atomic<bool>& cancel,
                                  std::atomic<bool>& stop) {
    if (size == 0 || size > kCdnChunkBytes) fail("CDN ciphertext size mismatch");
    const std::string host(deployment().cdnHost);
    // Direct, or through the loopback proxy when the connectivity fallback is on.
    win::UniqueInternetHandle session = net::openSession(u"NyraBaseCDN/1.0", host);
    if (!session) fail("CDN session unavailable");
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        fail("CDN TLS unavailable");
    }
    DWORD fastFallback = TRUE;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_IPV6_FAST_FALLBACK, &fastFallback, sizeof fastFallback);
    if (!::WinHttpSetTimeouts(session.get(), 5000, 5000, 15000, 15000)) fail("CDN timeouts unavailable");

    const std::u16string wideHost = utf8ToUtf16(host);
    win::UniqueInternetHandle connection(
        ::WinHttpConnect(session.get(), reinterpret_cast<LPCWSTR>(wideHost.c_str()), deployment().httpsPort, 0));
    if (!connection) fail("CDN connection unavailable");
    const std::u16string path = utf8ToUtf16("/" + object);
    win::UniqueInternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET",
                                                           reinterpret_cast<LPCWSTR>(path.c_str()), nullptr,
                                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                           WINHTTP_FLAG_SECURE));
    if (!request) fail("CDN request unavailable");
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects) ||
        !::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof noCookies)) {
        fail("CDN policy unavailable");
    }

    const std::string last = std::to_string(size - 1);
    const std::u16string headers = utf8ToUtf16("Accept: application/octet-stream\r\nAccept-Encoding: identity\r\n"
                                               "Range: bytes=0-" + last + "\r\n");
    if (!::WinHttpSendRequest(request.get(), reinterpret_cast<LPCWSTR>(headers.c_str()),
                              static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        fail("CDN transport failed");
    }
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status != 206) {
        fail("CDN partial response required");
    }
    wchar_t range[160] = {};
    DWORD rangeSize = sizeof range;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, range,
                               &rangeSize, WINHTTP_NO_HEADER_INDEX)) {
        fail("CDN range missing");
    }
    const std::string expected = "bytes 0-" + last + "/" + std::to_string(size);
    const std::wstring actual(range, rangeSize / sizeof(wchar_t));
    if (actual != std::wstring(expected.begin(), expected.end())) fail("CDN range mismatch");

    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    // Declared after the buffer: an abandoned digest stops hashing before the buffer goes.
    ConcurrentDigest digest(std::make_unique<CngHash>(), bytes);
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (cancel || stop) fail("CDN preparation cancelled");
        DWORD read = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kReadPiece));
        if (!::WinHttpReadData(request.get(), bytes.data() + done, want, &read)) fail("CDN read failed");
        if (read == 0) fail("CDN ciphertext size mismatch");
        done += read;
        digest.advance(done);
    }
    std::uint8_t extra = 0;
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), &extra, 1, &read)) fail("CDN read failed");
    if (read != 0) fail("CDN response oversized");
    std::string sha256 = digest.finish();
    return {std::move(bytes), std::move(sha256)};
}

std::string WinHttpCDN::objectDigest(std::span<const std::uint8_t> bytes) {
    return win::sha256Hex(bytes.data(), bytes.size());
}

}  // namespace nyra
