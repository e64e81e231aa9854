#pragma once
// The portal's news feed over WinHTTP with its own transport profile: "GET /api/news", TLS 1.2,
// short time-outs, no redirects, no cookies, a 256 KiB body limit. A "localhost" portal (the
// development stand-in) is accepted only with the compiled-in certificate thumbprint.
#include "ui/news.h"

#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

namespace nyra::ui {

// The feed of this build's portal (portalBaseAddress() and the deployment's thumbprint).
std::vector<NewsItem> fetchNews(const std::atomic<bool>* stop = nullptr, std::size_t maxCount = kNewsMaxItems);

// The feed of the portal at `portalAddress`; `localhostThumbprint` (40 hexadecimal digits, SHA-1
// of the certificate) is required when the portal host is "localhost". Throws the loader's
// messages: "Endereco do portal invalido.", "HTTPS indisponivel.", "Portal indisponivel.",
// "Requisicao invalida.", "Noticias indisponiveis.", "Certificado ausente.", "Certificado do
// portal invalido.", "Resposta de noticias invalida.", "Resposta de noticias muito grande.",
// "Conexao interrompida.", or the JSON library's error for a malformed feed. A set `stop` ends the
// fetch at its next step with "Noticias indisponiveis.".
std::vector<NewsItem> fetchNewsFrom(std::string_view portalAddress, std::string_view localhostThumbprint,
                                    std::size_t maxCount = kNewsMaxItems, const std::atomic<bool>* stop = nullptr);

}  // namespace nyra::ui
