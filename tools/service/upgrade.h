#pragma once
// A TLS connection handed over by the HTTP listener after a handler accepted a WebSocket upgrade:
// the stream (its socket belongs to the io_context the listener was given) and the request, which
// the new owner answers with the handshake.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>

namespace nyra::service {

using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

struct UpgradedConnection {
    std::unique_ptr<TlsStream> stream;
    boost::beast::http::request<boost::beast::http::string_body> request;
};

}  // namespace nyra::service
