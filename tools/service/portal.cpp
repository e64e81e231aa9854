#include "tools/service/portal.h"

#include "tools/service/envelope.h"
#include "tools/service/ranges.h"

namespace nyra::service {
namespace {

using nlohmann::json;

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

HttpResponse html(unsigned status, const std::string& title, const std::string& content) {
    std::string page = "<!DOCTYPE html>\n<html lang=\"pt-BR\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
                       escapeHtml(title) +
                       "</title><style>body{font-family:sans-serif;background:#1d1230;color:#f5ecff;margin:2em}"
                       "a{color:#f2c66d}article{margin-bottom:1.5em}small{color:#c8b2d4}</style></head><body>" +
                       content + "</body></html>\n";
    auto response = textResponse(status, "text/html; charset=utf-8", std::move(page));
    response.setHeader("Cache-Control", "no-store");
    response.setHeader("X-Frame-Options", "DENY");
    return response;
}

std::string newsList(Store& store, const std::string& linkPrefix) {
    std::string content;
    for (const auto& item : store.news(20)) {
        content += "<article><small>" + escapeHtml(item.category) + " &middot; " + escapeHtml(item.publishedAt) +
                   "</small><h2>";
        if (!linkPrefix.empty()) {
            content += "<a href=\"" + linkPrefix + escapeHtml(item.slug) + "\">" + escapeHtml(item.title) + "</a>";
        } else {
            content += escapeHtml(item.title);
        }
        content += "</h2><p>" + escapeHtml(item.summary) + "</p></article>";
    }
    return content;
}

}  // namespace

HttpResponse newsFeed(Store& store) {
    json items = json::array();
    for (const auto& item : store.news(10)) {
        items.push_back({{"slug", item.slug},
                         {"category", item.category},
                         {"title", item.title},
                         {"summary", item.summary},
                         {"cover", item.cover},
                         {"published_at", item.publishedAt},
                         {"pinned", item.pinned}});
    }
    auto response = textResponse(200, "application/json; charset=utf-8", json{{"items", items}}.dump());
    response.setHeader("Cache-Control", "public, max-age=60");
    return response;
}

HttpResponse gameNewsPage(Store& store, const HttpRequest& request) {
    const auto ticket = request.queryParameter("ticket");
    if (!ticket || !isOpaqueToken(*ticket) || !store.newsTicketValid(*ticket)) {
        return html(403, "Acesso negado", "<h1>Acesso negado</h1><p>Abra as novidades pelo jogo.</p>");
    }
    return html(200, "Novidades de Nyra", "<h1>Novidades de Nyra</h1>" + newsList(store, ""));
}

HttpResponse portalPage(Store& store, const HttpRequest& request) {
    const std::string& path = request.path;
    if (path == "/" || path == "/noticias" || path == "/noticias/") {
        return html(200, "Nyra Saga Brasil", "<h1>Nyra Saga Brasil</h1>" + newsList(store, "/noticias/"));
    }
    constexpr std::string_view prefix = "/noticias/";
    if (path.rfind(prefix, 0) == 0) {
        if (auto item = store.newsBySlug(path.substr(prefix.size()))) {
            return html(200, item->title,
                        "<small>" + escapeHtml(item->category) + " &middot; " + escapeHtml(item->publishedAt) +
                            "</small><h1>" + escapeHtml(item->title) + "</h1><p>" + escapeHtml(item->body) +
                            "</p><p><a href=\"/noticias\">Todas as notícias</a></p>");
        }
    }
    return html(404, "Página não encontrada", "<h1>Página não encontrada</h1>");
}

bool isCdnPath(const std::string& path) {
    // "/base/" + 64 lowercase hex + "/" + 4 digits + ".bin"
    if (path.size() != 6 + 64 + 1 + 4 + 4 || path.rfind("/base/", 0) != 0 || path[70] != '/' ||
        path.substr(75) != ".bin") {
        return false;
    }
    if (!isLowerHex(std::string_view(path).substr(6, 64), 64)) {
        return false;
    }
    for (std::size_t i = 71; i < 75; ++i) {
        if (path[i] < '0' || path[i] > '9') {
            return false;
        }
    }
    return true;
}

HttpResponse cdnObject(const PackageSet* set, const HttpRequest& request) {
    if (request.method != "GET" && request.method != "HEAD") {
        auto refusal = textResponse(405, "text/plain; charset=utf-8", "GET or HEAD only\n");
        refusal.setHeader("Allow", "GET, HEAD");
        return refusal;
    }
    const auto notFound = [] { return textResponse(404, "text/plain; charset=utf-8", "no such object\n"); };
    if (set == nullptr || !set->cdnRoot) {
        return notFound();
    }
    const std::filesystem::path file = *set->cdnRoot / request.path.substr(1);
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return notFound();
    }
    const std::uint64_t size = std::filesystem::file_size(file, error);
    if (error) {
        return notFound();
    }
    HttpResponse response;
    response.setHeader("Content-Type", "application/octet-stream");
    response.setHeader("Accept-Ranges", "bytes");
    response.setHeader("Cache-Control", "public, max-age=31536000, immutable");
    const auto decision = decideHttpRange(request.header("Range"), size);
    switch (decision.outcome) {
    case RangeOutcome::Whole:
        response.file = FileSlice{file, 0, size, size};
        break;
    case RangeOutcome::Partial:
        response.status = 206;
        response.file = FileSlice{file, decision.range.first, decision.range.length(), size};
        response.setHeader("Content-Range", "bytes " + std::to_string(decision.range.first) + "-" +
                                                std::to_string(decision.range.last) + "/" + std::to_string(size));
        break;
    case RangeOutcome::Unsatisfiable:
        response.status = 416;
        response.setHeader("Content-Range", "bytes */" + std::to_string(size));
        break;
    }
    return response;
}

}  // namespace nyra::service
