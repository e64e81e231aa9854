// Connectivity fallback benchmark under Wine, in the fallback test world (scripts/bench-fallback):
// what the loopback proxy costs a CDN download against the same download straight to the
// service's address, and how long a tunnel takes to open with and without a cached resolution.
#include "core/deployment.h"
#include "core/win/shell_adapters.h"
#include "net/fallback_route.h"
#include "net/http.h"
#include "net/win/dnsrescue.h"
#include "net/win/winhttp.h"
#include "platform/win/handles.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string environment(const char* name) {
    char buffer[512];
    const DWORD length = ::GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Downloads one object; its size in bytes.
std::uint64_t download(HINTERNET session, const wchar_t* server, const std::wstring& path, bool ignoreName) {
    nyra::win::UniqueInternetHandle connection(::WinHttpConnect(session, server, 443, 0));
    nyra::win::UniqueInternetHandle request(connection ? ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(),
                                                                              nullptr, WINHTTP_NO_REFERER,
                                                                              WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                                              WINHTTP_FLAG_SECURE)
                                                       : nullptr);
    if (!request) throw std::runtime_error("request");
    if (ignoreName) {
        DWORD flags = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;  // the certificate names hosts, not the address
        ::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    }
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        throw std::runtime_error("send " + std::to_string(::GetLastError()));
    }
    std::vector<char> buffer(1 << 20);
    std::uint64_t total = 0;
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
            throw std::runtime_error("read");
        }
        if (read == 0) return total;
        total += read;
    }
}

// Milliseconds from connecting to the proxy to its "200 Connection established".
double openTunnel(std::uint16_t port, const std::string& host) {
    const auto start = Clock::now();
    nyra::win::UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        throw std::runtime_error("connect");
    }
    const std::string request = "CONNECT " + host + ":443 HTTP/1.1\r\n\r\n";
    ::send(socket.get(), request.data(), static_cast<int>(request.size()), 0);
    char answer[39];
    int received = 0;
    while (received < 39) {
        const int got = ::recv(socket.get(), answer + received, 39 - received, 0);
        if (got <= 0) throw std::runtime_error("no tunnel");
        received += got;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
    try {
        const std::string account = environment("NYRA_SERVICE_ACCOUNT");
        if (environment("NYRA_DOH_CONTROL").empty() || account.find(':') == std::string::npos) {
            std::fprintf(stderr, "run through scripts/bench-fallback (the fallback test world)\n");
            return 2;
        }
        nyra::SystemClock clock;
        const std::string host(nyra::deployment().backendHost);
        nyra::Http http(std::make_unique<nyra::net::WinHttpBackendTransport>(host, 443), clock, host);
        if (!nyra::fallbackRoute().on()) throw std::runtime_error("the route did not come on");
        http.login(account.substr(0, account.find(':')), account.substr(account.find(':') + 1), std::string(64, 'a'),
                   "HWID v1", false);
        const json policy = http.call("/api/launcher/package-policy");
        json largest;
        for (const auto& pack : policy.at("base_cdn").at("packs")) {
            for (const auto& chunk : pack.at("chunks")) {
                if (largest.is_null() || chunk.at("size") > largest.at("size")) largest = chunk;
            }
        }
        const std::string object = "/" + largest.at("object").get<std::string>();
        const std::wstring path(object.begin(), object.end());
        const double mib = largest.at("size").get<double>() / 1048576.0;

        nyra::win::UniqueInternetHandle direct(::WinHttpOpen(L"NyraBench/1", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        nyra::win::UniqueInternetHandle proxied = nyra::net::openSession(u"NyraBaseCDN/1.0", host);
        const std::wstring cdn(nyra::deployment().cdnHost.begin(), nyra::deployment().cdnHost.end());
        std::vector<double> directRates;
        std::vector<double> proxiedRates;
        for (int run = 0; run < 5; ++run) {
            for (const bool viaProxy : {false, true}) {
                const auto start = Clock::now();
                const auto bytes = viaProxy ? download(proxied.get(), cdn.c_str(), path, false)
                                            : download(direct.get(), L"198.51.100.20", path, true);
                const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                if (bytes != largest.at("size").get<std::uint64_t>()) throw std::runtime_error("short object");
                (viaProxy ? proxiedRates : directRates).push_back(mib / seconds);
            }
        }
        std::printf("CDN object of %.1f MiB, median of 5 (MiB/s): direct %.1f, through the proxy %.1f\n", mib,
                    median(directRates), median(proxiedRates));

        const std::uint16_t port = nyra::fallbackRoute().proxyPort();
        std::vector<double> fresh;
        std::vector<double> cached;
        for (int i = 0; i < 20; ++i) {
            const std::string name = "bench-" + std::to_string(i) + ".nyra-brasil.example";
            fresh.push_back(openTunnel(port, name));   // one DNS-over-HTTPS query first
            cached.push_back(openTunnel(port, name));  // the cache answers
        }
        std::printf("tunnel open, median of 20 (ms): new name %.2f, cached name %.2f\n", median(fresh), median(cached));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fallback bench: %s\n", error.what());
        return 1;
    }
}
