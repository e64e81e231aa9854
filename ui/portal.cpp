#include "ui/portal.h"

#include "core/deployment.h"
#include "net/operations.h"
#include "ui/news.h"

#include <stdexcept>

namespace nyra::ui {
namespace {

[[noreturn]] void invalidAddress() { throw std::runtime_error("Endereco do portal invalido."); }

bool hostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string portalBaseAddress() { return "https://" + std::string(deployment().portalHost); }

PortalPage portalPage(PortalLink link, std::string_view slug) {
    switch (link) {
    case PortalLink::Home:
        return {"/", "Portal aberto no navegador."};
    case PortalLink::NewsItem:
        if (isValidSlug(slug)) return {"/noticias/" + std::string(slug), "Notícia aberta no navegador."};
        [[fallthrough]];
    case PortalLink::AllNews:
        return {"/noticias", "Notícias abertas no navegador."};
    case PortalLink::Register:
        return {"/cadastro", "Crie sua conta no navegador. Depois volte para entrar no launcher."};
    case PortalLink::ForgotPassword:
        return {"/esqueci-senha", "Recuperacao de senha aberta no navegador."};
    }
    return {"/", "Portal aberto no navegador."};
}

std::optional<std::string> gameNewsAddress(std::string_view ticket) {
    if (!api::isOpaqueToken(ticket)) return std::nullopt;
    return "https://" + std::string(deployment().newsHost) + "/game-news/?ticket=" + std::string(ticket);
}

HttpsEndpoint splitHttpsAddress(std::string_view address) {
    constexpr std::string_view kScheme = "https://";
    if (address.size() < kScheme.size() || !equalsIgnoringCase(address.substr(0, kScheme.size()), kScheme)) {
        invalidAddress();
    }
    std::string_view rest = address.substr(kScheme.size());
    rest = rest.substr(0, rest.find_first_of("/?#"));
    std::string_view host = rest;
    HttpsEndpoint endpoint;
    if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        const std::string_view port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5) invalidAddress();
        unsigned value = 0;
        for (const char c : port) {
            if (c < '0' || c > '9') invalidAddress();
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value == 0 || value > 65535) invalidAddress();
        endpoint.port = static_cast<std::uint16_t>(value);
    }
    if (host.empty() || host.size() > 253) invalidAddress();
    for (const char c : host) {
        if (!hostCharacter(c)) invalidAddress();  // also refuses "user@host"
    }
    endpoint.host = std::string(host);
    return endpoint;
}

}  // namespace nyra::ui
