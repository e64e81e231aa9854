// DNS-over-HTTPS queries of the connectivity fallback: one direct WinHTTP session per resolver,
// reached by its IPv4 literal on port 443 with the resolver's own certificate checked by WinHTTP.
#include "core/deployment.h"
#include "core/text.h"
#include "core/win/shell_adapters.h"
#include "net/dnsrescue.h"
#include "net/profiles.h"
#include "net/win/dnsrescue.h"
#include "net/win/winhttp.h"
#include "platform/win/handles.h"

namespace nyra::dnsrescue {
namespace {

std::wstring widen(std::string_view text) {
    const auto converted = utf8ToUtf16(text);
    return std::wstring(converted.begin(), converted.end());
}

// The body of one resolver's answer; nullopt for anything but a whole status-200 answer within
// the limit (a resolver that sends more than the limit is skipped, not half-read).
std::optional<std::string> queryResolver(const DohResolver& resolver, const std::string& path) {
    const std::wstring agent(kDnsOverHttpsProfile.userAgent.begin(), kDnsOverHttpsProfile.userAgent.end());
    win::UniqueInternetHandle session(
        ::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    // A session that cannot be held to TLS 1.2 and its time-outs, or a request that could follow
    // a redirect, is that resolver's failure: the next one is asked.
    if (!session || !net::applySessionProfile(session.get(), kDnsOverHttpsProfile)) return std::nullopt;
    win::UniqueInternetHandle connection(::WinHttpConnect(session.get(), widen(resolver.address).c_str(), 443, 0));
    if (!connection) return std::nullopt;
    win::UniqueInternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", widen(path).c_str(), nullptr,
                                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                           WINHTTP_FLAG_SECURE));
    if (!request) return std::nullopt;
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never))) return std::nullopt;
    static constexpr wchar_t kAccept[] = L"Accept: application/dns-json\r\n";
    if (!::WinHttpSendRequest(request.get(), kAccept, static_cast<DWORD>(std::size(kAccept) - 1),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        return std::nullopt;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        return std::nullopt;
    }
    try {
        const auto body = net::readBody(request.get(), kMaxDohAnswer);
        return std::string(body.begin(), body.end());
    } catch (const std::exception&) {
        return std::nullopt;  // interrupted or beyond the limit
    }
}

}  // namespace

std::vector<std::string> resolveViaDoh(const std::string& host) {
    static ResolutionCache cache;
    const auto& config = deployment();
    SystemClock clock;
    return resolveWith(host, cache, clock.tickMs(), config.dohResolvers, config.edgeAddresses, queryResolver);
}

}  // namespace nyra::dnsrescue
