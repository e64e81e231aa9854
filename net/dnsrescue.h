#pragma once
// The rules of the connectivity fallback (portable): which hosts the loopback CONNECT proxy may
// reach, how a CONNECT request is read, how a DNS-over-HTTPS JSON answer is read, and the
// five-minute resolution cache. The Win32 proxy and resolver client are in net/win/.
#include "core/clock.h"
#include "core/deployment.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nyra::dnsrescue {

// A CONNECT request is read one byte at a time up to this size (its header block included).
inline constexpr std::size_t kMaxConnectRequest = 4096;
// The only port the proxy ever connects to.
inline constexpr std::string_view kConnectPort = "443";
// A resolver's answer larger than this is not read further and counts as no answer.
inline constexpr std::size_t kMaxDohAnswer = 65536;
// Addresses taken from one answer.
inline constexpr std::size_t kMaxAddresses = 8;
// How long a resolution is reused.
inline constexpr std::uint64_t kCacheLifetimeMs = 300000;
// Hosts the cache holds at most (any local process can make the proxy resolve a made-up name).
inline constexpr std::size_t kMaxCachedHosts = 64;
// Simultaneous proxy tunnels; one more is closed at once.
inline constexpr int kMaxTunnels = 64;
// Of those, the last ones go only to connections the launcher itself opened: any local process
// can connect to the proxy, and must not be able to take every tunnel from the player's sessions.
inline constexpr int kReservedOwnTunnels = 16;
// An established tunnel that carries no byte either way for this long ends; the launcher's own
// sessions never stay silent that long (the game stream acknowledges every 3 s, the other
// profiles give up on a reply after at most 15 s).
inline constexpr std::uint32_t kTunnelIdleMs = 60000;
// The system resolver's probe: total wait and polling step.
inline constexpr std::uint32_t kProbeTimeoutMs = 4000;
inline constexpr std::uint32_t kProbePollMs = 50;

inline constexpr std::string_view kConnectEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";
inline constexpr std::string_view kBadGateway = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";

// The host rule: 15 to 253 characters, ends with the service domain suffix (".example.org"), only
// a-z, 0-9, '-' and '.', and no "..". Expects a host already lower-cased.
bool hostAllowed(std::string_view host, std::string_view serviceSuffix);

// True once the bytes read so far make a whole request: they end with "\r\n\r\n" or fill the
// 4096-byte buffer.
bool connectRequestComplete(std::string_view received);

// The whole request must arrive within this, however it is split.
inline constexpr std::uint32_t kConnectRequestMs = 10000;
// Waits at most `waitMs` for the next byte of the client's request; nullopt when none came.
using ReadRequestByte = std::function<std::optional<char>(std::uint32_t waitMs)>;
// Reads a request byte by byte (nothing after its blank line is taken from the client's stream);
// each wait gets only what is left of kConnectRequestMs since the start, so a client that
// trickles a byte at a time cannot hold a handler beyond it. nullopt when it did not complete.
std::optional<std::string> readConnectRequest(const ReadRequestByte& readByte, Clock& clock);

// The host of a CONNECT request for an allowed host on port 443, lower-cased; nullopt for
// anything else (another method, no or another port, a refused host), which the proxy answers
// with silence.
std::optional<std::string> connectTarget(std::string_view request, std::string_view serviceSuffix);

// A dotted-quad IPv4 literal: four decimal parts of 1 to 3 digits, each at most 255.
bool isIpv4Literal(std::string_view text);

// Whether an IPv4 literal may be a proxy target: not "this network" (0/8), loopback (127/8), the
// private ranges (10/8, 172.16/12, 192.168/16), link-local (169.254/16), multicast (224/4) or the
// reserved block with the broadcast address (240/4). A resolver that answers with one of them
// would turn the proxy against the player's own machine or network.
bool isPublicAddress(std::string_view ipv4Literal);

// The addresses of a DNS-over-HTTPS JSON answer ("application/dns-json"): an object whose
// "Status" is 0 and whose "Answer" is an array; from each element that is an object with "type" 1
// and a "data" string of at most 15 characters that is a public IPv4 literal, in order, at most 8.
// Anything unreadable (not JSON, too deep, another status, a missing array) yields none.
std::vector<std::string> readDohAnswer(std::string_view body);

// The query path of one resolver: its prefix ("/dns-query?name=") + host + "&type=A".
std::string dohQueryPath(std::string_view pathPrefix, std::string_view host);

// Whether a new proxy connection gets a handler while `active` run: the launcher's own up to
// kMaxTunnels, any other up to kMaxTunnels - kReservedOwnTunnels.
bool tunnelAdmitted(int active, bool launcherOwnConnection);

// The silence of one tunnel, shared by its two pumping directions: each notes what it carried and
// waits for its next bytes (upstream reads included) at most what is left of kTunnelIdleMs since
// the last byte either way.
class TunnelIdleWatch {
public:
    explicit TunnelIdleWatch(std::uint64_t nowMs) : lastActivityMs_(nowMs) {}
    void noteActivity(std::uint64_t nowMs) noexcept;
    // Milliseconds left before the tunnel counts as idle; 0 once it does.
    std::uint32_t msLeft(std::uint64_t nowMs) const noexcept;

private:
    std::atomic<std::uint64_t> lastActivityMs_;
};

// Host name (lower case) to its addresses, each entry reused for five minutes. Lookups and stores
// take the mutex only for themselves, never across a network call: two resolutions of one host
// may run at once and the later store wins. A store drops expired entries, and at
// kMaxCachedHosts the oldest one.
class ResolutionCache {
public:
    std::optional<std::vector<std::string>> lookup(const std::string& host, std::uint64_t nowMs) const;
    void store(const std::string& host, std::vector<std::string> addresses, std::uint64_t nowMs);
    std::size_t size() const;

private:
    struct Entry {
        std::vector<std::string> addresses;
        std::uint64_t storedMs = 0;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry, std::less<>> entries_;
};

// Asks one resolver for a query path; the answer's body, or nullopt when the resolver gave none
// (unreachable, timed out, another status than 200, a body beyond 65536 bytes).
using DohQuery = std::function<std::optional<std::string>(const DohResolver& resolver, const std::string& path)>;

// The resolution of one (lower-case) host: the cached list while it is fresh; otherwise each
// resolver in table order until one yields an address, else the built-in edge addresses; the
// result is stored with `nowMs`. Never empty when an edge address is configured.
std::vector<std::string> resolveWith(const std::string& host, ResolutionCache& cache, std::uint64_t nowMs,
                                     std::span<const DohResolver> resolvers,
                                     std::span<const std::string_view> edgeAddresses, const DohQuery& query);

}  // namespace nyra::dnsrescue
