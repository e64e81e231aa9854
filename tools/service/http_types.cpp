#include "tools/service/http_types.h"

#include <algorithm>
#include <cctype>

namespace nyra::service {
namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const std::string* HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::string HttpRequest::cookie(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (!equalsIgnoreCase(key, "Cookie")) {
            continue;
        }
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto end = rest.find(';');
            const std::string_view pair = trim(rest.substr(0, end));
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            const auto equals = pair.find('=');
            if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
                return std::string(pair.substr(equals + 1));
            }
        }
    }
    return {};
}

std::optional<std::string> HttpRequest::queryParameter(std::string_view name) const {
    std::string_view rest = query;
    while (!rest.empty()) {
        const auto end = rest.find('&');
        const std::string_view pair = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const auto equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            return equals == std::string_view::npos ? std::string() : std::string(pair.substr(equals + 1));
        }
    }
    return std::nullopt;
}

void HttpResponse::setHeader(std::string name, std::string value) {
    removeHeader(name);
    headers.emplace_back(std::move(name), std::move(value));
}

void HttpResponse::removeHeader(std::string_view name) {
    std::erase_if(headers, [&](const auto& header) { return equalsIgnoreCase(header.first, name); });
}

const std::string* HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

HttpResponse textResponse(unsigned status, std::string contentType, std::string body) {
    HttpResponse response;
    response.status = status;
    response.setHeader("Content-Type", std::move(contentType));
    response.body = std::move(body);
    return response;
}

}  // namespace nyra::service
