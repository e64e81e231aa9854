#include "tools/service/http_client.h"

#include <openssl/x509.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <stdexcept>

#include "tools/common/crypto.h"
#include "tools/service/server.h"

namespace nyra::service {
namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

template <class Stream>
class Client final : public HttpClient {
public:
    template <class... Args>
    explicit Client(Args&&... args) : stream_(std::forward<Args>(args)...) {}

    Stream& stream() { return stream_; }

    ClientResponse request(const std::string& method, const std::string& target, const HeaderList& headers,
                           const std::string& body) override {
        http::request<http::string_body> message;
        message.method_string(method);
        message.target(target);
        message.version(11);
        message.set(http::field::host, host_);
        for (const auto& [name, value] : headers) {
            message.insert(name, value);
        }
        message.body() = body;
        if (!body.empty() || method == "POST") {
            message.prepare_payload();
        }
        http::write(stream_, message);
        http::response_parser<http::string_body> parser;
        parser.body_limit(1ull << 31);
        if (method == "HEAD") {
            parser.skip(true);
        }
        http::read(stream_, buffer_, parser);
        auto answer = parser.release();
        ClientResponse response;
        response.status = answer.result_int();
        for (const auto& field : answer) {
            response.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
        response.body = std::move(answer.body());
        return response;
    }

    std::string peerCertificatePin() const override {
        if constexpr (std::is_same_v<Stream, tcp::socket>) {
            return {};
        } else {
            X509* certificate = SSL_get1_peer_certificate(const_cast<Stream&>(stream_).native_handle());
            if (certificate == nullptr) {
                return {};
            }
            unsigned char* der = nullptr;
            const int length = i2d_X509(certificate, &der);
            std::string pin = tools::sha256Hex(tools::ByteView(der, static_cast<std::size_t>(length)));
            OPENSSL_free(der);
            X509_free(certificate);
            return pin;
        }
    }

    std::string host_;
    std::shared_ptr<ssl::context> context_;

private:
    Stream stream_;
    boost::beast::flat_buffer buffer_;
};

net::io_context& ioContext() {
    static net::io_context io;  // never run: blocking calls only
    return io;
}

tcp::socket connectSocket(const std::string& host, std::uint16_t port) {
    tcp::socket socket(ioContext());
    boost::system::error_code error;
    const auto address = net::ip::make_address(host, error);
    if (error) {
        throw std::runtime_error("bad address " + host);
    }
    socket.connect(tcp::endpoint(address, port), error);
    if (error) {
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port) + ": " + error.message());
    }
    return socket;
}

}  // namespace

const std::string* ClientResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::vector<std::string> ClientResponse::headersNamed(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            values.push_back(value);
        }
    }
    return values;
}

std::unique_ptr<HttpClient> HttpClient::connect(const std::string& host, std::uint16_t port,
                                                std::optional<TlsClientOptions> tls) {
    const std::string hostHeader = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                                   std::to_string(port);
    if (!tls) {
        auto client = std::make_unique<Client<tcp::socket>>(connectSocket(host, port));
        client->host_ = hostHeader;
        return client;
    }
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    if (!tls->caFile.empty()) {
        context->load_verify_file(tls->caFile);
        context->set_verify_mode(ssl::verify_peer);
        context->set_verify_callback(ssl::host_name_verification(tls->hostName));
    } else {
        context->set_verify_mode(ssl::verify_none);
    }
    auto client = std::make_unique<Client<ssl::stream<tcp::socket>>>(connectSocket(host, port), *context);
    client->context_ = context;
    client->host_ = tls->hostName + ":" + std::to_string(port);
    // SSL_set_tlsext_host_name is a macro with a C cast; the call it stands for:
    SSL_ctrl(client->stream().native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(tls->hostName.c_str()));
    boost::system::error_code error;
    client->stream().handshake(ssl::stream_base::client, error);
    if (error) {
        throw std::runtime_error("TLS handshake failed: " + error.message());
    }
    return client;
}

std::pair<std::string, std::uint16_t> parseHttpUrl(const std::string& url) {
    std::string rest = url;
    if (rest.rfind("http://", 0) == 0) {
        rest = rest.substr(7);
    }
    while (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const auto address = parseListenAddress(rest);
    return {address.host, address.port};
}

}  // namespace nyra::service
