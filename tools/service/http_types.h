#pragma once
// Requests and answers as the service's handlers see them, independent of the HTTP library.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nyra::service {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct UpgradedConnection;  // tools/service/upgrade.h

bool equalsIgnoreCase(std::string_view a, std::string_view b);

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;
    std::string query;
    HeaderList headers;
    std::string body;
    std::string remoteAddress;

    // The first header of that name (case-insensitive), or null.
    const std::string* header(std::string_view name) const;
    // The value of a cookie from the Cookie headers, or empty.
    std::string cookie(std::string_view name) const;
    // A query parameter (no percent-decoding beyond what tokens need), or nullopt.
    std::optional<std::string> queryParameter(std::string_view name) const;
};

// A byte range of a file on disk, streamed when the answer is written.
struct FileSlice {
    std::filesystem::path path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t fileSize = 0;
};

// What the fault injection does to an answer while it is written.
struct WriteFaults {
    std::optional<std::uint64_t> dropAfter;   // close the connection after this many body bytes
    std::optional<std::uint64_t> flipAt;      // invert this body byte
    std::uint64_t padding = 0;                // extra bytes after the body (counted in Content-Length)
    bool omitContentLength = false;
};

struct HttpResponse {
    unsigned status = 200;
    HeaderList headers;  // Content-Type, Set-Cookie, Content-Range, ...
    std::string body;
    std::optional<FileSlice> file;  // when set, the body is this slice instead of `body`
    bool close = false;             // close the connection after this answer
    bool headOnly = false;          // HEAD: headers only
    WriteFaults faults;
    // A WebSocket upgrade the handler accepted (status 101): instead of writing this answer, the
    // listener hands the TLS connection over to this hook, which answers the handshake itself.
    std::function<void(UpgradedConnection&)> upgrade;

    std::uint64_t bodyLength() const { return file ? file->length : body.size(); }
    void setHeader(std::string name, std::string value);
    void removeHeader(std::string_view name);
    const std::string* header(std::string_view name) const;
};

HttpResponse textResponse(unsigned status, std::string contentType, std::string body);

}  // namespace nyra::service
