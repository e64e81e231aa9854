#pragma once
// The portal: its base address, the pages the launcher opens in the browser and the split of an
// HTTPS address into host and port for the news feed.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nyra::ui {

// "https://" + the portal host of this build's deployment, without a trailing slash.
std::string portalBaseAddress();

enum class PortalLink { Home, AllNews, NewsItem, Register, ForgotPassword };

struct PortalPage {
    std::string path;    // appended to the portal base address
    std::string notice;  // shown when the browser opened
};

// The path and success notice of a portal link. NewsItem uses `slug`; a slug that is not a valid
// news slug (the built-in item has none) opens the news list instead, so nothing but the checked
// characters a-z, 0-9 and "-" ever reaches the address.
PortalPage portalPage(PortalLink link, std::string_view slug = {});

// Shown instead of the success notice when the shell reports that the browser did not start.
inline constexpr std::string_view kBrowserFailedNotice =
    "Nao foi possivel abrir o navegador. Acesse o portal manualmente.";

// The one-time in-game news address handed to the game: "https://" + the news host +
// "/game-news/?ticket=" + ticket. Nothing when the ticket is not an opaque token (43 characters of
// A-Z, a-z, 0-9, "-" and "_"), so a backend answer can never put more than a ticket into the query.
std::optional<std::string> gameNewsAddress(std::string_view ticket);

struct HttpsEndpoint {
    std::string host;
    std::uint16_t port = 443;
};

// Splits "https://host[:port][/...]"; anything else (another scheme, no host, a bad port, user
// information) throws std::runtime_error("Endereco do portal invalido.").
HttpsEndpoint splitHttpsAddress(std::string_view address);

}  // namespace nyra::ui
